#pragma once

#include <QString>

// The AppImage the running program was started from. The AppImage runtime sets $APPIMAGE and
// $APPDIR, but every program an AppImage starts inherits them, so they count only when they
// describe this very process.
class AppImageLocation {
public:
    // $APPIMAGE when it is this process's AppImage, else empty.
    static QString running();

    // The canonical path of appImage when it names an existing regular file (not a link, not a
    // folder) and the executable lies inside appDir; else empty.
    static QString verified(const QString& appImage, const QString& appDir,
                            const QString& executable = QStringLiteral("/proc/self/exe"));
};
