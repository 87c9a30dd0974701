#include "AppImageLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList components(const QString& canonicalPath) {
    return canonicalPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

bool liesInside(const QString& executable, const QString& directory) {
    const QString file = QFileInfo(executable).canonicalFilePath();
    const QFileInfo dirInfo(directory);
    if (file.isEmpty() || !dirInfo.isDir()) {
        return false;
    }
    const QStringList inner = components(file);
    const QStringList outer = components(dirInfo.canonicalFilePath());
    if (outer.isEmpty()) {
        return false; // the root holds every executable
    }
    // Component by component: /tmp/app2/x is not inside /tmp/app.
    return inner.size() > outer.size() && inner.mid(0, outer.size()) == outer;
}

} // namespace

QString AppImageLocation::running() {
    return verified(qEnvironmentVariable("APPIMAGE"), qEnvironmentVariable("APPDIR"));
}

bool AppImageLocation::hasAppImageMagic(const QString& path) {
    // Not blocking and not following a link: the name may have been swapped for a FIFO meanwhile.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    char head[11] = {};
    const bool read = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                      ::read(fd, head, sizeof head) == ssize_t(sizeof head);
    ::close(fd);
    return read && head[0] == '\x7f' && head[1] == 'E' && head[2] == 'L' && head[3] == 'F' &&
           head[8] == 'A' && head[9] == 'I' && (head[10] == 1 || head[10] == 2);
}

QString AppImageLocation::verified(const QString& appImage, const QString& appDir, const QString& executable,
                                   const std::function<bool(const QString&)>& isAppImage) {
    if (!QDir::isAbsolutePath(appImage) || !QDir::isAbsolutePath(appDir) ||
        appImage.endsWith(QLatin1Char('/'))) {
        return {};
    }
    // lstat: a link or a folder of that name is never taken for the AppImage.
    struct stat info {};
    if (::lstat(QFile::encodeName(appImage).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    if (!liesInside(executable, appDir) || !isAppImage(appImage)) {
        return {};
    }
    return QFileInfo(appImage).canonicalFilePath();
}
