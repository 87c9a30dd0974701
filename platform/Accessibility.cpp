#include "Accessibility.h"

#include "RegularFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

// X headers after Qt's.
#include <X11/Xlib.h>
#include <X11/extensions/record.h>

namespace {
const QByteArray allowedMarker = "allowed\n";
}

Accessibility::Accessibility(QString consentFile, QObject* parent)
    : QObject(parent), m_consentFile(std::move(consentFile)) {}

Accessibility& Accessibility::shared() {
    static Accessibility* instance = [] {
        const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                            QLatin1Char('/') + QCoreApplication::organizationName();
        return new Accessibility(dir + QStringLiteral("/key-observation-consent"));
    }();
    return *instance;
}

bool Accessibility::isTrusted() const {
    if (m_forced) {
        return *m_forced;
    }
    return hasConsent() && sessionCanObserveKeys();
}

bool Accessibility::hasConsent() const {
    return RegularFile::read(m_consentFile, 64) == allowedMarker;
}

void Accessibility::setConsent(bool allowed) {
    const bool before = isTrusted();
    if (allowed) {
        QDir().mkpath(QFileInfo(m_consentFile).absolutePath());
        QSaveFile file(m_consentFile);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(allowedMarker);
            file.commit();
        }
    } else {
        QFile::remove(m_consentFile);
    }
    const bool after = isTrusted();
    if (before != after) {
        emit trustChanged(after);
    }
}

bool Accessibility::isWaylandSession() {
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool Accessibility::sessionCanObserveKeys() const {
    if (!m_capable) {
        bool capable = false;
        if (!isWaylandSession() && !qEnvironmentVariableIsEmpty("DISPLAY")) {
            if (Display* display = XOpenDisplay(nullptr)) {
                int major = 0;
                int minor = 0;
                capable = XRecordQueryVersion(display, &major, &minor) != 0;
                XCloseDisplay(display);
            }
        }
        m_capable = capable;
    }
    return *m_capable;
}

void Accessibility::forceSessionCanObserveKeys(std::optional<bool> capable) {
    m_capable = capable;
}

void Accessibility::forceTrusted(std::optional<bool> trusted) {
    const bool before = isTrusted();
    m_forced = trusted;
    const bool after = isTrusted();
    if (before != after) {
        emit trustChanged(after);
    }
}
