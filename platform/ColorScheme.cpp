#include "ColorScheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPalette>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// 1 prefers dark, 2 prefers light, 0 (or anything else) has no preference.
std::optional<ColorScheme::Scheme> fromPortalValue(const QVariant& value) {
    QVariant inner = value;
    while (inner.canConvert<QDBusVariant>() && inner.userType() == qMetaTypeId<QDBusVariant>()) {
        inner = qvariant_cast<QDBusVariant>(inner).variant();
    }
    bool ok = false;
    const uint number = inner.toUInt(&ok);
    if (!ok) {
        return std::nullopt;
    }
    if (number == 1) {
        return ColorScheme::Scheme::dark;
    }
    if (number == 2) {
        return ColorScheme::Scheme::light;
    }
    return std::nullopt;
}
} // namespace

ColorScheme::ColorScheme(QObject* parent) : QObject(parent) {
    m_last = current();
    if (qApp) {
        qApp->installEventFilter(this);
    }
    askPortal();
}

ColorScheme& ColorScheme::shared() {
    static ColorScheme* instance = new ColorScheme();
    return *instance;
}

ColorScheme::Scheme ColorScheme::current() const {
    if (m_override) {
        return *m_override;
    }
    return m_portal ? *m_portal : fromPalette();
}

void ColorScheme::setOverride(std::optional<Scheme> scheme) {
    m_override = scheme;
    refresh();
}

ColorScheme::Scheme ColorScheme::fromPalette() const {
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    return window.lightness() < 128 ? Scheme::dark : Scheme::light;
}

void ColorScheme::askPortal() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                SLOT(onPortalSettingChanged(QString, QString, QDBusVariant)));
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, QStringLiteral("Read"));
    call << appearance << colorSchemeKey;
    // Asked without waiting: until the answer comes the palette decides.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QVariant> reply = *w;
        if (!reply.isError()) {
            m_portal = fromPortalValue(reply.value());
            refresh();
        }
        w->deleteLater();
    });
}

void ColorScheme::onPortalSettingChanged(const QString& group, const QString& key,
                                         const QDBusVariant& value) {
    if (group == appearance && key == colorSchemeKey) {
        m_portal = fromPortalValue(value.variant());
        refresh();
    }
}

bool ColorScheme::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        refresh();
    }
    return QObject::eventFilter(watched, event);
}

void ColorScheme::refresh() {
    const Scheme now = current();
    if (now != m_last) {
        m_last = now;
        emit changed(now);
    }
}
