#include "Accessibility.h"
#include "GlobalHotkey.h"
#include "KeyEventMonitor.h"
#include "QueueRig.h"
#include "SongLinkError.h"
#include "TestEnvironment.h"

#include <QKeyEvent>
#include <QWindow>

using namespace std::chrono_literals;

namespace {

const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString permissionLine =
    QStringLiteral("Hotkey: Permission not granted. Allow the Ctrl+Return shortcut in "
                   "the onboarding or with \"Enable Hotkey\" in the tray menu");

constexpr std::uint32_t ctrl = KeyDownEvent::controlMask;
constexpr std::uint32_t shift = KeyDownEvent::shiftMask;

KeyDownEvent press(KeyDownEvent::Key key, std::uint32_t keyCode, std::uint32_t modifiers) {
    KeyDownEvent event;
    event.key = key;
    event.keyCode = keyCode;
    event.modifiers = modifiers;
    return event;
}

const KeyDownEvent ctrlReturn = press(KeyDownEvent::Key::returnKey, 36, ctrl);

// Monitors the test drives by hand; each live one hears the presses of its kind.
class FakeMonitors : public KeyMonitorFactory {
public:
    class Monitor : public KeyEventMonitor {
    public:
        Monitor(FakeMonitors& owner, bool global, KeyDownHandler handler)
            : owner(owner), global(global), handler(std::move(handler)) {
            owner.live(global).append(this);
        }
        ~Monitor() override { owner.live(global).removeOne(this); }

        FakeMonitors& owner;
        bool global;
        KeyDownHandler handler;
    };

    bool globalFails = false;
    bool localFails = false;
    QList<Monitor*> globals;
    QList<Monitor*> locals;

    QList<Monitor*>& live(bool global) { return global ? globals : locals; }

    std::unique_ptr<KeyEventMonitor> addGlobalMonitor(KeyDownHandler handler) override {
        return globalFails ? nullptr : std::make_unique<Monitor>(*this, true, std::move(handler));
    }
    std::unique_ptr<KeyEventMonitor> addLocalMonitor(KeyDownHandler handler) override {
        return localFails ? nullptr : std::make_unique<Monitor>(*this, false, std::move(handler));
    }

    void pressGlobal(const KeyDownEvent& event) {
        for (Monitor* monitor : QList<Monitor*>(globals)) {
            monitor->handler(event);
        }
    }
};

// Counts the key presses that reach it.
class KeyWindow : public QWindow {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override { keys.append(event->key()); }
};

enum class Toast { hidden, prompt, askMode, loading, success, error };

QStringList hotkeyLines() {
    return TestEnvironment::debugLogMessages(QStringLiteral("Hotkey: "));
}

} // namespace

Q_DECLARE_METATYPE(KeyDownEvent)
Q_DECLARE_METATYPE(Toast)

class GlobalHotkeyTest : public QObject, QueueRig {
    Q_OBJECT

    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<FakeMonitors> monitors;
    std::unique_ptr<GlobalHotkey> hotkey;

    void showToast(Toast toast) {
        switch (toast) {
        case Toast::hidden:
            break;
        case Toast::prompt:
            queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
            break;
        case Toast::askMode:
            settings->setTargetService(TargetServiceOption::askEachTime);
            queue->enqueueAskMode(spotifyLink, Platform::spotify);
            QVERIFY(queue->isAskMode());
            break;
        case Toast::loading:
            queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
            break;
        case Toast::success:
            api->conversion.delay = 0ms;
            queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
            QTRY_COMPARE(queue->toastState(), ToastState::success());
            break;
        case Toast::error:
            api->conversion.delay = 0ms;
            api->conversion.error = ScriptedSongLinkService::error(SongLinkError::rateLimited());
            queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
            QTRY_VERIFY(queue->toastState().isError());
            api->conversion.delay = 60s; // a retry stays converting
            break;
        }
    }

private slots:
    void init() {
        buildQueue(QStringLiteral("hotkey"));
        settings->setShowURLPreview(false);
        api->conversion.delay = 60s; // a confirmed conversion stays converting while the test looks
        // States under test stay put while the test looks at them.
        queue->setSuccessHoldForTesting(60s);
        accessibility = std::make_unique<Accessibility>(TestEnvironment::root() + QStringLiteral("/consent"));
        accessibility->forceTrusted(true);
        monitors = std::make_unique<FakeMonitors>();
        hotkey = std::make_unique<GlobalHotkey>(*queue, *accessibility, *monitors);
        TestEnvironment::clearDebugLog();
    }

    void cleanup() {
        hotkey.reset();
        monitors.reset();
        tearDownQueue();
        accessibility.reset();
        QCoreApplication::processEvents();
    }

