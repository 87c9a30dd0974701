#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

// Bounds one network exchange with a server we do not control: one deadline for the whole of it
// (Qt's transfer time-out starts again at every byte, so a trickle would never end) and a cap on
// its body, by the length announced and by the bytes that arrive. Past either, the transfer is
// aborted, whatever phase the exchange is in; the memory Qt may fill for it stays near the cap.
// The deadline starts at construction. Over plain HTTP, Qt's network thread reads an endless head
// without returning to its event loop and misses the abort: one reason TransportRule keeps plain
// HTTP to this machine. Over HTTPS the abort lands, but Qt 6.4's header parser has no size cap (later
// versions have one): an endless head grows the memory until the deadline ends it.
class ReplyLimits : public QObject {
public:
    ReplyLimits(QNetworkReply* reply, std::chrono::milliseconds deadline, qint64 maxBytes,
                QObject* parent = nullptr);

    bool overran() const { return m_overran; }
    bool oversized() const { return m_oversized; }

private:
    void checkSize();

    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    qint64 m_maxBytes;
    bool m_overran = false;
    bool m_oversized = false;
};
