#pragma once

#include <QString>

#include <functional>

// The AppImage the running program was started from. The AppImage runtime sets $APPIMAGE and
// $APPDIR, but every program an AppImage starts inherits them, so they count only when they
// describe this very process.
class AppImageLocation {
public:
    // $APPIMAGE when it is this process's AppImage, else empty.
    static QString running();

    // The canonical path of appImage when it names an existing regular file (not a link, not a
    // folder) that isAppImage accepts, and the executable lies inside appDir, which is not the
    // root (everything lies inside that); else empty.
    static QString verified(const QString& appImage, const QString& appDir,
                            const QString& executable = QStringLiteral("/proc/self/exe"),
                            const std::function<bool(const QString&)>& isAppImage = hasAppImageMagic);

    // Whether the file is an ELF file with an AppImage's magic bytes ("AI" and the type, 1 or 2,
    // from offset 8): a script or any other program named in $APPIMAGE is none.
    static bool hasAppImageMagic(const QString& path);
};
