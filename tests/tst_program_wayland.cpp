#include "FakeSongLinkServer.h"
#include "HeadlessCompositor.h"
#include "Pasteboard.h"
#include "TestEnvironment.h"
#include "ThreadTimer.h"
#include "WaylandDataControlClipboard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <csignal>
#include <optional>

namespace {
const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString recording = QStringLiteral("spotify-bum-bum-eis-de.json");
} // namespace

Q_DECLARE_METATYPE(HeadlessCompositor::Kind)

// The built program in a Wayland session, as a returning user meets it: one path through
// the data-control protocol (sway, as on KDE Plasma and wlroots desktops), one through
// XWayland's clipboard (mutter, as on GNOME). Its windows stay X11 windows on Xwayland.
class ProgramWaylandTest : public QObject {
    Q_OBJECT

    FakeSongLinkServer server;

    // Starts the program and waits for a line of its debug log; none when it never came.
    static bool startAndAwait(QProcess& program, const QProcessEnvironment& env, const QString& home,
                              const QString& line) {
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        if (!program.waitForStarted(5000)) {
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && program.state() == QProcess::Running) {
            if (debugLog(home).contains(line)) {
                return true;
            }
            QTest::qWait(50);
        }
        return false;
    }

    static QString debugLog(const QString& home) {
        QFile log(home + QStringLiteral("/ondari_debug.log"));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    static void end(QProcess& program) {
        program.terminate();
        if (!program.waitForFinished(5000)) {
            program.kill();
            program.waitForFinished();
        }
    }

private slots:
    void initTestCase() { server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording)); }

    void convertsFromTheSecondStart_data() {
        QTest::addColumn<HeadlessCompositor::Kind>("kind");
        QTest::newRow("data control (sway)") << HeadlessCompositor::Kind::sway;
        QTest::newRow("XWayland (mutter)") << HeadlessCompositor::Kind::mutter;
    }

    void convertsFromTheSecondStart() {
        QFETCH(HeadlessCompositor::Kind, kind);
        server.clearRequests();
        const QString dir = TestEnvironment::root() + QStringLiteral("/") + QTest::currentDataTag();
        HeadlessCompositor compositor(kind, dir + QStringLiteral("/session"));
        if (const QString why = compositor.start(); !why.isEmpty()) {
            QSKIP(qPrintable(why));
        }

        const QString home = dir + QStringLiteral("/home");
        QDir().mkpath(home + QStringLiteral("/.config/Ondari"));
        const QString settingsPath = home + QStringLiteral("/.config/Ondari/Ondari.conf");
        QFile settings(settingsPath);
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write(
            "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
            "hasMigratedServiceSettings=true\nshowURLPreview=false\n");
        settings.close();
        QProcessEnvironment env = compositor.clientEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        QDir().mkpath(home + QStringLiteral("/tmp"));
        env.insert(QStringLiteral("ONDARI_INSTANCE_ROOT"), home);
        env.insert(QStringLiteral("ONDARI_API_BASE_URL"), server.baseURL());

        // The first start shows the onboarding: the shortcut cannot be offered here.
        QProcess program;
        QVERIFY2(startAndAwait(program, env, home, QStringLiteral("Onboarding: Window shown")),
                 qPrintable(debugLog(home)));
        QVERIFY(
            debugLog(home).contains(QStringLiteral("Accessibility permission missing, showing onboarding")));
        end(program);

        // Its music page saved once, later starts convert at once, without the onboarding.
        QVERIFY(settings.open(QIODevice::Append));
        settings.write("hasCompletedOnboarding=true\n");
        settings.close();
        QFile::remove(home + QStringLiteral("/ondari_debug.log"));
        // The link held at the start is read there; its program quits once it has answered and
        // a clipboard manager keeps it at once: no copy. (mutter keeps copies itself, and its X11
        // clients see owners come but never leave: a kept copy is one more copy there.)
        const bool dataControl = kind == HeadlessCompositor::Kind::sway;
        QProcess holder;
        holder.setProcessEnvironment(compositor.clientEnvironment());
        if (dataControl) {
            holder.start(QStringLiteral("wl-copy"),
                         {QStringLiteral("--foreground"), QStringLiteral("--paste-once"),
                          QStringLiteral("--"), spotifyLink});
        }
        QVERIFY2(startAndAwait(program, env, home, QStringLiteral("AppController setup complete")),
                 qPrintable(debugLog(home)));
        if (dataControl) {
            QTRY_COMPARE_WITH_TIMEOUT(holder.state(), QProcess::NotRunning, 5000);
            QVERIFY(compositor.copy(spotifyLink.toUtf8()));
            QTest::qWait(1500);
            QCOMPARE(server.requests().size(), 0);
            QVERIFY(
                debugLog(home).contains(QStringLiteral("Clipboard kept after its owner left, same content")));
        }
        QVERIFY(debugLog(home).contains(
            QStringLiteral("Shortcut not available in this session, onboarding already completed")));

        // A link copied in a Wayland program, with no X11 window focused, comes back converted.
        const QString expected = QJsonDocument::fromJson(*FakeSongLinkServer::recordedBody(recording))
                                     .object()[QStringLiteral("linksByPlatform")]
                                              [QStringLiteral("appleMusic")][QStringLiteral("url")]
                                     .toString();
        QVERIFY2(compositor.copy(spotifyLink.toUtf8()), qPrintable(compositor.log()));
        QElapsedTimer clock;
        clock.start();
        QString pasted;
        while (clock.elapsed() < 10000) {
            pasted = compositor.paste();
            if (pasted == expected) {
                break;
            }
            QTest::qWait(100);
        }
        QCOMPARE(pasted, expected);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(!debugLog(home).contains(QStringLiteral("Onboarding: Window shown")));
        end(program);
    }

    // The data-control clipboard keeps the X11 reader's rules: a change per copy of another
    // program and none for our own write, UTF-8 text only, the size cap, the read deadline.
    void dataControlKeepsTheReaderRules() {
        HeadlessCompositor compositor(HeadlessCompositor::Kind::sway,
                                      TestEnvironment::root() + QStringLiteral("/rules"));
        if (const QString why = compositor.start(); !why.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        QVERIFY(compositor.copy("on the clipboard before the start"));
        const QProcessEnvironment env = compositor.clientEnvironment();
        qputenv("WAYLAND_DISPLAY", env.value(QStringLiteral("WAYLAND_DISPLAY")).toUtf8());
        int changes = 0;
        auto clipboard = WaylandDataControlClipboard::create([&changes] { ++changes; });
        qunsetenv("WAYLAND_DISPLAY");
        QVERIFY(clipboard);
        QObject context;
        const auto read = [&]() -> std::optional<QString> {
            std::optional<std::optional<QString>> answer;
            clipboard->read(
                &context, [&answer](const Pasteboard::Contents& c) { answer = c.string(); }, false);
            if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 7000)) {
                return QStringLiteral("(no answer)");
            }
            return *answer;
        };

        QTest::qWait(100);
        QCOMPARE(changes, 0);
        QCOMPARE(read(), QStringLiteral("on the clipboard before the start"));

        QVERIFY(compositor.copy(spotifyLink.toUtf8()));
        QTRY_COMPARE(changes, 1);
        QCOMPARE(read(), spotifyLink);

        // Our own write: no change, read back at once, seen by other programs.
        clipboard->write(QStringLiteral("ünïcode ♫"));
        QCOMPARE(read(), QStringLiteral("ünïcode ♫"));
        QCOMPARE(compositor.paste(), QStringLiteral("ünïcode ♫"));
        QTest::qWait(100);
        QCOMPARE(changes, 1);

        const QByteArray largest(Pasteboard::maxReadBytes, 'a');
        QVERIFY(compositor.copy(largest, QStringLiteral("text/plain;charset=utf-8")));
        QTRY_COMPARE(changes, 2);
        QCOMPARE(read(), QString::fromLatin1(largest));
        QVERIFY(compositor.copy(largest + 'a', QStringLiteral("text/plain;charset=utf-8")));
        QTRY_COMPARE(changes, 3);
        QCOMPARE(read(), std::nullopt);
        QVERIFY(compositor.copy("\xff\xfe not UTF-8", QStringLiteral("text/plain;charset=utf-8")));
        QTRY_COMPARE(changes, 4);
        QCOMPARE(read(), std::nullopt);
        QVERIFY(compositor.copy("\x89PNG", QStringLiteral("image/png")));
        QTRY_COMPARE(changes, 5);
        QCOMPARE(read(), std::nullopt);

        // An owner that never answers costs the read its deadline, not the GUI thread.
        QProcess stuck;
        stuck.setProcessEnvironment(env);
        stuck.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("stuck")});
        QVERIFY(stuck.waitForStarted());
        QTRY_COMPARE(changes, 6);
        ::kill(pid_t(stuck.processId()), SIGSTOP);
        QElapsedTimer clock;
        clock.start();
        StallMeter stalls;
        stalls.start();
        std::optional<std::optional<QString>> answer;
        clipboard->read(
            &context, [&answer](const Pasteboard::Contents& c) { answer = c.string(); }, false);
        QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 30000);
        stalls.stop();
        QCOMPARE(*answer, std::nullopt);
        QVERIFY2(clock.elapsed() >= Pasteboard::readTimeoutMs - 100,
                 qPrintable(QString::number(clock.elapsed())));
        // A read on the GUI thread would hold it for the whole deadline.
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));
        ::kill(pid_t(stuck.processId()), SIGKILL);
        stuck.waitForFinished();

        // The worker is free again.
        QVERIFY(compositor.copy("after the stuck owner"));
        QCOMPARE(read(), QStringLiteral("after the stuck owner"));
        QTRY_COMPARE(changes, 7);

        // An owner that quits leaves an empty clipboard; one that takes it over within the
        // keeper's window keeps that copy alive, one that comes later made a new copy. The
        // window is set here: a loaded machine only ever lengthens the gaps the test makes.
        clipboard->setKeeperDelay(60000);
        const auto contentsOf = [&](bool pinned) {
            std::optional<Pasteboard::Contents> answer;
            clipboard->read(
                &context, [&answer](const Pasteboard::Contents& c) { answer = c; }, pinned);
            [[maybe_unused]] const bool answered =
                QTest::qWaitFor([&answer] { return answer.has_value(); }, 7000);
            return answer.value_or(Pasteboard::Contents::of(Pasteboard::Contents::Kind::Newer, "(none)"));
        };
        QProcess leaving;
        leaving.setProcessEnvironment(env);
        leaving.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("kept")});
        QTRY_COMPARE(changes, 8);
        leaving.kill();
        leaving.waitForFinished();
        QTRY_COMPARE(contentsOf(false).kind, Pasteboard::Contents::Kind::NoOwner);
        QVERIFY(compositor.copy("kept"));
        QTRY_COMPARE(changes, 9);
        const Pasteboard::Contents kept = contentsOf(false);
        QCOMPARE(kept.string(), QStringLiteral("kept"));
        QVERIFY(kept.restored);
        clipboard->setKeeperDelay(20);
        leaving.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("again")});
        QTRY_COMPARE(changes, 10);
        leaving.kill();
        leaving.waitForFinished();
        QTRY_COMPARE(contentsOf(false).kind, Pasteboard::Contents::Kind::NoOwner);
        QTest::qWait(50);
        QVERIFY(compositor.copy("again"));
        QTRY_COMPARE(changes, 11);
        const Pasteboard::Contents again = contentsOf(false);
        QCOMPARE(again.string(), QStringLiteral("again"));
        QVERIFY(!again.restored);

        // A pinned read queued behind a stuck one never reads a copy made after it was asked for.
        stuck.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("stuck")});
        QVERIFY(stuck.waitForStarted());
        QTRY_COMPARE(changes, 12);
        ::kill(pid_t(stuck.processId()), SIGSTOP);
        clipboard->read(
            &context, [](const Pasteboard::Contents&) {}, false);
        std::optional<Pasteboard::Contents> pinned;
        clipboard->read(
            &context, [&pinned](const Pasteboard::Contents& c) { pinned = c; }, true);
        QVERIFY(compositor.copy("newer"));
        QTRY_COMPARE(changes, 13);
        ::kill(pid_t(stuck.processId()), SIGKILL);
        stuck.waitForFinished();
        QTRY_VERIFY(pinned.has_value());
        QCOMPARE(pinned->kind, Pasteboard::Contents::Kind::Newer);
    }
};

ONDARI_TEST_MAIN(ProgramWaylandTest)
#include "tst_program_wayland.moc"
