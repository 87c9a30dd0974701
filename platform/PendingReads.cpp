#include "PendingReads.h"

quint64 PendingReads::add(QObject* context, std::function<void(Result)> done) {
    const quint64 id = ++m_lastId;
    m_requests.emplace(id, Request{context, std::move(done)});
    return id;
}

void PendingReads::deliver(quint64 id, Result result) {
    const auto it = m_requests.find(id);
    if (it == m_requests.end()) {
        return;
    }
    Request request = std::move(it->second);
    m_requests.erase(it);
    if (request.context) {
        request.done(std::move(result));
    }
}
