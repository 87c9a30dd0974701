#include "AppController.h"
#include "ClipboardMonitor.h"
#include "Contrast.h"
#include "ConversionQueue.h"
#include "FakePasteboard.h"
#include "GlobalHotkey.h"
#include "KestroResources.h"
#include "KeyEventMonitor.h"
#include "MenuBarTooltipView.h"
#include "MenuBarTooltipWindowController.h"
#include "MenuTracking.h"
#include "OnboardingContentView.h"
#include "OnboardingTestSupport.h"
#include "ScriptedSongLinkService.h"
#include "StatusItem.h"
#include "ToastWindow.h"
#include "TrayIconStyle.h"
#include "UpdateManager.h"

#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QSignalSpy>

namespace {

const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString appleLink = QStringLiteral("https://music.apple.com/us/song/what-we-worked-for/44733632");
const QString completedKey = QStringLiteral("hasCompletedOnboarding");

// A tray item that is always there, with a known rectangle, counting its redraws.
class TestStatusItem : public StatusItem {
public:
    bool visible = true;
    QRect rect{1256, 0, 24, 24};
    int dimmings = 0;

    bool isVisibleInTray() const override { return visible; }
    QRect buttonRect() const override { return rect; }
    void setAppearsDisabled(bool disabled) override {
        ++dimmings;
        StatusItem::setAppearsDisabled(disabled);
    }
};

// Monitors that only count how many are alive.
class CountingMonitors : public KeyMonitorFactory {
public:
    int globals = 0;
    int locals = 0;

    class Monitor : public KeyEventMonitor {
    public:
        explicit Monitor(int& count) : m_count(count) { ++m_count; }
        ~Monitor() override { --m_count; }

    private:
        int& m_count;
    };

    std::unique_ptr<KeyEventMonitor> addGlobalMonitor(KeyDownHandler) override {
        return std::make_unique<Monitor>(globals);
    }
    std::unique_ptr<KeyEventMonitor> addLocalMonitor(KeyDownHandler) override {
        return std::make_unique<Monitor>(locals);
    }
};

class QuietPresenter : public UpdatePresenter {
public:
    QStringList shown;
    void showUpToDate(const QString&) override { shown.append(QStringLiteral("upToDate")); }
    void offerUpdate(const AppcastItem&, const QString&, std::function<void()>) override {
        shown.append(QStringLiteral("offer"));
    }
    void showCheckFailed(const QString&) override { shown.append(QStringLiteral("failed")); }
    void showNotConfigured() override { shown.append(QStringLiteral("notConfigured")); }
    void openDownloadPage(const QUrl&) override {}
};

QStringList titles(const QMenu* menu) {
    QStringList result;
    for (const QAction* action : menu->actions()) {
        result.append(action->isSeparator() ? QStringLiteral("---") : action->text());
    }
    return result;
}

QAction* find(const QMenu* menu, const QString& title) {
    for (QAction* action : menu->actions()) {
        if (action->text() == title) {
            return action;
        }
    }
    return nullptr;
}

} // namespace

// Every collaborator of the shell, fresh for each test, with short timings.
struct ShellRig {
    OnboardingRig onboarding;
    FakePasteboard pasteboard;
    ScriptedSongLinkService api;
    MenuTracking menuTracking;
    std::unique_ptr<ConversionQueue> queue;
    std::unique_ptr<ClipboardMonitor> monitor;
    CountingMonitors monitors;
    std::unique_ptr<GlobalHotkey> hotkey;
    QuietPresenter presenter;
    std::unique_ptr<UpdateManager> updates;
    std::unique_ptr<ToastWindowController> toast;
    TestStatusItem* statusItem = nullptr;
    MenuBarTooltipWindowController* tooltip = nullptr;
    int terminations = 0;
    QString autostartDir;
    std::unique_ptr<AppController> controller;

