#include "Accessibility.h"
#include "GlobalHotkey.h"
#include "KeyEventMonitor.h"
#include "QueueRig.h"
#include "TestEnvironment.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QRasterWindow>
#include <QScopeGuard>

#include <xcb/xcb.h>

using namespace std::chrono_literals;

namespace {

// Xlib is used from the recording thread: prepared before the application opens its display.
[[maybe_unused]] const bool xThreadsReady = (initKeyObservationThreads(), true);

const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");

// The system's monitors, with a handle on the global one to wait for its recording.
class WatchedMonitors : public KeyMonitorFactory {
public:
    explicit WatchedMonitors(Accessibility& accessibility) : system(accessibility) {}

    std::unique_ptr<KeyEventMonitor> addGlobalMonitor(KeyDownHandler handler) override {
        std::unique_ptr<KeyEventMonitor> monitor = system.addGlobalMonitor(std::move(handler));
        global = qobject_cast<GlobalKeyEventMonitor*>(monitor.get());
        return monitor;
    }
    std::unique_ptr<KeyEventMonitor> addLocalMonitor(KeyDownHandler handler) override {
        return system.addLocalMonitor(std::move(handler));
    }

    SystemKeyMonitorFactory system;
    QPointer<GlobalKeyEventMonitor> global;
};

// Another program with a window of its own that reports the keys it receives.
class Witness {
public:
    Witness() {
        m_process.setProgram(QStringLiteral(ONDARI_KEY_WITNESS));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
    }
    ~Witness() {
        m_process.kill();
        m_process.waitForFinished(2000);
    }

    // The lines it printed so far.
    QStringList lines() {
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList keys() { return lines().filter(QRegularExpression(QStringLiteral("^key "))); }
    QString windowId() {
        const QStringList ready = lines().filter(QRegularExpression(QStringLiteral("^ready ")));
        return ready.isEmpty() ? QString() : ready.front().mid(6);
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

class KeyWindow : public QRasterWindow {
public:
    QStringList keys;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), Qt::darkMagenta);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Control) {
            return;
        }
        keys.append(QKeySequence(event->key() | event->modifiers()).toString());
    }
};

bool xdotool(const QStringList& arguments) {
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

QStringList hotkeyLines() {
    return TestEnvironment::debugLogMessages(QStringLiteral("Hotkey: "));
}

} // namespace

class GlobalHotkeyX11Test : public QObject, QueueRig {
    Q_OBJECT

    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<WatchedMonitors> monitors;
    std::unique_ptr<GlobalHotkey> hotkey;

    void showPrompt() {
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        TestEnvironment::clearDebugLog();
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
    }

    void init() {
        buildQueue(QStringLiteral("hotkey-x11"));
        settings->setShowURLPreview(false);
        api->conversion.delay = 60s; // stays converting while the test looks
        accessibility = std::make_unique<Accessibility>(TestEnvironment::root() + QStringLiteral("/consent"));
        accessibility->forceTrusted(true);
        monitors = std::make_unique<WatchedMonitors>(*accessibility);
        hotkey = std::make_unique<GlobalHotkey>(*queue, *accessibility, *monitors);
        hotkey->registerHotkey();
        QVERIFY(monitors->global);
        QTRY_VERIFY(monitors->global->isObserving());
    }

    void cleanup() {
        hotkey.reset();
        monitors.reset();
        tearDownQueue();
        accessibility.reset();
        QCoreApplication::processEvents();
    }

