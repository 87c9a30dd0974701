#include "ReplyLimits.h"

ReplyLimits::ReplyLimits(QNetworkReply* reply, std::chrono::milliseconds deadline, qint64 maxBytes,
                         QObject* parent)
    : QObject(parent), m_reply(reply), m_maxBytes(maxBytes) {
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_reply) {
            m_overran = true;
            m_reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, &m_deadline, &QTimer::stop);
    connect(reply, &QNetworkReply::metaDataChanged, this, &ReplyLimits::checkSize);
    connect(reply, &QNetworkReply::readyRead, this, &ReplyLimits::checkSize);
    // Qt's network thread reads ahead of what the reply hands out and queues it all for this thread.
    // Bounded, it stops reading from the connection once the buffer is full, at a boundary of the
    // blocks it reads in (at most 128 KiB): the room beyond the cap lets a larger answer show.
    reply->setReadBufferSize(maxBytes + 256 * 1024);
    m_deadline.start(deadline);
}

void ReplyLimits::checkSize() {
    if (m_oversized || !m_reply) {
        return;
    }
    bool known = false;
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if ((known && announced > m_maxBytes) || m_reply->bytesAvailable() > m_maxBytes) {
        m_oversized = true;
        m_reply->abort();
    }
}
