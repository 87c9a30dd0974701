#include "RegularFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> RegularFile::read(const QString& path, qint64 maxBytes) {
    // Opening a FIFO without O_NONBLOCK waits for a writer; the check comes after the open, so
    // nothing can be swapped in between.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray data;
    data.resize(maxBytes);
    qint64 total = 0;
    while (total < maxBytes) {
        const ssize_t n = ::read(fd, data.data() + total, maxBytes - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += n;
    }
    ::close(fd);
    data.truncate(total);
    return data;
}

void RegularFile::removeIfSpecial(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    // stat opens nothing, so it does not wait; a link to nothing blocks nobody.
    if (::stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        ::unlink(name.constData());
    }
}
