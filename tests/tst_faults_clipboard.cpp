#include "FakeSelectionOwner.h"
#include "RoadRig.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>

#include <xcb/xcb.h>

using namespace std::chrono_literals;

namespace {

const QString healthyId = QStringLiteral("3AfterTheFault000000C");

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes) {
        byte = char(generator.bounded(256));
    }
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(ConversionMode)

// Other programs putting strange things on the clipboard, or getting stuck on it: the program
// stays responsive, shows nothing for them, keeps secrets out of its log, and still sees the
// next link that is copied.
class FaultsClipboardTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Road> road;
    QList<QPointer<QProcess>> copiers;
    std::unique_ptr<FakeSelectionOwner> owner;

    QProcess* copy(const QByteArray& content, const QStringList& extra = {}) {
        QProcess* xclip = OtherProgram::copy(this, content, extra);
        copiers.append(xclip);
        return xclip;
    }

    void startRoad() {
        road = std::make_unique<Road>(QString::fromLatin1(QTest::currentTestFunction()));
        // Default mode: a link the program takes up shows as a prompt and stays there.
        road->settings->setConversionMode(ConversionMode::default_);
        road->settings->setToastTimeout(30);
        road->server.setDefaultAnswer(
            FakeSongLinkServer::Answer::withStatus(200, syntheticAnswer(healthyId)));
        road->monitor->startMonitoring();
    }

    static QString enqueued(const QString& link) {
        return QStringLiteral("Queue: Enqueuing: %1 (Spotify -> Apple Music), autoConvert: false").arg(link);
    }

    // A link copied while conversion is off, so that the first look at it comes after its owner
    // was stopped: it owns the clipboard and answers until then.
    void copyAndStopItsOwner() {
        road->settings->setIsEnabled(false);
        const int before = road->pasteboard->changeCount();
        QProcess* stuck = copy(spotifyLink(QStringLiteral("4NeverAnswered0000000D")).toUtf8());
        QVERIFY(stuck);
        QTRY_COMPARE(road->pasteboard->changeCount(), before + 1);
        QCOMPARE(OtherProgram::paste(), spotifyLink(QStringLiteral("4NeverAnswered0000000D")));
        const pid_t stuckPid = pid_t(stuck->processId());
        QVERIFY(stuckPid > 0); // never 0: that would stop the whole process group
        QCOMPARE(::kill(stuckPid, SIGSTOP), 0);
    }

    // A link copied after the fault comes up in the toast, once.
    void expectNextCopySeen() {
        const QString link = spotifyLink(healthyId);
        QVERIFY(copy(link.toUtf8()));
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("prompt"), 10000);
        QCOMPARE(road->queue->currentRequest()->sourceURL, link);
        QTest::qWait(600);
        QCOMPARE(RoadLog::count(enqueued(link)), 1);
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty());
    }

    void cleanup() {
        road.reset();
        if (owner) {
            // Qt's notices come back with the reader gone; a round trip on Qt's connection makes
            // sure the server has them on before the owner leaves (on a busy machine it may not).
            xcb_connection_t* qt =
                qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
            std::free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
            // Qt's notice of the owner leaving belongs here, not to the next test's clipboard.
            QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::changed);
            owner.reset();
            QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 5000);
        }
        OtherProgram::endAll(copiers);
    }

    void stoppedOwnerIsGivenUpAndTheNextCopySeen() {
        startRoad();
        copyAndStopItsOwner();
        if (QTest::currentTestFailed()) {
            return;
        }

        StallMeter stalls;
        stalls.start();
        QElapsedTimer clock;
        clock.start();
        road->settings->setIsEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(road->monitor->isReadingClipboard(), 10000);
        QTest::qWait(1000);
        QCOMPARE(road->shown(), QStringLiteral("hidden")); // nothing to show meanwhile
        // Given up at its deadline, never before; a busy machine may only make that later.
        QTRY_COMPARE_WITH_TIMEOUT(RoadLog::count(QStringLiteral("No string content in clipboard")), 1, 30000);
        const qint64 givenUpAfter = clock.elapsed();
        stalls.stop();
        qInfo("the read was given up after %lld ms; longest stall %lld ms", givenUpAfter,
              stalls.longestGapMs());
        QVERIFY2(givenUpAfter >= 5000, qPrintable(QString::number(givenUpAfter)));
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));

        // The next copy is taken up.
        const QString link = spotifyLink(healthyId);
        QVERIFY(copy(link.toUtf8()));
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("prompt"), 10000);
        QCOMPARE(road->queue->currentRequest()->sourceURL, link);
        QCOMPARE(RoadLog::startingWith(QStringLiteral("Queue: Enqueuing")), QStringList{enqueued(link)});
        QTest::qWait(600);
        QCOMPARE(RoadLog::count(enqueued(link)), 1);
        QCOMPARE(RoadLog::count(QStringLiteral("No string content in clipboard")), 1);
    }

    // A copy made while a stopped owner's copy is read ends that read at once: the new copy is
    // read instead of the stopped one's deadline being waited out.
    void copyDuringAStuckReadIsReadAtOnce() {
        startRoad();
        copyAndStopItsOwner();
        if (QTest::currentTestFailed()) {
            return;
        }
        road->settings->setIsEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(road->monitor->isReadingClipboard(), 10000);

        const QString link = spotifyLink(healthyId);
        QVERIFY(copy(link.toUtf8()));
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("prompt"), 20000);
        QCOMPARE(road->queue->currentRequest()->sourceURL, link);
        // Not after the stuck read's deadline: that read was never given up.
        QCOMPARE(RoadLog::count(QStringLiteral("No string content in clipboard")), 0);
    }

    void hundredMegabytesNeverStallTheGuiThread() {
        startRoad();
        const QString path = TestEnvironment::root() + QStringLiteral("/hundred-megabytes.txt");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            // A link at the very start: were the text read at all, it would be found.
            file.write(spotifyLink(QStringLiteral("5HundredMegabytes0000E")).toUtf8() + ' ');
            const QByteArray block(1024 * 1024, 'x');
            for (int i = 0; i < 100; ++i) {
                file.write(block);
            }
        }
        StallMeter stalls;
        stalls.start();
        const int before = road->pasteboard->changeCount();
        QProcess* big = copy({}, {QStringLiteral("-i"), path});
        QVERIFY(big);
        QTRY_COMPARE_WITH_TIMEOUT(road->pasteboard->changeCount(), before + 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(RoadLog::count(QStringLiteral("No string content in clipboard")), 1, 10000);
        // While it stays on the clipboard, and its owner hands over all of it to nobody.
        QTest::qWait(2000);
        stalls.stop();
        qInfo("longest stall of the GUI thread: %lld ms", stalls.longestGapMs());
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));
        QCOMPARE(road->shown(), QStringLiteral("hidden"));
        expectNextCopySeen();
        QFile::remove(path);
    }

    // Another client takes the clipboard a hundred thousand times in a burst: the GUI thread is
    // never kept from its event loop for long, and the next copy converts as usual.
    void ownerStormNeverStallsAndTheNextCopyConverts() {
        startRoad();
        road->settings->setConversionMode(ConversionMode::automatic);
        const int before = road->pasteboard->changeCount();
        QProcess storm;
        storm.start(QStringLiteral(OWNER_STORM), {QStringLiteral("100000")});
        QVERIFY(storm.waitForStarted(2000));
        QByteArray said;
        QTRY_VERIFY((said += storm.readAllStandardOutput()).startsWith("ready"));
        StallMeter stalls;
        stalls.start();
        storm.write("go\n");
        QTRY_VERIFY_WITH_TIMEOUT((said += storm.readAllStandardOutput()).contains("done"), 10000);
        // Counted, and its content (none it gives out) looked at once.
        QTRY_VERIFY_WITH_TIMEOUT(road->pasteboard->changeCount() > before, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(RoadLog::count(QStringLiteral("No string content in clipboard")), 1, 15000);
        QTest::qWait(600);
        stalls.stop();
        qInfo("%d owner changes counted; longest stall of the GUI thread: %lld ms",
              road->pasteboard->changeCount() - before, stalls.longestGapMs());
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));

        stalls.start();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(copy(spotifyLink(healthyId).toUtf8()));
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("success"), 20000);
        const qint64 converted = clock.elapsed();
        stalls.stop();
        // A poll, a read and an answer; the storm once held the GUI thread for seconds, which the
        // stall meter sees however slow the machine is.
        qInfo("the next copy converted after %lld ms", converted);
        QCOMPARE(OtherProgram::paste(), convertedLink(healthyId));
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));
        storm.closeWriteChannel();
        QVERIFY(storm.waitForFinished(2000));
    }

    void binaryData_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("xclipArguments");
        QTest::addColumn<QString>("logged");
        const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + randomBytes(4096, 1);
        QTest::newRow("an image") << png << QStringList{QStringLiteral("-t"), QStringLiteral("image/png")}
                                  << QStringLiteral("No string content in clipboard");
        QTest::newRow("random bytes as text")
            << randomBytes(4096, 2) << QStringList{} << QStringLiteral("No string content in clipboard");
        QTest::newRow("random bytes as Latin-1")
            << randomBytes(1000, 3).replace('h', 'H')
            << QStringList{QStringLiteral("-t"), QStringLiteral("STRING")}
            << QStringLiteral("No music track URL found");
        // Under the 2000 characters a link may be found in.
        QTest::newRow("zero bytes") << QByteArray(1000, '\0') << QStringList{}
                                    << QStringLiteral("No music track URL found");
    }

    void binaryData() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, xclipArguments);
        QFETCH(QString, logged);
        startRoad();
        StallMeter stalls;
        stalls.start();
        QVERIFY(copy(content, xclipArguments));
        QTRY_COMPARE_WITH_TIMEOUT(RoadLog::count(logged), 1, 10000);
        QTest::qWait(600);
        stalls.stop();
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));
        QCOMPARE(road->shown(), QStringLiteral("hidden"));
        QCOMPARE(road->queue->currentRequest(), std::nullopt);
        expectNextCopySeen();
        QVERIFY(road->server.requests().isEmpty());
    }

    void passwordManagerSecretNeverReachesTheLog_data() {
        QTest::addColumn<ConversionMode>("mode");
        QTest::newRow("default mode") << ConversionMode::default_;
        QTest::newRow("automatic mode") << ConversionMode::automatic;
        QTest::newRow("silent mode") << ConversionMode::silent;
    }

    void passwordManagerSecretNeverReachesTheLog() {
        QFETCH(ConversionMode, mode);
        startRoad();
        road->settings->setConversionMode(mode);
        // Even a secret that holds a track link stays unread.
        const QByteArray secret = "hunter2-" + spotifyLink(QStringLiteral("6SecretTrack000000000F")).toUtf8();
        owner = std::make_unique<FakeSelectionOwner>(
            FakeSelectionOwner::Offers{{"UTF8_STRING", secret},
                                       {"text/plain;charset=utf-8", secret},
                                       {"x-kde-passwordManagerHint", "secret"}});
        const int before = road->pasteboard->changeCount();
        QVERIFY(owner->start());
        QTRY_COMPARE(road->pasteboard->changeCount(), before + 1);
        QTRY_COMPARE_WITH_TIMEOUT(RoadLog::count(QStringLiteral("No string content in clipboard")), 1, 10000);
        QTest::qWait(600);
        QCOMPARE(road->shown(), QStringLiteral("hidden"));
        QCOMPARE(road->monitor->pendingMusicURL(), std::nullopt);
        QVERIFY(road->server.requests().isEmpty());
        QVERIFY(owner->requested().contains("x-kde-passwordManagerHint"));
        QVERIFY(!owner->requested().contains("UTF8_STRING"));
        QVERIFY(!owner->requested().contains("text/plain;charset=utf-8"));

        QFile log(TestEnvironment::debugLogPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray written = log.readAll();
        QVERIFY(!written.isEmpty());
        QVERIFY(!written.contains("hunter2"));
        QVERIFY(!written.contains("6SecretTrack"));
    }
};

ONDARI_ROAD_TEST_MAIN(FaultsClipboardTest)
#include "tst_faults_clipboard.moc"
