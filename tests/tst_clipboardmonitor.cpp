#include "ClipboardMonitor.h"
#include "QueueRig.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QSignalSpy>

namespace {
const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString appleLink = QStringLiteral("https://music.apple.com/us/song/what-we-worked-for/44733632");
const QString tidalLink = QStringLiteral("https://tidal.com/browse/track/11343638");
} // namespace

// The watcher with a controllable clipboard and a real queue whose conversions never end.
class ClipboardMonitorTest : public QObject, QueueRig {
    Q_OBJECT

    std::unique_ptr<ClipboardMonitor> monitor;

    // One tick plus the read's answer.
    void tick() {
        monitor->checkClipboard();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    void copyAndTick(std::optional<QString> text) {
        pasteboard->copy(std::move(text));
        tick();
    }

private slots:
    void init() {
        buildQueue(QStringLiteral("settings"));
        api->hangForever = true;
        monitor = std::make_unique<ClipboardMonitor>(*settings, *pasteboard, queue.get());
        queue->setProcessedLinkMemory(monitor.get());
        TestEnvironment::clearDebugLog();
    }

    void cleanup() {
        monitor.reset();
        tearDownQueue();
    }

    void contentOnClipboardAtStartIsNotProcessed() {
        pasteboard->copy(spotifyLink);
        monitor->startMonitoring();
        QCOMPARE(monitor->lastChangeCount(), pasteboard->changeCount());
        tick();
        QCOMPARE(pasteboard->reads, 1); // the start's own read: the tick reads nothing
        // Nor when its program quits and a clipboard manager keeps it; copied again, it counts.
        pasteboard->empty();
        pasteboard->copy(spotifyLink, true);
        tick();
        QVERIFY(!queue->currentRequest());
        const QStringList log = TestEnvironment::debugLogMessages();
        QCOMPARE(log.value(0), QStringLiteral("Started clipboard monitoring, initial changeCount: 1"));
        QCOMPARE(log.value(1), QStringLiteral("Timer added to main run loop"));

        copyAndTick(spotifyLink);
        QVERIFY(queue->currentRequest());
        QCOMPARE(queue->currentRequest()->sourceURL, spotifyLink);
    }

    void pollTimerDrivesChecks() {
        monitor->startMonitoring();
        pasteboard->copy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(queue->currentRequest().has_value(), 10000);
        monitor->stopMonitoring();
        QVERIFY(!monitor->isMonitoring());
    }

    void defaultModeEnqueuesForTheTarget() {
        monitor->startMonitoring();
        copyAndTick(QStringLiteral("listen to this ") + spotifyLink + QStringLiteral("?si=abc now"));
        QVERIFY(queue->currentRequest());
        QCOMPARE(queue->currentRequest()->sourceURL, spotifyLink);
        QCOMPARE(queue->currentRequest()->targetPlatform, Platform::appleMusic);
        QVERIFY(!queue->currentRequest()->autoConvert);
        QCOMPARE(monitor->detectedMusicURL(), spotifyLink);
        QCOMPARE(monitor->detectedPlatform(), Platform::spotify);
        const QStringList log = TestEnvironment::debugLogMessages();
        QVERIFY(log.contains(QStringLiteral("Clipboard changed, new changeCount: 1")));
        QVERIFY(log.contains(QStringLiteral("Found Spotify URL: ") + spotifyLink));
        QVERIFY(log.contains(QStringLiteral("Default mode: enqueuing URL for conversion to Apple Music")));
    }

    void repeatsAreHandledOnceUntilReset() {
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        copyAndTick(spotifyLink);
        QCOMPARE(queue->queueCount(), 0);
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Same URL as last processed, skipping")));

        // Closing the toast forgets the link: the same copy is converted again, but a clipboard
        // manager keeping it once its program quits brings nothing back.
        queue->dismiss();
        QVERIFY(!queue->currentRequest());
        pasteboard->empty();
        pasteboard->copy(spotifyLink, true);
        tick();
        QVERIFY(!queue->currentRequest());
        copyAndTick(spotifyLink);
        QVERIFY(queue->currentRequest());
    }

    // A manager taking over keeps only a copy the watcher has read: where the clipboard held
    // anything else since that read (the link copied again and gone unread, our result, a copy
    // made during the read), what it keeps is a new copy.
    void onlyACopyReadHereIsKept() {
        const auto keptAfterItsOwnerLeft = [this] {
            pasteboard->empty();
            pasteboard->copy(spotifyLink, true);
        };
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        queue->dismiss();

        // Copied again in a program closed before the next tick.
        pasteboard->copy(spotifyLink);
        keptAfterItsOwnerLeft();
        tick();
        QVERIFY(queue->currentRequest());
        queue->dismiss();
        keptAfterItsOwnerLeft(); // that copy was read: kept
        tick();
        QVERIFY(!queue->currentRequest());

        pasteboard->writeString(appleLink);
        monitor->markProcessed(appleLink);
        pasteboard->copy(spotifyLink);
        keptAfterItsOwnerLeft();
        tick();
        QVERIFY(queue->currentRequest());
        queue->dismiss();

        // The read follows the owner that took over under it.
        pasteboard->copy(spotifyLink);
        monitor->checkClipboard();
        keptAfterItsOwnerLeft();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(queue->currentRequest());
        QCOMPARE(TestEnvironment::debugLogMessages().count(
                     QStringLiteral("Clipboard kept after its owner left, same content, skipping")),
                 1);
    }

    void resetLeavesAnUnreadCopyToBeRead() {
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        // Nothing copied since: the content read already is not read again.
        monitor->resetLastProcessed();
        QVERIFY(!monitor->lastProcessedURL());
        tick();
        QCOMPARE(pasteboard->reads, 2);

        // A copy the watcher has not looked at yet survives the reset.
        pasteboard->copy(appleLink);
        const int seen = monitor->lastChangeCount();
        monitor->resetLastProcessed();
        QCOMPARE(monitor->lastChangeCount(), seen);
        tick();
        QCOMPARE(pasteboard->reads, 3);
        QCOMPARE(monitor->lastProcessedURL(), appleLink);
    }

    void ownWriteIsNotPickedUpAgain() {
        monitor->startMonitoring();
        pasteboard->writeString(appleLink);
        monitor->markProcessed(appleLink);
        tick();
        QCOMPARE(pasteboard->reads, 1);
        copyAndTick(appleLink);
        QCOMPARE(pasteboard->reads, 2);
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Same URL as last processed, skipping")));
        QVERIFY(!queue->currentRequest());

        // A copy not read yet when our write comes: the count is not taken over, so the next
        // tick still looks at the clipboard.
        pasteboard->copy(tidalLink);
        pasteboard->writeString(spotifyLink);
        monitor->markProcessed(spotifyLink);
        QCOMPARE(monitor->lastChangeCount(), pasteboard->changeCount() - 2);
        tick();
        QCOMPARE(pasteboard->reads, 3);
    }

    // Automatic mode: what the user copies while a conversion runs is newer than its result,
    // which therefore is not written; the copy stays and is the next thing read.
    void copyDuringAConversionIsKeptAndReadNext_data() {
        QTest::addColumn<QString>("copied");
        QTest::addColumn<bool>("isLink");
        QTest::newRow("text") << QStringLiteral("Meeting notes") << false;
        QTest::newRow("another link") << appleLink << true;
    }

    void copyDuringAConversionIsKeptAndReadNext() {
        QFETCH(QString, copied);
        QFETCH(bool, isLink);
        using namespace std::chrono_literals;
        api->hangForever = false;
        api->conversion.delay = 100ms;
        queue->setSuccessHoldForTesting(50ms);
        settings->setConversionMode(ConversionMode::automatic);
        settings->setIsBidirectional(true);
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        QCOMPARE(queue->toastState(), ToastState::loading());

        pasteboard->copy(copied); // before the next tick
        QTRY_VERIFY(!queue->currentRequest());
        QCOMPARE(pasteboard->writes, 0);
        QCOMPARE(pasteboard->text(), copied);
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Queue: Clipboard changed during conversion, result not written")));

        tick();
        QCOMPARE(pasteboard->reads, 4); // the queue's look at the clipboard, then the watcher's
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Clipboard content: ") +
            (isLink ? copied + QStringLiteral("...") : QStringLiteral("13 characters"))));
        if (isLink) {
            // Converted in its turn, with nothing copied meanwhile: its result is written.
            QCOMPARE(queue->currentRequest()->sourceURL, appleLink);
            QTRY_COMPARE(pasteboard->writes, 1);
            QCOMPARE(pasteboard->text(), api->conversionResult.targetURL);
            tick();
            QCOMPARE(pasteboard->reads, 4); // our own write is not read back
        } else {
            QVERIFY(!queue->currentRequest());
        }
    }

    void lengthLimitCountsCharacters_data() {
        QTest::addColumn<QString>("filler");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("2000 letters") << QStringLiteral("a") << 2000 << true;
        QTest::newRow("2001 letters") << QStringLiteral("a") << 2001 << false;
        // Emoji take two UTF-16 units each but count as one character.
        QTest::newRow("2000 emoji") << QStringLiteral("\U0001F3B5") << 2000 << true;
        QTest::newRow("2001 emoji") << QStringLiteral("\U0001F3B5") << 2001 << false;
    }

    void lengthLimitCountsCharacters() {
        QFETCH(QString, filler);
        QFETCH(int, count);
        QFETCH(bool, accepted);
        const QString link = spotifyLink + QLatin1Char(' ');
        QString text = link;
        while (text.size() < link.size() + (count - link.size()) * filler.size()) {
            text += filler;
        }
        monitor->startMonitoring();
        copyAndTick(text);
        const QStringList log = TestEnvironment::debugLogMessages();
        QCOMPARE(queue->currentRequest().has_value(), accepted);
        QCOMPARE(log.contains(QStringLiteral("No string content in clipboard")), !accepted);
    }

    // The log is kept for good: of a copy without a track link (a password, a message) it
    // holds only the length; of a copy with one, the link alone, never the text around it.
    void contentLogLineQuotesOnlyLinks() {
        monitor->startMonitoring();
        const QString secret = QStringLiteral("hunter2 \U0001F511 e\u0301\nnotes");
        copyAndTick(secret);
        copyAndTick(QStringLiteral("Anna, my new address is 12 Hauptstr, Berlin; pw hunter3 -- ") +
                    spotifyLink + QStringLiteral(" (new track!)"));
        const QStringList log = TestEnvironment::debugLogMessages();
        QVERIFY(log.contains(QStringLiteral("Clipboard content: 17 characters")));
        QVERIFY(log.contains(QStringLiteral("No music track URL found")));
        QVERIFY(log.contains(QStringLiteral("Clipboard content: ") + spotifyLink + QStringLiteral("...")));
        QFile file(TestEnvironment::debugLogPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        for (const char* kept : {"hunter2", "hunter3", "Hauptstr", "new track"}) {
            QVERIFY2(!written.contains(kept), kept);
        }
    }

    void disabledIgnoresCopiesAndCatchesUpOnceReenabled() {
        monitor->startMonitoring();
        settings->setIsEnabled(false);
        copyAndTick(spotifyLink);
        QCOMPARE(pasteboard->reads, 1);
        copyAndTick(appleLink);
        settings->setIsEnabled(true);
        tick();
        QCOMPARE(pasteboard->reads, 2);
        QCOMPARE(queue->currentRequest()->sourceURL, appleLink);
        tick();
        QCOMPARE(pasteboard->reads, 2);
    }

    void silentModeKeepsTheLatestPendingLink() {
        settings->setConversionMode(ConversionMode::silent);
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        QCOMPARE(monitor->pendingMusicURL(), spotifyLink);
        QCOMPARE(monitor->pendingPlatform(), Platform::spotify);
        QVERIFY(!queue->currentRequest());
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Silent mode: stored pending URL for manual conversion")));

        copyAndTick(appleLink);
        QCOMPARE(monitor->pendingMusicURL(), appleLink);

        // An excluded service leaves the pending link in place...
        copyAndTick(tidalLink);
        QCOMPARE(monitor->pendingMusicURL(), appleLink);
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Platform Tidal not valid for current settings, ignoring")));

        // ...a text without a link, or no text at all, clears it.
        copyAndTick(QStringLiteral("hello"));
        QVERIFY(!monitor->pendingMusicURL());
        QVERIFY(!monitor->pendingPlatform());
        copyAndTick(spotifyLink + QStringLiteral("?si=1"));
        QVERIFY(monitor->pendingMusicURL());
        copyAndTick(std::nullopt);
        QVERIFY(!monitor->pendingMusicURL());
    }

    void pendingLinkConvertsFromTheMenu() {
        settings->setConversionMode(ConversionMode::silent);
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        monitor->convertPendingURL();
        QVERIFY(!monitor->pendingMusicURL());
        QVERIFY(queue->currentRequest());
        QVERIFY(queue->currentRequest()->autoConvert);
        QCOMPARE(queue->currentRequest()->targetPlatform, Platform::appleMusic);

        copyAndTick(appleLink);
        monitor->convertPendingURL(Platform::tidal);
        QVERIFY(!monitor->pendingMusicURL());
        QCOMPARE(queue->queueCount(), 1);

        // Nothing pending: nothing happens.
        monitor->convertPendingURL();
        monitor->convertPendingURL(Platform::tidal);
        QCOMPARE(queue->queueCount(), 1);
    }

    void pendingLinkWithoutTargetIsDropped() {
        settings->setConversionMode(ConversionMode::silent);
        settings->setIsBidirectional(true);
        monitor->startMonitoring();
        copyAndTick(appleLink);
        settings->setIsBidirectional(false);
        monitor->convertPendingURL();
        QVERIFY(!monitor->pendingMusicURL());
        QVERIFY(!queue->currentRequest());
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("No target platform for Apple Music in current settings")));
    }

    void modesAndTargets_data() {
        QTest::addColumn<ConversionMode>("mode");
        QTest::addColumn<TargetServiceOption>("target");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("askMode");
        QTest::addColumn<bool>("universal");
        QTest::addColumn<bool>("autoConvert");
        QTest::newRow("default universal")
            << ConversionMode::default_ << TargetServiceOption::universalLink
            << "Default mode: enqueuing URL for universal link conversion" << false << true << false;
        QTest::newRow("automatic universal")
            << ConversionMode::automatic << TargetServiceOption::universalLink
            << "Automatic mode: enqueuing URL for universal link auto-conversion" << false << true << true;
        QTest::newRow("default ask") << ConversionMode::default_ << TargetServiceOption::askEachTime
                                     << "Default mode (Ask Each Time): enqueuing URL for user selection"
                                     << true << false << false;
        // Ask mode never converts on its own, even in automatic mode.
        QTest::newRow("automatic ask")
            << ConversionMode::automatic << TargetServiceOption::askEachTime
            << "Automatic mode (Ask Each Time): enqueuing URL for user selection" << true << false << false;
        QTest::newRow("automatic service")
            << ConversionMode::automatic << TargetServiceOption::youtubeMusic
            << "Automatic mode: enqueuing URL for auto-conversion to YouTube Music" << false << false << true;
    }

    void modesAndTargets() {
        QFETCH(ConversionMode, mode);
        QFETCH(TargetServiceOption, target);
        QFETCH(QString, line);
        QFETCH(bool, askMode);
        QFETCH(bool, universal);
        QFETCH(bool, autoConvert);
        settings->setConversionMode(mode);
        settings->setTargetService(target);
        monitor->startMonitoring();
        copyAndTick(spotifyLink);
        QVERIFY(TestEnvironment::debugLogMessages().contains(line));
        QVERIFY(queue->currentRequest());
        QCOMPARE(queue->isAskMode(), askMode);
        QCOMPARE(queue->currentRequest()->isUniversalLink, universal);
        QCOMPARE(queue->currentRequest()->autoConvert, autoConvert);
    }

    void stuckReadBlocksUntilTheGuardEnds() {
        monitor->setReadTimeoutForTesting(200);
        monitor->startMonitoring();
        pasteboard->hangReads = true;
        copyAndTick(spotifyLink);
        QVERIFY(monitor->isReadingClipboard());
        QTest::qWait(250);
        tick(); // the guard is over, but nothing changed since the read began: nothing happens
        QCOMPARE(pasteboard->reads, 2);
        QVERIFY(monitor->isReadingClipboard());

        // A change during a running read waits for it...
        pasteboard->hangReads = false;
        pasteboard->copy(appleLink);
        monitor->setReadTimeoutForTesting(60000);
        tick();
        QCOMPARE(pasteboard->reads, 2);
        // ...and is taken up by the first tick after the guard.
        monitor->setReadTimeoutForTesting(200);
        tick();
        QCOMPARE(pasteboard->reads, 3);
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Clipboard read timeout, resetting flag")));
        QCOMPARE(queue->currentRequest()->sourceURL, appleLink);
    }

    void resultOfAGoneWatcherIsDropped() {
        monitor->startMonitoring();
        pasteboard->copy(spotifyLink);
        monitor->checkClipboard();
        monitor.reset();
        QCoreApplication::processEvents();
        QVERIFY(!queue->currentRequest());
    }
};

ONDARI_TEST_MAIN(ClipboardMonitorTest)
#include "tst_clipboardmonitor.moc"
