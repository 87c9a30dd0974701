#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <sys/types.h>

// Qt's network thread reads a plain-HTTP answer's head one byte per read for as long as bytes keep
// coming, and only then goes back to its event loop: a peer that streams a head without end keeps
// it there, deaf to abort() and to every other transfer of its manager, while the head grows.
//
// Started after a transfer was aborted, this finds such a connection from outside: one to the same
// peer that is still taking in bytes a moment later (an answered abort would have closed it). Its
// descriptor is swapped for a socket at end of file, so the thread's next read ends the connection
// the ordinary way, what it read is freed, and the kernel resets the peer. Deletes itself.
class StalledConnectionCutter : public QObject {
public:
    static void cutAfterAbort(const QUrl& url);

    // A connection still receiving at least this much over the grace period counts as stalled.
    static constexpr quint64 minBytesStillArriving = 16 * 1024;

private:
    struct Connection {
        int fd = -1;
        ino_t inode = 0;
        quint64 received = 0;
    };

    explicit StalledConnectionCutter(quint16 port);
    void start(const QList<QHostAddress>& peers);
    void cutStillReceiving();
    QList<Connection> connections() const;

    quint16 m_port;
    QList<QHostAddress> m_peers;
    QList<Connection> m_before;
    QTimer m_grace;
};
