#include "AppImageLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

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
    // Component by component: /tmp/app2/x is not inside /tmp/app.
    return inner.size() > outer.size() && inner.mid(0, outer.size()) == outer;
}

} // namespace

QString AppImageLocation::running() {
    return verified(qEnvironmentVariable("APPIMAGE"), qEnvironmentVariable("APPDIR"));
}

QString AppImageLocation::verified(const QString& appImage, const QString& appDir,
                                   const QString& executable) {
    if (!QDir::isAbsolutePath(appImage) || !QDir::isAbsolutePath(appDir) ||
        appImage.endsWith(QLatin1Char('/'))) {
        return {};
    }
    // lstat: a link or a folder of that name is never taken for the AppImage.
    struct stat info {};
    if (::lstat(QFile::encodeName(appImage).constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    if (!liesInside(executable, appDir)) {
        return {};
    }
    return QFileInfo(appImage).canonicalFilePath();
}
