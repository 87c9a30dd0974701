#pragma once

#include "Accessibility.h"
#include "ColorScheme.h"
#include "ConversionQueue.h"
#include "FakePasteboard.h"
#include "LoginItem.h"
#include "MenuTracking.h"
#include "RecordingLinkMemory.h"
#include "ScriptedSongLinkService.h"
#include "SettingsManager.h"
#include "TestEnvironment.h"
#include "ToastEnvironment.h"
#include "UserDefaults.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>

#include <memory>

// The toast's widgets need a QApplication.
#define ONDARI_TOAST_TEST_MAIN(TestObject)                                                                   \
    int main(int argc, char* argv[]) {                                                                       \
        TestEnvironment::prepare();                                                                          \
        QApplication app(argc, argv);                                                                        \
        QApplication::setOrganizationName(QStringLiteral("OndariTest"));                                     \
        QApplication::setApplicationName(QStringLiteral("OndariTest"));                                      \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

namespace ToastLinks {
inline const QString spotify = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
inline const QString tidal = QStringLiteral("https://tidal.com/browse/track/11343638");
inline const QString soundcloud = QStringLiteral("https://soundcloud.com/artist/song");
} // namespace ToastLinks

// A real conversion queue on a scripted API client and a fake clipboard, with fresh settings,
// trust and colour scheme: what one toast needs, built anew for each test.
struct ToastRig {
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<FakePasteboard> pasteboard;
    std::unique_ptr<ScriptedSongLinkService> api;
    std::unique_ptr<MenuTracking> menu;
    std::unique_ptr<RecordingLinkMemory> memory;
    std::unique_ptr<ConversionQueue> queue;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<ColorScheme> colorScheme;
    std::unique_ptr<QNetworkAccessManager> network;

    explicit ToastRig(const QString& name, bool preview = true) {
        const QString dir = TestEnvironment::root() + QStringLiteral("/") + name;
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        defaults = std::make_unique<UserDefaults>(dir + QStringLiteral("/settings.ini"));
        settings = std::make_unique<SettingsManager>(*defaults, LoginItem(dir + QStringLiteral("/autostart"),
                                                                          QStringLiteral("org.ondari.Test"),
                                                                          QStringLiteral("/bin/true")));
        // Long enough that no prompt times out under a test.
        settings->setToastTimeout(60);
        settings->setShowURLPreview(preview);
        pasteboard = std::make_unique<FakePasteboard>();
        api = std::make_unique<ScriptedSongLinkService>();
        api->conversion.delay = std::chrono::milliseconds(20);
        api->metadata.delay = std::chrono::milliseconds(20);
        menu = std::make_unique<MenuTracking>();
        memory = std::make_unique<RecordingLinkMemory>();
        queue = std::make_unique<ConversionQueue>(*settings, *api, *pasteboard, *menu, memory.get());
        queue->setSuccessHoldForTesting(std::chrono::milliseconds(150));
        accessibility = std::make_unique<Accessibility>(dir + QStringLiteral("/consent"));
        accessibility->forceTrusted(false);
        colorScheme = std::make_unique<ColorScheme>();
        colorScheme->setOverride(ColorScheme::Scheme::light);
        network = std::make_unique<QNetworkAccessManager>();
    }

    ~ToastRig() {
        // The queue's running tasks end with it; nothing may outlive what it points to.
        queue.reset();
        api.reset();
        QCoreApplication::processEvents();
    }

    ToastEnvironment environment() { return {*queue, *settings, *accessibility, *colorScheme, *network}; }
};
