#pragma once

#include "Accessibility.h"
#include "ColorScheme.h"
#include "QueueRig.h"
#include "TestEnvironment.h"
#include "ToastEnvironment.h"
#include "WidgetTestMain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>

#include <memory>

// The toast's widgets need a QApplication, as in the widget tests.
#define ONDARI_TOAST_TEST_MAIN(TestObject) ONDARI_WIDGET_TEST_MAIN(TestObject)

namespace ToastLinks {
inline const QString spotify = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
inline const QString tidal = QStringLiteral("https://tidal.com/browse/track/11343638");
inline const QString soundcloud = QStringLiteral("https://soundcloud.com/artist/song");
} // namespace ToastLinks

// A real conversion queue on a scripted API client and a fake clipboard, with fresh settings,
// trust and colour scheme: what one toast needs, built anew for each test.
struct ToastRig : QueueRig {
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<ColorScheme> colorScheme;
    std::unique_ptr<QNetworkAccessManager> network;

    explicit ToastRig(const QString& name, bool preview = true) {
        const QString dir = TestEnvironment::root() + QStringLiteral("/") + name;
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        buildQueue(dir + QStringLiteral("/settings.ini"),
                   LoginItem(dir + QStringLiteral("/autostart"), QStringLiteral("org.ondari.Test"),
                             QStringLiteral("/bin/true")));
        // Long enough that no prompt times out under a test.
        settings->setToastTimeout(60);
        settings->setShowURLPreview(preview);
        api->conversion.delay = std::chrono::milliseconds(20);
        api->metadata.delay = std::chrono::milliseconds(20);
        queue->setSuccessHoldForTesting(std::chrono::milliseconds(150));
        accessibility = std::make_unique<Accessibility>(dir + QStringLiteral("/consent"));
        accessibility->forceTrusted(false);
        colorScheme = std::make_unique<ColorScheme>();
        colorScheme->setOverride(ColorScheme::Scheme::light);
        network = std::make_unique<QNetworkAccessManager>();
    }

    ~ToastRig() {
        stopQueue();
        QCoreApplication::processEvents();
    }

    ToastEnvironment environment() { return {*queue, *settings, *accessibility, *colorScheme, *network}; }
};
