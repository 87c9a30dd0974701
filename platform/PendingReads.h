#pragma once

#include "Pasteboard.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <unordered_map>

// Clipboard reads waiting for the worker thread's answer, each tied to the object that asked.
// GUI thread only.
class PendingReads {
public:
    using Result = Pasteboard::Contents;

    // Returns the id the answer comes back with.
    quint64 add(QObject* context, std::function<void(Result)> done);

    // Hands the answer over, unless the asking object is gone by now; an unknown id is ignored.
    void deliver(quint64 id, Result result);

private:
    struct Request {
        QPointer<QObject> context;
        std::function<void(Result)> done;
    };
    quint64 m_lastId = 0;
    std::unordered_map<quint64, Request> m_requests;
};