    explicit ShellRig(const QString& name) : onboarding(name) {
        api.hangForever = true;
        queue = std::make_unique<ConversionQueue>(*onboarding.settings, api, pasteboard, menuTracking);
        monitor = std::make_unique<ClipboardMonitor>(*onboarding.settings, pasteboard, queue.get());
        queue->setProcessedLinkMemory(monitor.get());
        hotkey = std::make_unique<GlobalHotkey>(*queue, *onboarding.accessibility, monitors);
        Updater::Config config;
        config.currentVersion = QStringLiteral("1.0");
        updates = std::make_unique<UpdateManager>(*onboarding.defaults, config, presenter);
        toast = std::make_unique<ToastWindowController>(*queue, *onboarding.settings,
                                                        *onboarding.accessibility, *onboarding.colorScheme);
        // Completions go to the shell, not to the rig's recorder.
        onboarding.controller->onComplete = nullptr;
        autostartDir = TestEnvironment::root() + QStringLiteral("/") + name + QStringLiteral("/autostart");

        auto tooltipController = std::make_unique<MenuBarTooltipWindowController>(
            [](const QRect&) { return QRect(0, 0, 1280, 800); }, onboarding.colorScheme.get(),
            MenuBarTooltipWindowController::Timing{std::chrono::milliseconds(10),
                                                   std::chrono::milliseconds(10)});
        tooltip = tooltipController.get();
        AppController::Collaborators parts{
            onboarding.settings.get(),
            monitor.get(),
            hotkey.get(),
            updates.get(),
            onboarding.controller.get(),
            toast.get(),
            onboarding.accessibility.get(),
            &menuTracking,
            LoginItem(autostartDir, QStringLiteral("org.ondari.Test"), QStringLiteral("/opt/ondari/ondari")),
            [this] {
                auto item = std::make_unique<TestStatusItem>();
                statusItem = item.get();
                return item;
            },
            std::move(tooltipController),
            [this] { ++terminations; }};
        controller = std::make_unique<AppController>(std::move(parts));
    }

    QMenu* menu() const { return statusItem->menu(); }
    QString entryPath() const { return autostartDir + QStringLiteral("/org.ondari.Test.desktop"); }

    void holdPendingLink(const QString& link) {
        onboarding.settings->setConversionMode(ConversionMode::silent);
        monitor->startMonitoring();
        pasteboard.copy(link);
        monitor->checkClipboard();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
};

class AppControllerTest : public QObject {
    Q_OBJECT

    int rigs = 0;
    QString nextName() { return QStringLiteral("shell-%1").arg(++rigs); }

    static bool logHas(const QString& line) { return TestEnvironment::debugLogMessages().contains(line); }

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void trustedStartUpCompletesAtOnce() {
        ShellRig rig(nextName());
        rig.onboarding.accessibility->forceTrusted(true);
        rig.controller->setup();
        const QStringList log = TestEnvironment::debugLogMessages();
        const QStringList expected{
            QStringLiteral("AppController setup started"),
            QStringLiteral("Menu bar setup complete"),
            QStringLiteral("UpdateManager initialized"),
            QStringLiteral("Accessibility permission already granted, skipping onboarding"),
            QStringLiteral("Completing app setup (withHotkey: true)"),
            QStringLiteral("ToastWindowController initialized"),
            QStringLiteral("Hotkey registered"),
            QStringLiteral("AppController setup complete"),
            QStringLiteral("Menu bar tooltip scheduled to show")};
        qsizetype at = 0;
        for (const QString& line : expected) {
            at = log.indexOf(line, at);
            QVERIFY2(at >= 0, qPrintable(line));
        }
        QVERIFY(rig.controller->isOnboardingComplete());
        QVERIFY(rig.monitor->isMonitoring());
        QCOMPARE(rig.monitors.globals, 1);
        QCOMPARE(rig.monitors.locals, 1);
        QVERIFY(!rig.onboarding.controller->isVisible());
        QVERIFY(QFile::exists(rig.entryPath()));

        // The flag is set before the 0.4 s wait; the tooltip shows after it, under the item.
        QVERIFY(rig.onboarding.settings->hasSeenMenuBarTooltip());
        QVERIFY(!rig.tooltip->restingFrame().isValid());
        QTRY_VERIFY_WITH_TIMEOUT(rig.tooltip->restingFrame().isValid(), 10000);
        QVERIFY(QRect(0, 0, 1280, 800).contains(rig.tooltip->restingFrame()));
        QCOMPARE(rig.tooltip->restingFrame().top(), rig.statusItem->rect.bottom() + 1);
    }

