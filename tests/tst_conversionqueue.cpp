#include "QueueRig.h"
#include "SongLinkError.h"
#include "TestEnvironment.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <optional>
#include <stdexcept>
#include <tuple>

using namespace std::chrono_literals;

namespace {
const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString tidalLink = QStringLiteral("https://tidal.com/browse/track/11343638");
const QString ytLink = QStringLiteral("https://music.youtube.com/watch?v=eVTXPUF4Oz4");
const SongMetadata fetched{QStringLiteral("Fetched"), QStringLiteral("Artist"), std::nullopt,
                           QStringLiteral("spotify")};
const SongMetadata converted{QStringLiteral("From conversion"), QStringLiteral("Artist"), std::nullopt,
                             QStringLiteral("spotify")};
const SongMetadata onTarget{QStringLiteral("On target"), QStringLiteral("Artist"), std::nullopt,
                            QStringLiteral("appleMusic")};
constexpr int shortTimeoutMs = 200;
constexpr auto shortHold = 150ms;

// Returns once a timer started now has fired: every timer due earlier has fired by then, however
// late a busy machine runs the loop.
bool waitPast(std::chrono::milliseconds span) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    bool fired = false;
    QObject::connect(&timer, &QTimer::timeout, [&fired] { fired = true; });
    timer.start(span);
    return QTest::qWaitFor([&fired] { return fired; }, 60000);
}

// Two timers started with the success state bracket the hold: timers fire in the order they are
// due however late a busy machine runs the loop, so the order measures the hold, not wall time.
struct HoldBracket {
    QTimer before;
    QTimer after;
    std::optional<QUuid> held;
    ToastState stateBefore = ToastState::prompt(); // when the first timer fired
    std::optional<bool> endedBetween;              // the held request left between the two
    QString next;                                  // the request that came up then, empty for none
    QObject scope;

    HoldBracket(ConversionQueue& queue, std::chrono::milliseconds beforeEnd,
                std::chrono::milliseconds afterEnd) {
        for (auto [timer, due] : {std::pair{&before, beforeEnd}, std::pair{&after, afterEnd}}) {
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer);
            timer->setInterval(due);
        }
        QObject::connect(&before, &QTimer::timeout, &scope,
                         [this, &queue] { stateBefore = queue.toastState(); });
        QObject::connect(&queue, &ConversionQueue::toastStateChanged, &scope, [this, &queue] {
            if (!held && queue.toastState() == ToastState::success()) {
                held = queue.currentRequest()->id;
                before.start();
                after.start();
            }
        });
        QObject::connect(&queue, &ConversionQueue::currentRequestChanged, &scope, [this, &queue] {
            const auto& now = queue.currentRequest();
            if (held && !endedBetween && (!now || now->id != *held)) {
                endedBetween = !before.isActive() && after.isActive();
                next = now ? now->sourceURL : QString();
            }
        });
    }
};
} // namespace

class ConversionQueueTest : public QObject, QueueRig {
    Q_OBJECT

    bool logContains(const QString& line) const { return TestEnvironment::debugLogMessages().contains(line); }

    // What another program leaves on the clipboard besides text, for the data rows.
    const QString emptied = QStringLiteral("(its owner left, nothing kept it)");
    const QString image = QStringLiteral("(an image)");

private slots:
    void init() {
        buildQueue(QStringLiteral("queue"));
        settings->setToastTimeout(shortTimeoutMs / 1000.0);
        settings->setShowURLPreview(false);
        api->conversion.delay = 20ms;
        api->metadata.delay = 20ms;
        queue->setSuccessHoldForTesting(shortHold);
        TestEnvironment::clearDebugLog();
    }

    void cleanup() {
        tearDownQueue();
        QCoreApplication::processEvents();
    }