    void registrationIsLogged_data() {
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<bool>("globalFails");
        QTest::addColumn<bool>("localFails");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("trusted") << true << false << false
                                 << QStringList{QStringLiteral("Hotkey: Accessibility trusted = true"),
                                                QStringLiteral("Hotkey: Global monitor registered = true"),
                                                QStringLiteral("Hotkey: Local monitor registered = true")};
        // Without trust the monitors are still installed; the global one stays silent.
        QTest::newRow("untrusted") << false << false << false
                                   << QStringList{QStringLiteral("Hotkey: Accessibility trusted = false"),
                                                  permissionLine,
                                                  QStringLiteral("Hotkey: Global monitor registered = true"),
                                                  QStringLiteral("Hotkey: Local monitor registered = true")};
        QTest::newRow("no global monitor")
            << true << true << false
            << QStringList{QStringLiteral("Hotkey: Accessibility trusted = true"),
                           QStringLiteral("Hotkey: Global monitor registered = false"),
                           QStringLiteral("Hotkey: Local monitor registered = true")};
        QTest::newRow("no local monitor")
            << false << false << true
            << QStringList{QStringLiteral("Hotkey: Accessibility trusted = false"), permissionLine,
                           QStringLiteral("Hotkey: Global monitor registered = true"),
                           QStringLiteral("Hotkey: Local monitor registered = false")};
    }

    void registrationIsLogged() {
        QFETCH(bool, trusted);
        QFETCH(bool, globalFails);
        QFETCH(bool, localFails);
        QFETCH(QStringList, lines);
        accessibility->forceTrusted(trusted);
        monitors->globalFails = globalFails;
        monitors->localFails = localFails;
        hotkey->registerHotkey();
        QCOMPARE(hotkeyLines(), lines);
        QCOMPARE(hotkey->hasGlobalMonitor(), !globalFails);
        QCOMPARE(hotkey->hasLocalMonitor(), !localFails);
    }

    void repeatedRegistrationReplacesTheMonitors() {
        hotkey->registerHotkey();
        hotkey->registerHotkey();
        hotkey->registerHotkey();
        QCOMPARE(monitors->globals.size(), 1);
        QCOMPARE(monitors->locals.size(), 1);
        showToast(Toast::prompt);
        TestEnvironment::clearDebugLog();
        monitors->pressGlobal(ctrlReturn);
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        QCoreApplication::processEvents();
        QCOMPARE(hotkeyLines().count(QStringLiteral("Hotkey: Triggering conversion")), 1);
        QCOMPARE(api->conversions, 1);
    }

    void unregisterRemovesBothAndIsSilent() {
        hotkey->unregisterHotkey(); // nothing registered: nothing happens
        QVERIFY(TestEnvironment::debugLogMessages().isEmpty());

        hotkey->registerHotkey();
        TestEnvironment::clearDebugLog();
        hotkey->unregisterHotkey();
        QVERIFY(monitors->globals.isEmpty());
        QVERIFY(monitors->locals.isEmpty());
        QVERIFY(!hotkey->hasGlobalMonitor());
        QVERIFY(!hotkey->hasLocalMonitor());
        hotkey->unregisterHotkey();
        QVERIFY(TestEnvironment::debugLogMessages().isEmpty());
    }