    void grantAfterTheFirstRunCompletesWithHotkey() {
        ShellRig rig(nextName());
        rig.controller->setup();
        QVERIFY(logHas(QStringLiteral("Accessibility permission missing, showing onboarding")));
        QVERIFY(rig.onboarding.controller->isVisible());
        QVERIFY(!rig.monitor->isMonitoring());

        rig.onboarding.controller->requestAccessibility();
        rig.onboarding.accessibility->forceTrusted(true);
        QTRY_COMPARE_WITH_TIMEOUT(rig.onboarding.controller->state(), OnboardingState::musicSelection, 10000);
        QVERIFY(!rig.controller->isOnboardingComplete()); // the music page comes first
        rig.onboarding.controller->musicSelectionCompleted();
        QTRY_VERIFY(rig.controller->isOnboardingComplete());
        QVERIFY(rig.monitor->isMonitoring());
        QCOMPARE(rig.monitors.globals, 1);
        QVERIFY(logHas(QStringLiteral("Completing app setup (withHotkey: true)")));
    }

    void skipThenSaveCompletesSetup() {
        ShellRig rig(nextName());
        rig.controller->setup();
        rig.onboarding.alertAnswers = {0}; // "Skip Anyway"
        rig.onboarding.controller->skip();
        QTRY_COMPARE_WITH_TIMEOUT(rig.onboarding.controller->state(), OnboardingState::musicSelection, 10000);
        rig.onboarding.controller->musicSelectionCompleted();
        QTRY_VERIFY(rig.controller->isOnboardingComplete());
        QVERIFY(rig.monitor->isMonitoring());
        QVERIFY(QFile::exists(rig.entryPath()));
    }

    // Where no permission can ever be granted (Wayland, no RECORD), the onboarding is shown
    // until its music page has been saved once; later starts complete the setup at once.
    void completedOnboardingIsNotShownAgainWhereTheShortcutCannotBeOffered() {
        {
            ShellRig rig(nextName());
            rig.onboarding.accessibility->forceSessionCanObserveKeys(false);
            rig.controller->setup();
            QVERIFY(rig.onboarding.controller->isVisible());
            QVERIFY(!rig.monitor->isMonitoring());
            QVERIFY(rig.onboarding.controller->contentView()->permissionPage()->subtitle().contains(
                QStringLiteral("Skip this step and use the toast's Convert button.")));
            rig.onboarding.alertAnswers = {0}; // "Skip Anyway"
            rig.onboarding.controller->skip();
            QTRY_COMPARE_WITH_TIMEOUT(rig.onboarding.controller->state(), OnboardingState::musicSelection,
                                      3000);
            QVERIFY(!UserDefaults(rig.onboarding.defaults->fileName()).boolValue(completedKey));
            rig.onboarding.controller->musicSelectionCompleted();
            QTRY_VERIFY(rig.controller->isOnboardingComplete());
            // A later start reads it from the file.
            QVERIFY(UserDefaults(rig.onboarding.defaults->fileName()).boolValue(completedKey));
        }
        {
            TestEnvironment::clearDebugLog();
            ShellRig rig(nextName());
            rig.onboarding.settings->setHasCompletedOnboarding(true);
            rig.onboarding.accessibility->forceSessionCanObserveKeys(false);
            rig.controller->setup();
            QVERIFY(logHas(
                QStringLiteral("Shortcut not available in this session, onboarding already completed")));
            QVERIFY(logHas(QStringLiteral("Hotkey registration skipped (no permission)")));
            QVERIFY(rig.controller->isOnboardingComplete());
            QVERIFY(rig.monitor->isMonitoring());
            QCOMPARE(rig.monitors.globals, 0);
            QTest::qWait(50);
            QVERIFY(!rig.onboarding.controller->isVisible());
            // The menu opens, and still offers the shortcut's explanation.
            emit rig.statusItem->menuAboutToOpen(rig.menu());
            QVERIFY(titles(rig.menu()).contains(QStringLiteral("Enable Hotkey")));
            QVERIFY(!rig.onboarding.controller->isVisible());
        }
        {
            // In an X11 session with RECORD the permission can still be granted: ask again.
            ShellRig rig(nextName());
            rig.onboarding.settings->setHasCompletedOnboarding(true);
            rig.controller->setup();
            QVERIFY(rig.onboarding.controller->isVisible());
            QVERIFY(!rig.controller->isOnboardingComplete());
        }
    }

