#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A regular file to lock at `path`, made when missing: never through a symbolic link and never
// waiting on a FIFO. -1 when something else is there. Read access is enough for flock(), so a
// file we may not write to still serves.
int openLockFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    constexpr int flags = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0 && errno == EISDIR && ::rmdir(name.constData()) == 0) {
        // Only an empty folder goes, and no copy ever locks a folder.
        fd = ::open(name.constData(), flags, 0600);
    }
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A folder only this user can enter: a real folder, not a link to one, theirs, mode 0700. What
// another user made can hold a lock we would wait on and a socket that would take our hand-over.
bool isPrivateFolder(const QString& path, uid_t uid) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        return false;
    }
    if (S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 07777) == 0700) {
        return true;
    }
    const char* kind = S_ISDIR(info.st_mode) ? "folder" : S_ISLNK(info.st_mode) ? "link" : "file";
    qWarning("Single instance: %s is not a private folder of this user (a %s, owner %u, mode %o)",
             qPrintable(path), kind, unsigned(info.st_uid), unsigned(info.st_mode & 07777));
    return false;
}

void release(std::vector<int>& fds) {
    for (const int fd : fds) {
        ::close(fd); // the lock goes with its last descriptor
    }
    fds.clear();
}

} // namespace

SingleInstance::SingleInstance(QString lockPath, QObject* parent)
    : QObject(parent), m_path(std::move(lockPath)) {}

SingleInstance::~SingleInstance() {
    if (m_server) {
        m_server->close();
    }
    release(m_held);
}

// Found by the user id alone: XDG_RUNTIME_DIR may be set for one start and unset or different for
// the next, and Qt's own fallback gives up on a folder another user took.
QString SingleInstance::defaultLockPath() {
    const QString folder = privateFolder(qEnvironmentVariable("ONDARI_INSTANCE_ROOT"), ::geteuid());
    if (folder.isEmpty()) {
        return {};
    }
    return folder + QLatin1Char('/') + QStringLiteral(ONDARI_APP_ID) + QStringLiteral(".lock");
}

QString SingleInstance::privateFolder(const QString& root, uid_t uid) {
    const QString runtime = root + QStringLiteral("/run/user/") + QString::number(uid);
    if (isPrivateFolder(runtime, uid)) {
        return runtime;
    }
    // No login manager made one (a container, root without a session): a fixed name under /tmp,
    // not TMPDIR, which two starts need not share either.
    const QString temporary = root + QStringLiteral("/tmp/ondari-") + QString::number(uid);
    const QByteArray name = QFile::encodeName(temporary);
    if (::mkdir(name.constData(), 0700) == 0) {
        ::chmod(name.constData(), 0700); // whatever the umask took away; /tmp's sticky bit keeps it ours
    }
    if (isPrivateFolder(temporary, uid)) {
        return temporary;
    }
    // Refusing to start would hand anyone who can write to /tmp a way to stop the program.
    qWarning("Single instance: no private folder for the lock; starting without one, so later starts "
             "are not refused");
    return {};
}

QString SingleInstance::secondLockPath() const {
    return m_path + QLatin1Char('2');
}

QString SingleInstance::socketPath() const {
    if (m_path.isEmpty()) {
        return {};
    }
    const QString base = m_path.endsWith(QStringLiteral(".lock")) ? m_path.chopped(5) : m_path;
    return base + QStringLiteral(".socket");
}

// Nothing at the lock path is ever deleted, so no start can take away a lock that another holds
// or is about to take. What is there and is no regular file (a FIFO, a symbolic link, a folder
// that is not empty) cannot carry a lock: a second fixed name stands in. A copy holds every one
// of the two it can open, so a start that finds the first name unusable still meets the running
// copy at the second, and one that finds it usable meets it at the first.
bool SingleInstance::tryLock() {
    if (isLocked()) {
        return true;
    }
    if (m_path.isEmpty()) {
        m_locked = true; // no place for a lock: the reason is in the log already
        return true;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    std::vector<int> held;
    for (const QString& path : {m_path, secondLockPath()}) {
        const int fd = openLockFile(path);
        if (fd < 0) {
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            held.push_back(fd);
            continue;
        }
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            release(held);
            return false;
        }
    }
    if (held.empty()) {
        // Both names taken by things no copy can lock: starting beats not starting at all.
        qWarning("Single instance: no lock can be taken at %s; starting without one", qPrintable(m_path));
    }
    m_held = std::move(held);
    m_locked = true;
    return true;
}

bool SingleInstance::listenForLaterStarts() {
    if (!holdsLock() || m_server) {
        return m_server != nullptr;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(maxPeers);
    // Only the lock's holder comes here: a socket at the path is a dead copy's.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        qWarning("Single instance: cannot listen at %s: %s", qPrintable(socketPath()),
                 qPrintable(m_server->errorString()));
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptPeers);
    return true;
}

// Any program of this user can connect: each peer gets a few bytes and a little time, and only
// the one command does anything.
void SingleInstance::acceptPeers() {
    while (QLocalSocket* peer = m_server->nextPendingConnection()) {
        if (m_peers >= maxPeers) {
            peer->abort();
            peer->deleteLater();
            continue;
        }
        ++m_peers;
        peer->setReadBufferSize(sizeof showMenuCommand);
        peer->setProperty("received", QByteArray());
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { readPeer(peer); });
        connect(peer, &QLocalSocket::disconnected, this, [this, peer] {
            --m_peers;
            peer->deleteLater();
        });
        QTimer::singleShot(peerTimeoutMs, peer, &QLocalSocket::abort);
        readPeer(peer);
    }
}

void SingleInstance::readPeer(QLocalSocket* peer) {
    const QByteArray command(showMenuCommand);
    QByteArray received = peer->property("received").toByteArray();
    received += peer->read(command.size() - received.size());
    peer->setProperty("received", received);
    if (received == command) {
        peer->disconnectFromServer();
        emit showMenuRequested();
    } else if (!command.startsWith(received)) {
        peer->abort();
    }
}

bool SingleInstance::askRunningCopyToShowMenu(std::chrono::milliseconds timeout) const {
    const QDeadlineTimer deadline(timeout);
    for (;;) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        // The holder may have taken the lock a moment ago and not listen yet.
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 0)))) {
            socket.write(showMenuCommand, qint64(std::strlen(showMenuCommand)));
            while (socket.bytesToWrite() > 0 && !deadline.hasExpired()) {
                if (!socket.waitForBytesWritten(int(deadline.remainingTime()))) {
                    break;
                }
            }
            const bool sent = socket.bytesToWrite() == 0;
            socket.abort();
            return sent;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
}
