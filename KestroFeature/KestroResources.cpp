#include "KestroResources.h"

#include <mutex>

// Outside any namespace, as the resource initialiser requires.
static void registerKestroResources() {
    Q_INIT_RESOURCE(KestroFeature);
}

namespace KestroResources {

void ensureLoaded() {
    static std::once_flag once;
    std::call_once(once, [] { registerKestroResources(); });
}

QString bundlePath(const QString& name, const QString& extension) {
    ensureLoaded();
    return QStringLiteral(":/KestroFeature_KestroFeature.bundle/") + name + QLatin1Char('.') + extension;
}

QString symbolPath(const QString& name) {
    ensureLoaded();
    return QStringLiteral(":/symbols/") + name + QStringLiteral(".svg");
}

QIcon appIcon() {
    return QIcon(bundlePath(QStringLiteral("AppIcon"), QStringLiteral("svg")));
}

QIcon menuBarIcon() {
    QIcon icon(bundlePath(QStringLiteral("MenuBarIcon"), QStringLiteral("svg")));
    icon.setIsMask(true);
    return icon;
}

} // namespace KestroResources