    void minimisingCompletesNothingAndTheMenuShowsTheOnboarding() {
        ShellRig rig(nextName());
        rig.controller->setup();
        rig.onboarding.controller->minimizeToMenuBar();
        QTest::qWait(100);
        QVERIFY(!rig.controller->isOnboardingComplete());
        QVERIFY(!rig.monitor->isMonitoring());
        // The fade-out ends after the first paint of the page, which a slow build may draw late.
        QTRY_VERIFY(!rig.onboarding.controller->isVisible());

        emit rig.statusItem->menuAboutToOpen(rig.menu());
        QVERIFY(rig.menu()->actions().isEmpty());
        QVERIFY(rig.onboarding.controller->isVisible());
    }

    void grantOutsideTheOnboardingOpensTheMenu() {
        ShellRig rig(nextName());
        rig.controller->setup();
        rig.onboarding.controller->minimizeToMenuBar();
        rig.onboarding.accessibility->forceTrusted(true);
        emit rig.statusItem->menuAboutToOpen(rig.menu());
        QVERIFY(titles(rig.menu()).contains(QStringLiteral("Quit")));
    }

    void repeatedSetupDoublesNothing() {
        ShellRig rig(nextName());
        rig.onboarding.accessibility->forceTrusted(true);
        rig.controller->setup();
        rig.controller->completeSetup(true);
        rig.controller->completeSetup(true);
        QCOMPARE(rig.monitors.globals, 1);
        QCOMPARE(rig.monitors.locals, 1);
        QCoreApplication::processEvents();
        const int before = rig.statusItem->dimmings;
        rig.onboarding.settings->setIsEnabled(false);
        QTRY_VERIFY(rig.statusItem->appearsDisabled());
        QTest::qWait(20);
        QCOMPARE(rig.statusItem->dimmings, before + 1);
    }

    void disabledAtLaunchDimsTheIcon() {
        ShellRig rig(nextName());
        rig.onboarding.settings->setIsEnabled(false);
        rig.onboarding.accessibility->forceTrusted(true);
        rig.controller->setup();
        QVERIFY(!rig.statusItem->appearsDisabled()); // delivered on the next pass of the event loop
        QTRY_VERIFY(rig.statusItem->appearsDisabled());
        rig.controller->toggleEnabled();
        QTRY_VERIFY(!rig.statusItem->appearsDisabled());
    }

