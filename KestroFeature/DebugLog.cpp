#include "DebugLog.h"

#include "SystemLog.h"

#include <QDateTime>
#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Messages quote what the user copied and what servers answered: a line break in there would
// start a forged entry, and terminal control bytes would reach whoever reads the file. One
// message stays one line.
QString escaped(const QString& message) {
    QString line;
    line.reserve(message.size());
    for (const QChar c : message) {
        const char16_t u = c.unicode();
        if (u == u'\n') {
            line += QLatin1String("\\n");
        } else if (u == u'\r') {
            line += QLatin1String("\\r");
        } else if (u == u'\t') {
            line += QLatin1String("\\t");
        } else if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029) {
            line += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        } else {
            line += c;
        }
    }
    return line;
}

bool writeAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// A line cut short that could not be taken back: the next line starts on a line of its own.
bool lineLeftOpen = false;

} // namespace

void debugLog(const QString& message) {
    SystemLog::shared().info(message);

    const QByteArray path = QFile::encodeName(QDir::homePath() + QStringLiteral("/ondari_debug.log"));
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    const QByteArray line = "[" + stamp.toUtf8() + "] " + escaped(message).toUtf8() + "\n";

    // Created owner-only: the log holds the start of every text the user copies. Opened
    // without waiting, and written only as a regular file: a FIFO put in its place would
    // otherwise hold the program at its first line.
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    const QByteArray data = lineLeftOpen ? "\n" + line : line;
    if (writeAll(fd, data.constData(), data.size())) {
        lineLeftOpen = false;
    } else {
        // A full disk: the line is dropped whole rather than left for the next one to join.
        struct stat now {};
        if (::fstat(fd, &now) == 0 && now.st_size > st.st_size && ::ftruncate(fd, st.st_size) != 0) {
            lineLeftOpen = true;
        }
    }
    ::close(fd);
}