    void requestsComeUpInOrder() {
        QSignalSpy visible(queue.get(), &ConversionQueue::isToastVisibleChanged);
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QCOMPARE(queue->currentRequest()->sourceURL, spotifyLink);
        QCOMPARE(queue->queueCount(), 0);
        QVERIFY(queue->isToastVisible());
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QVERIFY(queue->currentRequest()->state == ConversionRequest::ConversionState::pending());

        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        queue->enqueueAskMode(ytLink, Platform::youtubeMusic);
        QCOMPARE(queue->currentRequest()->sourceURL, spotifyLink);
        QCOMPARE(queue->queueCount(), 2);
        QVERIFY(queue->hasQueuedRequests());
        QVERIFY(logContains(
            QStringLiteral("Queue: Enqueuing: %1 (Tidal -> Spotify), autoConvert: false").arg(tidalLink)));
        QVERIFY(logContains(QStringLiteral("Queue: Queue count: 1, currentRequest: ") + spotifyLink));
        QVERIFY(
            logContains(QStringLiteral("Queue: Enqueuing (Ask Mode): %1 from YouTube Music").arg(ytLink)));

        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, ytLink);
        QCOMPARE(queue->queueCount(), 0);
        queue->dismiss();
        QVERIFY(!queue->currentRequest());
        QVERIFY(!queue->isToastVisible());
        QCOMPARE(queue->queueCount(), 0);
        QCOMPARE(memory->resets, 3);
        // Every take is announced, also while the toast is already visible.
        QCOMPARE(visible.count(), 4);
        QVERIFY(logContains(QStringLiteral("Queue: Queue empty, hiding toast")));
        // With no request the last services stand in.
        QCOMPARE(queue->displaySourcePlatform(), Platform::youtubeMusic);
        QCOMPARE(queue->displayTargetPlatform(), Platform::spotify);
    }

    void askModeTargetsAndUniversalRequests() {
        queue->enqueueAskMode(spotifyLink, Platform::spotify);
        QCOMPARE(queue->currentRequest()->targetPlatform, Platform::appleMusic);
        QVERIFY(!queue->currentRequest()->autoConvert);
        QVERIFY(!queue->currentRequest()->isUniversalLink);
        queue->dismiss();
        queue->enqueueAskMode(tidalLink, Platform::tidal);
        QCOMPARE(queue->currentRequest()->targetPlatform, Platform::spotify);
        queue->dismiss();

        api->universalResult = {QStringLiteral("https://song.link/y/x"), converted};
        queue->enqueueUniversalLink(ytLink, Platform::youtubeMusic, true);
        QCOMPARE(queue->currentRequest()->targetPlatform, Platform::youtubeMusic);
        QVERIFY(queue->currentRequest()->isUniversalLink);
        QVERIFY(queue->isUniversalLinkMode());
        QVERIFY(logContains(
            QStringLiteral("Queue: Enqueuing (Universal Link): %1 from YouTube Music, autoConvert: true")
                .arg(ytLink)));
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(api->universalLookups, 1);
        QCOMPARE(api->conversions, 0);
        QCOMPARE(pasteboard->text(), QStringLiteral("https://song.link/y/x"));
        QCOMPARE(queue->sourceMetadata(), converted);
        QVERIFY(!queue->targetMetadata());
    }

    void askModeFollowsTheSettingWhenTaken() {
        settings->setTargetService(TargetServiceOption::askEachTime);
        queue->enqueueAskMode(spotifyLink, Platform::spotify);
        QVERIFY(queue->isAskMode());
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, true);
        // The setting is read when the request comes up, not when it was queued.
        settings->setTargetService(TargetServiceOption::appleMusic);
        queue->enqueue(ytLink, Platform::youtubeMusic, Platform::spotify, false);
        settings->setTargetService(TargetServiceOption::askEachTime);
        queue->dismiss();
        QCOMPARE(queue->toastState(), ToastState::loading()); // automatic: straight to converting
        QVERIFY(!queue->isAskMode());
        QVERIFY(logContains(QStringLiteral("Queue: Auto-converting: ") + tidalLink));
        QTRY_COMPARE(queue->currentRequest()->sourceURL, ytLink);
        QVERIFY(queue->isAskMode());
        QVERIFY(
            logContains(QStringLiteral("Queue: Showing toast for: %1, isToastVisible: true, isAskMode: true")
                            .arg(ytLink)));
    }

    void dismissTimerRunsOnPromptAndErrorOnly() {
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QVERIFY(queue->isDismissTimerRunning());
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(!queue->currentRequest(), 10000);
        QVERIFY(clock.elapsed() >= shortTimeoutMs - 5);
        QCOMPARE(memory->resets, 1);
        QCOMPARE(queue->toastState(), ToastState::prompt());

        // Automatic conversion: no timer, also not during the success hold.
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
        QVERIFY(!queue->isDismissTimerRunning());
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QVERIFY(!queue->isDismissTimerRunning());
        QTRY_VERIFY(!queue->currentRequest());

        // An error starts it (long enough that it is still running when looked at).
        settings->setToastTimeout(600.0);
        api->conversion.error = ScriptedSongLinkService::error(SongLinkError::rateLimited());
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
        QTRY_VERIFY(queue->toastState().isError());
        QVERIFY(queue->isDismissTimerRunning());
    }

    void askModeTimeoutDismissesWithoutConversion() {
        settings->setTargetService(TargetServiceOption::askEachTime);
        queue->enqueueAskMode(spotifyLink, Platform::spotify);
        queue->enqueueUniversalLink(tidalLink, Platform::tidal, false);
        // Looked at as the next prompt comes up: its own time-out may follow at once.
        std::optional<std::tuple<bool, bool, bool, int>> atNext;
        QObject scope;
        connect(queue.get(), &ConversionQueue::toastStateChanged, &scope, [&] {
            if (!atNext && queue->currentRequest() && queue->currentRequest()->sourceURL == tidalLink) {
                atNext = {
                    logContains(QStringLiteral("Queue: Ask mode timeout - dismissing without conversion")),
                    queue->isAskMode(), queue->isUniversalLinkMode(), api->conversions};
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(atNext.has_value(), 10000);
        const auto [logged, askMode, universal, conversions] = *atNext;
        QVERIFY(logged);
        QVERIFY(askMode); // the setting still asks for the next request
        QVERIFY(universal);
        QCOMPARE(conversions, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!queue->currentRequest(), 10000);
        QVERIFY(!queue->isUniversalLinkMode());
        QCOMPARE(memory->resets, 2);
    }

    void successWritesHoldsAndMovesOn() {
        api->conversionResult = {QStringLiteral("https://music.apple.com/us/song/x/1"), converted, onTarget};
        settings->setToastTimeout(0.05); // the hold ignores the time-out
        HoldBracket bracket(*queue, shortHold / 2, shortHold * 2);
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        queue->confirmConversion();
        QCOMPARE(queue->toastState(), ToastState::loading());
        QVERIFY(queue->currentRequest()->state == ConversionRequest::ConversionState::pending());
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(pasteboard->text(), QStringLiteral("https://music.apple.com/us/song/x/1"));
        QCOMPARE(pasteboard->writes, 1);
        QCOMPARE(memory->marked, QStringList{QStringLiteral("https://music.apple.com/us/song/x/1")});
        QCOMPARE(queue->sourceMetadata(), converted);
        QCOMPARE(queue->targetMetadata(), onTarget);
        QCOMPARE(api->lastTarget, Platform::appleMusic);
        QTRY_VERIFY(bracket.endedBetween.has_value());
        QCOMPARE(bracket.stateBefore, ToastState::success());
        QCOMPARE(bracket.endedBetween, std::optional<bool>(true));
        QCOMPARE(bracket.next, tidalLink);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QVERIFY(!queue->sourceMetadata());
        QVERIFY(!queue->targetMetadata());
    }

    void theRealHoldLastsFiveSeconds() {
        queue->setSuccessHoldForTesting(ConversionQueue::successHold);
        HoldBracket bracket(*queue, 4700ms, 5300ms);
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
        QTRY_VERIFY_WITH_TIMEOUT(bracket.endedBetween.has_value(), 60000);
        QCOMPARE(bracket.stateBefore, ToastState::success());
        QCOMPARE(bracket.endedBetween, std::optional<bool>(true));
        QCOMPARE(bracket.next, QString());
    }

    void fetchedMetadataSurvivesTheConversion() {
        settings->setShowURLPreview(true);
        api->metadataResult = fetched;
        api->conversionResult = {QStringLiteral("https://x.test/1"), converted, std::nullopt};
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QVERIFY(queue->isLoadingMetadata());
        QTRY_VERIFY(!queue->isLoadingMetadata());
        QCOMPARE(queue->sourceMetadata(), fetched);
        queue->confirmConversion();
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(queue->sourceMetadata(), fetched);
        QVERIFY(!queue->targetMetadata());
    }

    void previewOffStartsNoFetch() {
        QSignalSpy loading(queue.get(), &ConversionQueue::isLoadingMetadataChanged);
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        queue->confirmConversion();
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(api->metadataFetches, 0);
        QCOMPARE(loading.count(), 0);
    }

    void failedFetchIsLoggedAndClearsTheFlag() {
        settings->setShowURLPreview(true);
        api->metadata.error = ScriptedSongLinkService::error(SongLinkError::serverError(503));
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(!queue->isLoadingMetadata());
        QVERIFY(logContains(QStringLiteral("Queue: Failed to fetch metadata: serverError(503)")));
        QVERIFY(!queue->sourceMetadata());
    }

    void lateFetchOfAnEarlierRequestWritesNothing() {
        settings->setShowURLPreview(true);
        api->metadata.delay = 300ms;
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        settings->setShowURLPreview(false);
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QTRY_VERIFY(logContains(QStringLiteral("Queue: Failed to fetch metadata: networkError(cancelled)")));
        QVERIFY(!queue->sourceMetadata());
        // Preview off for the new request: the flag is left as the cancelled fetch left it.
        QVERIFY(queue->isLoadingMetadata());
    }

    void confirmationEndsTheMetadataWait() {
        settings->setShowURLPreview(true);
        api->metadata.delay = 300ms;
        api->conversion.delay = 500ms;
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        QVERIFY(queue->isLoadingMetadata());
        QSignalSpy loading(queue.get(), &ConversionQueue::isLoadingMetadataChanged);
        queue->confirmConversion();
        QVERIFY(!queue->isLoadingMetadata());
        QTRY_COMPARE_WITH_TIMEOUT(queue->toastState(), ToastState::success(), 10000);
        // The cancelled fetch's end never sets it again.
        QCOMPARE(loading.count(), 1);
        QVERIFY(!queue->isLoadingMetadata());
    }

    void errorTexts_data() {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("details"); // "-" for none
        QTest::newRow("network") << 0 << "Network error"
                                 << "Check your connection";
        QTest::newRow("server") << 1 << "Service unavailable"
                                << "Try again later";
        QTest::newRow("no target link") << 2 << "Not on Yandex Music"
                                        << "Song may not be available";
        QTest::newRow("decoding") << 3 << "Invalid response"
                                  << "-";
        QTest::newRow("invalid url") << 4 << "Invalid URL"
                                     << "Check the link and try again";
        QTest::newRow("not found") << 5 << "Song not found"
                                   << "Check the link and try again";
        QTest::newRow("no apple music") << 6 << "Not on Apple Music"
                                        << "Song may not be available";
        QTest::newRow("no spotify") << 7 << "Not on Spotify"
                                    << "Song may not be available";
        QTest::newRow("rate limited") << 8 << "Too many requests"
                                      << "Wait a moment";
        QTest::newRow("other error") << 9 << "Conversion failed"
                                     << "disk on fire";
    }

    void errorTexts() {
        QFETCH(int, which);
        QFETCH(QString, message);
        QFETCH(QString, details);
        const std::exception_ptr errors[] = {
            ScriptedSongLinkService::error(SongLinkError::networkError(QStringLiteral("x"))),
            ScriptedSongLinkService::error(SongLinkError::serverError(502)),
            ScriptedSongLinkService::error(SongLinkError::noTargetPlatformLink(Platform::yandexMusic)),
            ScriptedSongLinkService::error(SongLinkError::decodingError(QStringLiteral("x"))),
            ScriptedSongLinkService::error(SongLinkError::invalidURL()),
            ScriptedSongLinkService::error(SongLinkError::songNotFound()),
            ScriptedSongLinkService::error(SongLinkError::noAppleMusicLink()),
            ScriptedSongLinkService::error(SongLinkError::noSpotifyLink()),
            ScriptedSongLinkService::error(SongLinkError::rateLimited()),
            std::make_exception_ptr(std::runtime_error("disk on fire")),
        };
        api->conversion.error = errors[which];
        pasteboard->copy(QStringLiteral("before"));
        queue->enqueue(spotifyLink, Platform::spotify, Platform::yandexMusic, true);
        QTRY_VERIFY(queue->toastState().isError());
        const std::optional<QString> expectedDetails =
            details == QLatin1String("-") ? std::nullopt : std::optional<QString>(details);
        QCOMPARE(queue->toastState(), ToastState::error(message, expectedDetails));
        QCOMPARE(pasteboard->text(), QStringLiteral("before"));
        QVERIFY(memory->marked.isEmpty());
    }

    void retryConvertsTheSameRequestAgain() {
        settings->setToastTimeout(600.0);
        api->conversion.error = ScriptedSongLinkService::error(SongLinkError::serverError(503));
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, true);
        QTRY_VERIFY(queue->toastState().isError());
        QVERIFY(queue->isDismissTimerRunning());
        const QUuid id = queue->currentRequest()->id;
        api->conversion.error = nullptr;
        queue->retry();
        QVERIFY(!queue->isDismissTimerRunning());
        QCOMPARE(queue->toastState(), ToastState::loading());
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(api->conversions, 2);
        QCOMPARE(api->lastURL, tidalLink);
        QCOMPARE(api->lastTarget, Platform::spotify);
        QCOMPARE(queue->currentRequest()->id, id);
    }

    void choosingATargetRetargetsTheRequest() {
        settings->setTargetService(TargetServiceOption::askEachTime);
        queue->confirmConversion(Platform::tidal); // no request: nothing, no line
        QVERIFY(!logContains(QStringLiteral("Queue: Confirming conversion to Tidal")));

        queue->enqueueAskMode(spotifyLink, Platform::spotify);
        const ConversionRequest before = *queue->currentRequest();
        queue->confirmConversion(Platform::tidal);
        QVERIFY(logContains(QStringLiteral("Queue: Confirming conversion to Tidal")));
        const ConversionRequest after = *queue->currentRequest();
        QCOMPARE(after.id, before.id);
        QCOMPARE(after.sourceURL, before.sourceURL);
        QCOMPARE(after.targetPlatform, Platform::tidal);
        QVERIFY(after.state == ConversionRequest::ConversionState::converting());
        QVERIFY(!after.autoConvert);
        QVERIFY(!after.isUniversalLink);
        QVERIFY(!queue->isAskMode());
        QVERIFY(!queue->isDismissTimerRunning());
        QCOMPARE(queue->displayTargetPlatform(), Platform::tidal);
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(api->lastTarget, Platform::tidal);
    }

    // A conversion that ends after its toast was closed leaves the clipboard, the toast and
    // the queue to whatever came after.
    void closedConversionWritesNothing() {
        settings->setToastTimeout(600.0); // no time-out ends the next request meanwhile
        api->conversion.delay = 200ms;
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        pasteboard->copy(QStringLiteral("user's own text"));
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QTRY_COMPARE(api->answered, 1);
        QCOMPARE(pasteboard->text(), QStringLiteral("user's own text"));
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QVERIFY(memory->marked.isEmpty());

        // The same for a failure: no error state over the next request.
        api->conversion.error = ScriptedSongLinkService::error(SongLinkError::songNotFound());
        queue->confirmConversion();
        queue->enqueue(ytLink, Platform::youtubeMusic, Platform::spotify, false);
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, ytLink);
        QTRY_COMPARE(api->answered, 2);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QVERIFY(queue->isDismissTimerRunning());
    }

    void closeDuringTheHoldMovesOnOnce() {
        settings->setToastTimeout(600.0);
        queue->setSuccessHoldForTesting(300ms);
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, true);
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        queue->enqueue(ytLink, Platform::youtubeMusic, Platform::spotify, false);
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QVERIFY(waitPast(450ms)); // the hold has ended meanwhile
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QCOMPARE(queue->queueCount(), 1);
    }

    void expiryWaitsWhileTheMenuIsOpen() {
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        menu->setMenuOpen(true);
        QVERIFY(waitPast(std::chrono::milliseconds(shortTimeoutMs + 150)));
        QVERIFY(queue->currentRequest());
        QVERIFY(queue->isDismissTimerRunning());
        menu->setMenuOpen(false);
        QTRY_VERIFY_WITH_TIMEOUT(!queue->currentRequest(), 10000);

        // A confirmation under the open menu stops the waiting expiry.
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        menu->setMenuOpen(true);
        QVERIFY(waitPast(std::chrono::milliseconds(shortTimeoutMs + 100)));
        queue->confirmConversion();
        menu->setMenuOpen(false);
        QTRY_COMPARE(queue->toastState(), ToastState::success());
    }

    // The GUI thread is held up across the expiry, and the user's close lands between the
    // expiry and its handling: the handling is about the closed request, not the next one.
    void expiryHandledLateSparesTheNextRequest() {
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        QThread::msleep(shortTimeoutMs + 50);
        QCoreApplication::processEvents(); // the expiry; its handling is posted
        queue->dismiss();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(queue->currentRequest()->sourceURL, tidalLink);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QVERIFY(queue->isDismissTimerRunning());
        QCOMPARE(memory->resets, 1);
        // Its own time-out still ends it.
        QTRY_VERIFY_WITH_TIMEOUT(!queue->currentRequest(), 10000);
        QCOMPARE(memory->resets, 2);
    }

    // A result replaces the text its conversion started from, whoever holds it by then (the
    // link copied again, a clipboard manager keeping it), and never a different text. For a
    // conversion the user confirmed, that is the text at the confirmation: a copy made before
    // the clipboard answered the look taken then is newer, even of the same text.
    void resultReplacesOnlyTheTextItStartedFrom_data() {
        QTest::addColumn<QString>("copiedBefore"); // before its turn, or before the confirmation
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QString>("copiedDuring");
        QTest::addColumn<bool>("beforeTheLook"); // copied before that look was answered
        QTest::addColumn<bool>("written");
        const QString notes = QStringLiteral("Meeting notes");
        QTest::newRow("same link copied again") << QString() << false << spotifyLink << false << true;
        QTest::newRow("other text copied") << QString() << false << notes << false << false;
        QTest::newRow("other text before its turn") << notes << false << QString() << false << false;
        QTest::newRow("confirmed over an earlier copy") << notes << true << QString() << false << true;
        QTest::newRow("confirmed over it, copied again") << notes << true << notes << false << true;
        QTest::newRow("other text after the confirmation") << QString() << true << notes << false << false;
        QTest::newRow("copied again before the look") << notes << true << notes << true << false;
        // An empty clipboard holds nothing to lose; an image is a copy all the same.
        QTest::newRow("other text before its turn, then emptied")
            << notes << false << emptied << false << true;
        QTest::newRow("an image copied") << QString() << false << image << false << false;
    }

    void resultReplacesOnlyTheTextItStartedFrom() {
        QFETCH(QString, copiedBefore);
        QFETCH(bool, confirmed);
        QFETCH(QString, copiedDuring);
        QFETCH(bool, beforeTheLook);
        QFETCH(bool, written);
        pasteboard->copy(spotifyLink);
        const ConversionRequest::Copy copy{pasteboard->changeCount(), spotifyLink};
        if (!copiedBefore.isEmpty()) {
            pasteboard->copy(copiedBefore);
        }
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, !confirmed, copy);
        if (confirmed) {
            api->hangForever = true; // until the copy below is made
            queue->confirmConversion();
            if (!beforeTheLook) {
                QTRY_COMPARE(pasteboard->answers, pasteboard->reads);
            }
        }
        if (copiedDuring == emptied) {
            pasteboard->empty();
        } else if (copiedDuring == image) {
            pasteboard->copy(std::nullopt);
        } else if (!copiedDuring.isEmpty()) {
            pasteboard->copy(copiedDuring);
        }
        api->hangForever = false;
        const std::optional<QString> userCopy = pasteboard->text();
        const QString result = api->conversionResult.targetURL;
        if (written) {
            QTRY_COMPARE(queue->toastState(), ToastState::success());
            QCOMPARE(pasteboard->text(), result);
            QCOMPARE(memory->marked, QStringList{result});
        } else {
            QTRY_VERIFY(!queue->currentRequest());
            QCOMPARE(pasteboard->writes, 0);
            QCOMPARE(pasteboard->text(), userCopy);
            QVERIFY(memory->marked.isEmpty());
            QCOMPARE(memory->resets, 1);
            QVERIFY(logContains(
                QStringLiteral("Queue: Clipboard changed during conversion, result not written")));
        }
    }

    // A write the system refuses is tried again after a fresh look; one that never takes is
    // not called a success.
    void refusedWriteIsNeverCalledASuccess() {
        bool claimed = false;
        connect(queue.get(), &ConversionQueue::toastStateChanged, this,
                [&] { claimed = claimed || queue->toastState() == ToastState::success(); });
        pasteboard->copy(spotifyLink);
        pasteboard->refusedWrites = 1;
        queue->enqueue(spotifyLink, Platform::spotify, Platform::appleMusic, false);
        queue->confirmConversion();
        QTRY_COMPARE(queue->toastState(), ToastState::success());
        QCOMPARE(pasteboard->writes, 1);
        QTRY_VERIFY(!queue->currentRequest());

        claimed = false;
        pasteboard->refusedWrites = 100;
        queue->enqueue(tidalLink, Platform::tidal, Platform::spotify, false);
        queue->confirmConversion();
        QTRY_VERIFY(!queue->currentRequest());
        QVERIFY(!claimed);
        QCOMPARE(pasteboard->writes, 1);
        QCOMPARE(memory->marked.size(), 1);
        if (!logContains(QStringLiteral("Queue: Clipboard write refused, result not written")))
            qDebug() << TestEnvironment::debugLogMessages();
        QVERIFY(logContains(QStringLiteral("Queue: Clipboard write refused, result not written")));
    }

    void noRequestMeansNothingHappens() {
        queue->confirmConversion();
        queue->retry();
        QCOMPARE(api->conversions, 0);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        queue->dismiss(); // still moves on: hides an already hidden toast
        QVERIFY(!queue->isToastVisible());
        QVERIFY(logContains(QStringLiteral("Queue: processNext called, queue count: 0")));
    }
};

ONDARI_TEST_MAIN(ConversionQueueTest)
#include "tst_conversionqueue.moc"
