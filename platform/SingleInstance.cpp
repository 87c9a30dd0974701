#include "SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <limits>
#include <optional>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The process a lock file names; none when its first line is no process id.
std::optional<pid_t> namedProcess(int fd) {
    char text[64] = {};
    const ssize_t size = ::read(fd, text, sizeof text - 1);
    if (size <= 0) {
        return std::nullopt;
    }
    const QByteArray firstLine = QByteArray(text, size).split('\n').value(0);
    bool ok = false;
    const qlonglong pid = firstLine.toLongLong(&ok);
    if (!ok || pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

// A process's command name; empty when it cannot be read.
QByteArray commandName(const QByteArray& pid) {
    QFile file(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
    return file.open(QIODevice::ReadOnly) ? file.read(64).trimmed() : QByteArray();
}

// Whether the process runs and is a copy of this program, not another that took its id.
bool isRunningCopy(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    const QByteArray name = commandName(QByteArray::number(pid));
    return name.isEmpty() || name == commandName("self");
}

// QLockFile reads a lock it cannot take to judge whether it is stale: a FIFO put there would
// hold the start for good, and a file that names no process, or another program, would keep
// the program from starting at all. None of them is the lock of a running copy, so they go. A
// lock that a running copy holds (it keeps a record lock on it) is left alone.
void removeLockOfNoOne(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) {
            ::unlink(name.constData()); // a symbolic link is no lock of ours
        }
        return;
    }
    struct stat info {};
    bool stale = false;
    bool folder = false;
    if (::fstat(fd, &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            stale = true;
            folder = S_ISDIR(info.st_mode);
        } else {
            struct flock probe {};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
            if (!held) {
                const std::optional<pid_t> pid = namedProcess(fd);
                stale = !pid || !isRunningCopy(*pid);
            }
        }
    }
    ::close(fd);
    if (stale) {
        if (folder) {
            ::rmdir(name.constData()); // only when empty
        } else {
            ::unlink(name.constData());
        }
    }
}

} // namespace

SingleInstance::SingleInstance(QString lockPath) : m_path(std::move(lockPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultLockPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty()) {
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    return dir + QLatin1Char('/') + QStringLiteral(ONDARI_APP_ID) + QStringLiteral(".lock");
}

bool SingleInstance::tryLock() {
    if (isLocked()) {
        return true;
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    removeLockOfNoOne(m_path);
    // QLockFile takes this one while it removes a stale lock.
    removeLockOfNoOne(m_path + QStringLiteral(".rmlock"));
    auto lock = std::make_unique<QLockFile>(m_path);
    // Held as long as its process lives, however long that is; a dead holder's lock is stale.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        return false;
    }
    m_lock = std::move(lock);
    return true;
}

bool SingleInstance::isLocked() const {
    return m_lock && m_lock->isLocked();
}
