#include "DebugLog.h"

#include "SystemLog.h"

#include <QDateTime>
#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void debugLog(const QString& message) {
    SystemLog::shared().info(message);

    const QByteArray path = QFile::encodeName(QDir::homePath() + QStringLiteral("/ondari_debug.log"));
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    const QByteArray line = "[" + stamp.toUtf8() + "] " + message.toUtf8() + "\n";

    // Created owner-only: the log holds the start of every text the user copies.
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        data += written;
        left -= written;
    }
    ::close(fd);
}