    // The tray glyph reads on the tray the desktop gives it, at 3:1 or better, dimmed as well:
    // on a dark and on a light tray alike, an XEmbed tray that names no colour and a
    // StatusNotifier host whatever the windows' scheme (XFCE's dark panel under a light theme);
    // GNOME's bar, known to be dark, gets the plain light glyph.
    void trayGlyphReadsOnTheDesktopsTray() {
        const QColor dark(0x202020);
        const QColor xfcePanel(0x353535);
        const QColor light(0xf0f0f0);
        const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
        const auto legible = [](const TrayIconStyle& style, const QColor& tray) {
            for (const bool disabled : {false, true}) {
                QImage image(22, 22, QImage::Format_RGB32);
                image.fill(tray);
                QPainter(&image).drawPixmap(
                    0, 0,
                    TrayIconStyle::paint(KestroResources::menuBarIcon(), style.glyph(), disabled)
                        .pixmap(22, 22));
                if (Contrast::legiblePixels(image, tray) < 20) {
                    return false;
                }
            }
            return true;
        };
        TrayIconStyle style;
        QVERIFY(legible(style, dark) && legible(style, light));

        style.setHost(TrayIconStyle::Host::statusNotifier);
        for (const char* name : {"XFCE", "KDE", "LXQt"}) {
            qputenv("XDG_CURRENT_DESKTOP", name);
            QVERIFY2(legible(style, xfcePanel) && legible(style, dark) && legible(style, light), name);
        }
        qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
        QVERIFY(legible(style, dark));
        qputenv("XDG_CURRENT_DESKTOP", desktop);

        // Dimmed is visibly dimmer: well under the ink of the normal glyph.
        const auto ink = [&](bool disabled) {
            const QImage image = TrayIconStyle::paint(KestroResources::menuBarIcon(), style.glyph(), disabled)
                                     .pixmap(22, 22)
                                     .toImage();
            qint64 sum = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    sum += image.pixelColor(x, y).alpha();
                }
            }
            return sum;
        };
        QVERIFY(ink(true) < ink(false) * 6 / 10);
    }

    void switchedOffLoginItemStaysOff() {
        ShellRig rig(nextName());
        LoginItem item(rig.autostartDir, QStringLiteral("org.ondari.Test"),
                       QStringLiteral("/opt/ondari/ondari"));
        QVERIFY(item.unregisterItem(nullptr));
        rig.onboarding.accessibility->forceTrusted(true);
        rig.controller->setup();
        QVERIFY(!item.isEnabled());
    }

    void tooltipRules() {
        {
            ShellRig rig(nextName());
            rig.onboarding.settings->setHasSeenMenuBarTooltip(true);
            rig.onboarding.accessibility->forceTrusted(true);
            rig.controller->setup();
            QVERIFY(logHas(QStringLiteral("Menu bar tooltip already seen, skipping")));
        }
        {
            TestEnvironment::clearDebugLog();
            ShellRig rig(nextName());
            rig.onboarding.accessibility->forceTrusted(true);
            rig.controller->setupMenuBar();
            // No tray: the bubble still comes, and says how the menu is reached.
            rig.statusItem->visible = false;
            rig.controller->showMenuBarTooltipIfNeeded();
            QVERIFY(rig.onboarding.settings->hasSeenMenuBarTooltip());
            QTRY_VERIFY_WITH_TIMEOUT(rig.tooltip->view(), 2000);
            QCOMPARE(rig.tooltip->view()->title(), QStringLiteral("Ondari runs in the background."));
            QCOMPARE(rig.tooltip->view()->subtitle(), QStringLiteral("Start Ondari again to open its menu."));
            QVERIFY(!rig.tooltip->view()->arrowShown());
            QCOMPARE(rig.tooltip->restingFrame(), QRect(490, 0, 300, 100)); // top centre
        }
    }

    void pendingBlock_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<TargetServiceOption>("target");
        QTest::addColumn<bool>("bidirectional");
        QTest::addColumn<QStringList>("expected"); // the items before "Configure Music Services"
        QTest::newRow("service") << spotifyLink << TargetServiceOption::appleMusic << true
                                 << QStringList{QStringLiteral("Convert to Apple Music"),
                                                QStringLiteral("---")};
        // A link of the target service goes back to the source: the item says so.
        QTest::newRow("reverse") << appleLink << TargetServiceOption::appleMusic << true
                                 << QStringList{QStringLiteral("Convert to Spotify"), QStringLiteral("---")};
        QTest::newRow("universal") << spotifyLink << TargetServiceOption::universalLink << true
                                   << QStringList{QStringLiteral("Convert to Universal Link"),
                                                  QStringLiteral("---")};
        QTest::newRow("ask") << spotifyLink << TargetServiceOption::askEachTime << true
                             << QStringList{QStringLiteral("Convert URL to..."), QStringLiteral("---")};
    }

    void pendingBlock() {
        QFETCH(QString, link);
        QFETCH(TargetServiceOption, target);
        QFETCH(bool, bidirectional);
        QFETCH(QStringList, expected);
        ShellRig rig(nextName());
        rig.onboarding.settings->setTargetService(target);
        rig.onboarding.settings->setIsBidirectional(bidirectional);
        rig.controller->setupMenuBar();
        rig.holdPendingLink(link);
        QVERIFY(rig.monitor->pendingMusicURL());
        rig.controller->updateMenu(rig.menu());
        const QStringList all = titles(rig.menu());
        QCOMPARE(all.mid(0, expected.size()), expected);
        QCOMPARE(all.value(expected.size()), QStringLiteral("Configure Music Services"));
        QCOMPARE(rig.menu()->actions().first()->toolTip(), link.left(40) + QStringLiteral("..."));

        if (target == TargetServiceOption::askEachTime) {
            QMenu* submenu = rig.menu()->actions().first()->menu();
            QVERIFY(submenu);
            QCOMPARE(titles(submenu),
                     (QStringList{QStringLiteral("Apple Music"), QStringLiteral("YouTube Music"),
                                  QStringLiteral("Yandex Music"), QStringLiteral("Tidal"),
                                  QStringLiteral("SoundCloud")}));
            submenu->actions().at(3)->trigger();
            QVERIFY(!rig.monitor->pendingMusicURL());
            QCOMPARE(rig.queue->currentRequest()->targetPlatform, Platform::tidal);
            QVERIFY(rig.queue->currentRequest()->autoConvert);
        } else {
            rig.menu()->actions().first()->trigger();
            QVERIFY(!rig.monitor->pendingMusicURL());
            QVERIFY(rig.queue->currentRequest());
        }
    }

    void pendingTooltipKeepsFortyCharacters() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        const QString forty = QStringLiteral("https://open.spotify.com/track/123456789");
        QCOMPARE(forty.size(), 40);
        rig.holdPendingLink(forty);
        rig.controller->updateMenu(rig.menu());
        QCOMPARE(rig.menu()->actions().first()->toolTip(), forty);
        rig.holdPendingLink(forty + QLatin1Char('0'));
        rig.controller->updateMenu(rig.menu());
        QCOMPARE(rig.menu()->actions().first()->toolTip(), forty + QStringLiteral("..."));
    }

    void pendingBlockOnlyInSilentMode() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        rig.holdPendingLink(spotifyLink);
        for (ConversionMode mode : {ConversionMode::default_, ConversionMode::automatic}) {
            rig.onboarding.settings->setConversionMode(mode);
            rig.controller->updateMenu(rig.menu());
            QCOMPARE(titles(rig.menu()).first(), QStringLiteral("Configure Music Services"));
        }
    }

    void modeSubmenu() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        rig.controller->updateMenu(rig.menu());
        QMenu* modes = find(rig.menu(), QStringLiteral("Mode"))->menu();
        QCOMPARE(titles(modes), (QStringList{QStringLiteral("Silent"), QStringLiteral("Default"),
                                             QStringLiteral("Automatic")}));
        QVERIFY(modes->actions().at(1)->isChecked());
        QCOMPARE(modes->actions().at(0)->toolTip(), QStringLiteral("Manual conversion from the tray"));
        modes->actions().at(2)->trigger();
        QCOMPARE(rig.onboarding.settings->conversionMode(), ConversionMode::automatic);

        rig.onboarding.settings->setTargetService(TargetServiceOption::askEachTime);
        rig.controller->updateMenu(rig.menu());
        modes = find(rig.menu(), QStringLiteral("Mode"))->menu();
        QCOMPARE(titles(modes),
                 (QStringList{QStringLiteral("Silent"), QStringLiteral("Default"),
                              QStringLiteral("Automatic"), QStringLiteral("---"),
                              QStringLiteral("Automatic is not available with Ask Each Time")}));
        QVERIFY(!modes->actions().at(2)->isEnabled());
        QVERIFY(!modes->actions().at(4)->isEnabled());
    }

    void timeoutSubmenu() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        for (double stored : {5.0, 10.0, 15.0, 7.5}) {
            rig.onboarding.settings->setToastTimeout(stored);
            rig.controller->updateMenu(rig.menu());
            QMenu* timeouts = find(rig.menu(), QStringLiteral("Toast Timeout"))->menu();
            QCOMPARE(titles(timeouts), (QStringList{QStringLiteral("5 seconds"), QStringLiteral("10 seconds"),
                                                    QStringLiteral("15 seconds")}));
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(timeouts->actions().at(i)->isChecked(), stored == 5.0 * (i + 1));
            }
        }
        QMenu* timeouts = find(rig.menu(), QStringLiteral("Toast Timeout"))->menu();
        timeouts->actions().at(2)->trigger();
        QCOMPARE(rig.onboarding.settings->toastTimeout(), 15.0);
    }

    void permissionAndTail() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        rig.controller->updateMenu(rig.menu());
        QStringList all = titles(rig.menu());
        QCOMPARE(all.mid(all.indexOf(QStringLiteral("Launch at Login")), 3),
                 (QStringList{QStringLiteral("Launch at Login"), QStringLiteral("Enable Hotkey"),
                              QStringLiteral("---")}));
        QCOMPARE(all.mid(all.size() - 2), (QStringList{QStringLiteral("Disable"), QStringLiteral("Quit")}));
        QCOMPARE(find(rig.menu(), QStringLiteral("Quit"))->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QVERIFY(!find(rig.menu(), QStringLiteral("Check for Updates"))->isEnabled() ||
                rig.updates->canCheckForUpdates());

        rig.onboarding.accessibility->forceTrusted(true);
        rig.onboarding.settings->setIsEnabled(false);
        rig.controller->updateMenu(rig.menu());
        all = titles(rig.menu());
        QCOMPARE(all.value(all.indexOf(QStringLiteral("Launch at Login")) + 1), QStringLiteral("---"));
        QCOMPARE(all.mid(all.size() - 2), (QStringList{QStringLiteral("Enable"), QStringLiteral("Quit")}));
    }

    void actions() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        rig.controller->updateMenu(rig.menu());

        find(rig.menu(), QStringLiteral("Show Song Preview"))->trigger();
        QVERIFY(!rig.onboarding.settings->showURLPreview());

        LoginItem item(rig.autostartDir, QStringLiteral("org.ondari.Test"),
                       QStringLiteral("/opt/ondari/ondari"));
        find(rig.menu(), QStringLiteral("Launch at Login"))->trigger();
        QVERIFY(item.isEnabled());
        rig.controller->updateMenu(rig.menu());
        QVERIFY(find(rig.menu(), QStringLiteral("Launch at Login"))->isChecked());
        find(rig.menu(), QStringLiteral("Launch at Login"))->trigger();
        QVERIFY(!item.isEnabled());

        // Data of another type does nothing.
        QAction stray;
        stray.setData(QStringLiteral("automatic"));
        rig.controller->setMode(&stray);
        rig.controller->setTimeout(&stray);
        rig.controller->convertPendingURLToTarget(&stray);
        QCOMPARE(rig.onboarding.settings->conversionMode(), ConversionMode::default_);
        QCOMPARE(rig.onboarding.settings->toastTimeout(), 10.0);

        find(rig.menu(), QStringLiteral("Configure Music Services"))->trigger();
        QVERIFY(rig.onboarding.controller->isVisible());
        QCOMPARE(rig.onboarding.controller->state(), OnboardingState::musicSelection);
    }

    void enableHotkeyRegistersOnlyOnGrant() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        rig.controller->showEnableHotkey();
        QVERIFY(rig.onboarding.controller->isVisible());
        QVERIFY(!rig.onboarding.controller->showWelcomeText());
        rig.onboarding.controller->onComplete(false);
        QTest::qWait(20);
        QCOMPARE(rig.monitors.globals, 0);
        rig.onboarding.controller->onComplete(true);
        QTRY_COMPARE(rig.monitors.globals, 1);
        QVERIFY(logHas(QStringLiteral("Hotkey registered after Enable Hotkey flow")));
    }

    void checkForUpdatesAndAbout() {
        ShellRig rig(nextName());
        rig.controller->checkForUpdates();
        QTRY_COMPARE(rig.presenter.shown, QStringList{QStringLiteral("notConfigured")});

        rig.controller->showAbout();
        QVERIFY(rig.controller->aboutDialog());
        QDialog* about = rig.controller->aboutDialog();
        rig.controller->showAbout(); // one dialog, brought to the front
        QCOMPARE(rig.controller->aboutDialog(), about);
        const QString credits = AppController::creditsHtml();
        for (const char* part : {"Powered by ", "SongLink", "Privacy Policy", "/privacy", "Terms", "/terms",
                                 "Contact", "mailto:"}) {
            QVERIFY2(credits.contains(QLatin1String(part)), part);
        }
        about->close();
    }

    void quitStopsWatcherAndShortcut() {
        ShellRig rig(nextName());
        rig.onboarding.accessibility->forceTrusted(true);
        rig.controller->setup();
        QVERIFY(rig.monitor->isMonitoring());
        find(rig.menu(), QStringLiteral("Quit"))->trigger();
        QVERIFY(!rig.monitor->isMonitoring());
        QCOMPARE(rig.monitors.globals, 0);
        QCOMPARE(rig.monitors.locals, 0);
        QCOMPARE(rig.terminations, 1);
    }

    void menuStateFeedsTheDismissTimer() {
        ShellRig rig(nextName());
        rig.controller->setupMenuBar();
        emit rig.statusItem->menuOpenChanged(true);
        QVERIFY(rig.menuTracking.isMenuOpen());
        emit rig.statusItem->menuOpenChanged(false);
        QVERIFY(!rig.menuTracking.isMenuOpen());
    }
};

ONDARI_WIDGET_TEST_MAIN(AppControllerTest)
#include "tst_appcontroller.moc"