    // Ctrl+Return is ours alone while the prompt shows (it would otherwise also send the mail the
    // link was copied from); before and after, the other program gets it as every other key.
    void shortcutTypedIntoAnotherProgramConfirmsThePrompt() {
        Witness witness;
        QTRY_VERIFY(!witness.windowId().isEmpty());
        QVERIFY(xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), witness.windowId()}));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(witness.keys(), QStringList{QStringLiteral("key Return ctrl")});
        QTRY_VERIFY(hotkeyLines().contains(
            QStringLiteral("Hotkey: Key event - keyCode=36, cmd=true, toastVisible=false")));
        showPrompt();
        QTRY_VERIFY(monitors->global->holdsControlReturn());

        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("a"), QStringLiteral("ctrl+KP_Enter"),
                         QStringLiteral("Return"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        QTRY_COMPARE(witness.keys(),
                     (QStringList{QStringLiteral("key Return ctrl"), QStringLiteral("key A none"),
                                  QStringLiteral("key Enter ctrl"), QStringLiteral("key Return none")}));
        QCoreApplication::processEvents();
        QCOMPARE(hotkeyLines(),
                 (QStringList{
                     QStringLiteral("Hotkey: Key event - keyCode=104, cmd=true, toastVisible=true"),
                     QStringLiteral("Hotkey: Key event - keyCode=36, cmd=false, toastVisible=true"),
                     QStringLiteral("Hotkey: Key event - keyCode=36, cmd=true, toastVisible=true"),
                     QStringLiteral("Hotkey: Ctrl+Enter detected, toast visible"),
                     QStringLiteral("Hotkey: Triggering conversion"),
                 }));
        QCOMPARE(api->conversions, 1);

        // Converting: the key is given back.
        QTRY_VERIFY(!monitors->global->holdsControlReturn());
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(witness.keys().size(), 5);
        QCOMPARE(witness.keys().last(), QStringLiteral("key Return ctrl"));
        QCOMPARE(api->conversions, 1);
    }

    // Another program holding Ctrl+Return keeps it: the shortcut works as without the grab, and
    // the refusal is written down once.
    void keyHeldElsewhereStillConverts() {
        xcb_connection_t* other = xcb_connect(nullptr, nullptr);
        QVERIFY(!xcb_connection_has_error(other));
        const auto disconnect = qScopeGuard([other] { xcb_disconnect(other); });
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
        QVERIFY(!xcb_request_check(other, xcb_grab_key_checked(other, 0, root, XCB_MOD_MASK_CONTROL, 36,
                                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        const QString refused = QStringLiteral(
            "Hotkey: Ctrl+Return is held by another program; it also reaches the focused program");
        for (int round = 0; round < 2; ++round) {
            queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
            QTRY_VERIFY(hotkeyLines().contains(refused));
            QVERIFY(!monitors->global->holdsControlReturn());
            QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
            QTRY_COMPARE(queue->toastState(), ToastState::loading());
            QCOMPARE(api->conversions, round + 1);
            queue->dismiss();
        }
        QCOMPARE(hotkeyLines().count(refused), 1);
    }

    void observationFollowsTheAccessibilityAnswer() {
        Witness witness;
        QTRY_VERIFY(!witness.windowId().isEmpty());
        QVERIFY(xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), witness.windowId()}));
        showPrompt();

        accessibility->forceTrusted(false);
        QVERIFY(!monitors->global->isObserving());
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(witness.keys().size(), 1);
        QTest::qWait(100);
        QVERIFY(hotkeyLines().isEmpty());
        QCOMPARE(queue->toastState(), ToastState::prompt());

        accessibility->forceTrusted(true);
        QTRY_VERIFY(monitors->global->isObserving());
        QTRY_VERIFY(monitors->global->holdsControlReturn());
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        QCOMPARE(witness.keys().size(), 1);
    }

    // Taken from our own window too, and handled once.
    void pressInOurOwnWindowIsHandledOnce() {
        KeyWindow window;
        window.resize(160, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(xdotool(
            {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window.winId())}));
        QTRY_COMPARE(QGuiApplication::focusWindow(), &window);
        showPrompt();
        QTRY_VERIFY(monitors->global->holdsControlReturn());

        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        // Time for the recorded copy of the press to arrive, and be left alone.
        QTest::qWait(150);
        QCOMPARE(hotkeyLines(),
                 (QStringList{
                     QStringLiteral("Hotkey: Key event - keyCode=36, cmd=true, toastVisible=true"),
                     QStringLiteral("Hotkey: Ctrl+Enter detected, toast visible"),
                     QStringLiteral("Hotkey: Triggering conversion"),
                 }));
        QCOMPARE(api->conversions, 1);
        QVERIFY(window.keys.isEmpty());
    }

    // Qt hears of the lost focus only later; the press belongs to the program that has it now.
    void pressRightAfterLeavingOurWindowCounts() {
        Witness witness;
        KeyWindow window;
        window.resize(160, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(xdotool(
            {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(window.winId())}));
        QTRY_COMPARE(QGuiApplication::focusWindow(), &window);
        QTRY_VERIFY(!witness.windowId().isEmpty());
        showPrompt();
        QTRY_VERIFY(monitors->global->holdsControlReturn());

        // Both run while this thread waits, so Qt still counts our window as focused.
        QVERIFY(xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), witness.windowId()}));
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return")}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        QVERIFY(witness.keys().isEmpty());
        QVERIFY(window.keys.isEmpty());
    }

    // Num Lock moved to another modifier while observing, and switched on: Ctrl+Return is still
    // ours alone while the prompt shows.
    void numLockOnAnotherModifierAfterAMappingChange() {
        const auto xmodmap = [](const QString& remove, const QString& add) {
            return QProcess::execute(QStringLiteral("xmodmap"),
                                     {QStringLiteral("-e"), QStringLiteral("clear ") + remove,
                                      QStringLiteral("-e"), QStringLiteral("add %1 = Num_Lock").arg(add)}) ==
                   0;
        };
        Witness witness;
        QTRY_VERIFY(!witness.windowId().isEmpty());
        QVERIFY(xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), witness.windowId()}));
        QVERIFY(xmodmap(QStringLiteral("mod2"), QStringLiteral("mod3")));
        const auto restore = qScopeGuard([&] {
            xdotool({QStringLiteral("key"), QStringLiteral("Num_Lock")});
            xmodmap(QStringLiteral("mod3"), QStringLiteral("mod2"));
        });
        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Num_Lock")}));
        showPrompt();
        QTRY_VERIFY(monitors->global->holdsControlReturn());

        QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("ctrl+Return"), QStringLiteral("a")}));
        QTRY_COMPARE(queue->toastState(), ToastState::loading());
        // The witness gets what follows, so a press that reached it would show before.
        QTRY_VERIFY(witness.keys().contains(QStringLiteral("key A none")));
        QVERIFY2(!witness.keys().join(QLatin1Char(',')).contains(QStringLiteral("Return")),
                 qPrintable(witness.keys().join(QLatin1Char(','))));
    }
};

ONDARI_TEST_MAIN(GlobalHotkeyX11Test)
#include "tst_globalhotkey_x11.moc"