    void decision_data() {
        QTest::addColumn<KeyDownEvent>("event");
        QTest::addColumn<Toast>("toast");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("confirms");

        const auto keyLine = [](int code, bool cmd, bool visible) {
            return QStringLiteral("Hotkey: Key event - keyCode=%1, cmd=%2, toastVisible=%3")
                .arg(code)
                .arg(cmd ? QStringLiteral("true") : QStringLiteral("false"),
                     visible ? QStringLiteral("true") : QStringLiteral("false"));
        };
        const QString detected = QStringLiteral("Hotkey: Ctrl+Enter detected, toast visible");
        const QString triggering = QStringLiteral("Hotkey: Triggering conversion");
        using K = KeyDownEvent::Key;

        QTest::newRow("ctrl+Return, prompt")
            << ctrlReturn << Toast::prompt << QStringList{keyLine(36, true, true), detected, triggering}
            << true;
        QTest::newRow("ctrl+Return, no toast")
            << ctrlReturn << Toast::hidden << QStringList{keyLine(36, true, false)} << false;
        QTest::newRow("ctrl+shift+Return counts")
            << press(K::returnKey, 36, ctrl | shift) << Toast::prompt
            << QStringList{keyLine(36, true, true), detected, triggering} << true;
        QTest::newRow("other modifiers and caps lock are not looked at")
            << press(K::returnKey, 36,
                     ctrl | KeyDownEvent::mod1Mask | KeyDownEvent::mod4Mask | KeyDownEvent::lockMask)
            << Toast::prompt << QStringList{keyLine(36, true, true), detected, triggering} << true;
        QTest::newRow("Return alone")
            << press(K::returnKey, 36, 0) << Toast::prompt << QStringList{keyLine(36, false, true)} << false;
        QTest::newRow("shift+Return") << press(K::returnKey, 36, shift) << Toast::prompt
                                      << QStringList{keyLine(36, false, true)} << false;
        // Told by the key's symbol: another key code carrying Return still counts.
        QTest::newRow("Return on another key code")
            << press(K::returnKey, 200, ctrl) << Toast::prompt
            << QStringList{keyLine(200, true, true), detected, triggering} << true;
        QTest::newRow("ctrl+keypad Enter") << press(K::keypadEnter, 104, ctrl) << Toast::prompt
                                           << QStringList{keyLine(104, true, true)} << false;
        // Other keys are never written down.
        QTest::newRow("ctrl+a") << press(K::other, 38, ctrl) << Toast::prompt << QStringList{} << false;
        QTest::newRow("a letter while no toast")
            << press(K::other, 38, 0) << Toast::hidden << QStringList{} << false;
        QTest::newRow("ask mode")
            << ctrlReturn << Toast::askMode
            << QStringList{keyLine(36, true, true), detected,
                           QStringLiteral("Hotkey: Ask mode is active, ignoring keyboard shortcut")}
            << false;
        QTest::newRow("converting") << ctrlReturn << Toast::loading
                                    << QStringList{keyLine(36, true, true), detected} << false;
        QTest::newRow("success") << ctrlReturn << Toast::success
                                 << QStringList{keyLine(36, true, true), detected} << false;
        // Ctrl+Return is taken from the other programs while the toast offers Retry: it retries.
        QTest::newRow("error") << ctrlReturn << Toast::error
                               << QStringList{keyLine(36, true, true), detected,
                                              QStringLiteral("Hotkey: Retrying conversion")}
                               << true;
    }

    void decision() {
        QFETCH(KeyDownEvent, event);
        QFETCH(Toast, toast);
        QFETCH(QStringList, lines);
        QFETCH(bool, confirms);

        hotkey->registerHotkey();
        showToast(toast);
        const ToastState before = queue->toastState();
        const int conversionsBefore = api->conversions;
        TestEnvironment::clearDebugLog();

        monitors->pressGlobal(event);
        // The monitor's handler only schedules the decision.
        QVERIFY(hotkeyLines().isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(hotkeyLines(), lines);
        if (confirms) {
            QCOMPARE(queue->toastState(), ToastState::loading());
            QCOMPARE(api->conversions, conversionsBefore + 1);
        } else {
            QCOMPARE(queue->toastState(), before);
            QCOMPARE(api->conversions, conversionsBefore);
        }
    }

    void handlerOfAGoneHotkeyDoesNothing() {
        hotkey->registerHotkey();
        const KeyDownHandler handler = monitors->globals.front()->handler;
        showToast(Toast::prompt);
        hotkey.reset();
        TestEnvironment::clearDebugLog();
        handler(ctrlReturn);
        QCoreApplication::processEvents();
        QVERIFY(hotkeyLines().isEmpty());
        QCOMPARE(queue->toastState(), ToastState::prompt());
    }

    // Our own window: the press is decided once and still reaches the window.
    void localMonitorPassesThePressOn() {
        SystemKeyMonitorFactory system(*accessibility);
        accessibility->forceTrusted(false); // keeps the X recording out of this test
        GlobalHotkey real(*queue, *accessibility, system);
        real.registerHotkey();
        QVERIFY(real.hasLocalMonitor());

        KeyWindow window;
        window.resize(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        showToast(Toast::prompt);
        TestEnvironment::clearDebugLog();

        QTest::keyClick(&window, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
        QTest::keyClick(&window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier);
        // The test presses Ctrl itself before each key.
        QCOMPARE(window.keys, (QList<int>{Qt::Key_Control, Qt::Key_Enter, Qt::Key_Control, Qt::Key_A,
                                          Qt::Key_Control, Qt::Key_Return}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        QCoreApplication::processEvents();
        const QStringList lines = hotkeyLines();
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[0].endsWith(QLatin1String(", cmd=true, toastVisible=true")));
        QVERIFY(lines[1].endsWith(QLatin1String(", cmd=true, toastVisible=true")));
        QCOMPARE(lines[3], QStringLiteral("Hotkey: Triggering conversion"));
        QCOMPARE(api->conversions, 1);

        real.unregisterHotkey();
        TestEnvironment::clearDebugLog();
        QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier);
        QCoreApplication::processEvents();
        QVERIFY(hotkeyLines().isEmpty());
        QCOMPARE(window.keys.size(), 8);
    }
};

ONDARI_TEST_MAIN(GlobalHotkeyTest)
#include "tst_globalhotkey.moc"
