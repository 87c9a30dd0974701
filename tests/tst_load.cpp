#include "RoadRig.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QClipboard>
#include <QPointer>
#include <QStandardPaths>

using namespace std::chrono_literals;
using Answer = FakeSongLinkServer::Answer;

namespace {

constexpr int linkCount = 100;
constexpr int copyIntervalMs = 100;

QString trackId(int i) {
    return QStringLiteral("LoadTest%1").arg(i, 14, 10, QLatin1Char('0'));
}

// The links named in log messages that begin with prefix and end with suffix.
QStringList linksIn(const QString& prefix, const QString& suffix = {}) {
    QStringList links;
    for (const QString& message : RoadLog::startingWith(prefix)) {
        if (message.endsWith(suffix)) {
            links.append(message.mid(prefix.size(), message.size() - prefix.size() - suffix.size()));
        }
    }
    return links;
}

} // namespace

// Another program copies a hundred different links in ten seconds, one every 100 ms.
//
// The watcher looks at the clipboard twice a second and reads what is there then, so of
// several copies between two looks it sees only the latest; the others were never on the
// clipboard when it looked. What the program promises, and these tests hold it to: every
// link it sees is queued exactly once, in the order of copying, and none is lost or repeated
// after that: each comes up in the toast (default mode), or is converted in turn (automatic
// mode), its result put on the clipboard only when nothing was copied meanwhile. The last
// copy is always seen, and its conversion ends up on the clipboard.
class LoadTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Road> road;
    QList<QPointer<QProcess>> copiers;
    QStringList links;

    bool copy(const QString& text) {
        QProcess* xclip = OtherProgram::copy(this, text.toUtf8());
        copiers.append(xclip);
        return xclip != nullptr;
    }

    void startRoad(ConversionMode mode) {
        road = std::make_unique<Road>(QString::fromLatin1(QTest::currentTestFunction()));
        road->settings->setConversionMode(mode);
        for (int i = 0; i < linkCount; ++i) {
            road->server.setAnswer(links.at(i), Answer::withStatus(200, syntheticAnswer(trackId(i))));
        }
    }

    // The hundred copies, one every 100 ms, with the event loop running in between.
    bool copyAll() {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < linkCount; ++i) {
            const qint64 due = qint64(i) * copyIntervalMs;
            if (clock.elapsed() < due) {
                QTest::qWait(int(due - clock.elapsed()));
            }
            if (!copy(links.at(i))) {
                return false;
            }
        }
        qInfo("%d copies in %lld ms", linkCount, clock.elapsed());
        return true;
    }

    // The links the watcher read off the clipboard, in order; they are copies, in the order
    // of copying, none twice, and the last copy is among them.
    // The last copy is always seen, however late a busy machine lets the program that makes it
    // take the clipboard; until then the queue may well run dry.
    bool lastCopySeen() const {
        const QStringList seen = linksIn(QStringLiteral("Found Spotify URL: "));
        return !seen.isEmpty() && seen.last() == links.last();
    }

    QStringList seenLinks() const {
        const QStringList seen = linksIn(QStringLiteral("Found Spotify URL: "));
        qsizetype previous = -1;
        for (const QString& link : seen) {
            const qsizetype index = links.indexOf(link);
            if (index <= previous) {
                qWarning("seen out of order or twice: %s", qPrintable(link));
                return {};
            }
            previous = index;
        }
        qInfo("the watcher saw %lld of the %d copies", qlonglong(seen.size()), linkCount);
        return seen;
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty());
        for (int i = 0; i < linkCount; ++i) {
            links.append(spotifyLink(trackId(i)));
        }
    }

    void cleanup() {
        road.reset();
        OtherProgram::endAll(copiers);
    }

    void defaultModeShowsEverySeenLinkOnce() {
        startRoad(ConversionMode::default_);
        // Prompts that outlast a poll interval, so that seen links pile up in the queue.
        road->settings->setToastTimeout(0.7);
        QStringList prompted;
        int longestQueue = 0;
        connect(road->queue.get(), &ConversionQueue::toastStateChanged, this, [&] {
            if (road->queue->toastState() != ToastState::prompt() || !road->queue->currentRequest()) {
                return;
            }
            // After the toast has taken in the new request.
            const QString link = road->queue->currentRequest()->sourceURL;
            QTimer::singleShot(0, this, [&, link] {
                if (road->shown() == QLatin1String("prompt") && road->queue->currentRequest() &&
                    road->queue->currentRequest()->sourceURL == link) {
                    prompted.append(link);
                }
            });
        });
        connect(road->queue.get(), &ConversionQueue::queueCountChanged, this,
                [&](int count) { longestQueue = std::max(longestQueue, count); });
        road->monitor->startMonitoring();

        QVERIFY(copyAll());
        QTRY_VERIFY_WITH_TIMEOUT(lastCopySeen(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!road->queue->currentRequest() && !road->queue->hasQueuedRequests(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("hidden"), 10000);

        const QStringList seen = seenLinks();
        QVERIFY(seen.size() >= 15);
        QCOMPARE(seen.last(), links.last());
        const QString suffix = QStringLiteral(" (Spotify -> Apple Music), autoConvert: false");
        QCOMPARE(linksIn(QStringLiteral("Queue: Enqueuing: "), suffix), seen);
        QCOMPARE(prompted, seen);
        qInfo("up to %d links waited behind the toast", longestQueue);
        QVERIFY(longestQueue >= 2);
        QCOMPARE(RoadLog::count(QStringLiteral("Same URL as last processed, skipping")), 0);
        QCOMPARE(RoadLog::count(QStringLiteral("No string content in clipboard")), 0);
        QVERIFY(road->server.requests().isEmpty());
        QCOMPARE(OtherProgram::paste(), links.last());
    }

    void automaticModeConvertsEverySeenLinkInTurnAndOverwritesNoCopy() {
        startRoad(ConversionMode::automatic);
        road->queue->setSuccessHoldForTesting(100ms);
        // The results the program wrote, as it shows each one written. Looking at the clipboard
        // instead races the copies: by the time Qt asks the server, another program may already
        // hold the clipboard the program has just written to.
        QStringList written;
        connect(road->queue.get(), &ConversionQueue::toastStateChanged, this, [&] {
            const std::optional<ConversionRequest>& request = road->queue->currentRequest();
            if (request && road->queue->toastState() == ToastState::success()) {
                const QString result = convertedLink(trackId(int(links.indexOf(request->sourceURL))));
                if (written.isEmpty() || written.last() != result) {
                    written.append(result);
                }
            }
        });
        road->monitor->startMonitoring();

        QVERIFY(copyAll());
        QTRY_VERIFY_WITH_TIMEOUT(lastCopySeen(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!road->queue->currentRequest() && !road->queue->hasQueuedRequests(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(road->shown(), QStringLiteral("hidden"), 10000);
        QTest::qWait(700); // a poll more: the program's last write is not taken up as a copy

        const QStringList seen = seenLinks();
        QVERIFY(seen.size() >= 15);
        QCOMPARE(seen.last(), links.last());
        const QString suffix = QStringLiteral(" (Spotify -> Apple Music), autoConvert: true");
        QCOMPARE(linksIn(QStringLiteral("Queue: Enqueuing: "), suffix), seen);
        QStringList sent;
        QStringList converted;
        for (const FakeSongLinkServer::Request& request : road->server.requests()) {
            sent.append(request.link.value_or(QString()));
        }
        for (const QString& link : seen) {
            converted.append(convertedLink(trackId(int(links.indexOf(link)))));
        }
        QCOMPARE(sent, seen);
        // Each conversion either wrote its result or, with a newer copy on the clipboard, left
        // it there; the results written are in order, and the last one came last.
        qsizetype refused = 0;
        for (const QString& message : TestEnvironment::debugLogMessages(QStringLiteral("Queue: "))) {
            refused += message.endsWith(QLatin1String(", result not written"));
        }
        qInfo("%lld results written, %lld left out for a newer copy", qlonglong(written.size()),
              qlonglong(refused));
        QVERIFY2(written.size() + refused == converted.size(), qPrintable(written.join(QLatin1Char(' '))));
        qsizetype from = 0;
        for (const QString& link : std::as_const(written)) {
            from = converted.indexOf(link, from) + 1;
            QVERIFY2(from > 0, qPrintable(link));
        }
        QCOMPARE(written.last(), converted.last());
        QCOMPARE(OtherProgram::paste(), converted.last());
        // Reading back its own writes, the watcher at most skips them.
        QCOMPARE(linksIn(QStringLiteral("Queue: Enqueuing")).size(), seen.size());
    }

    // A link copied after the watcher's last look and before the toast goes away is still
    // taken up: the toast's end must not swallow a copy nobody has read yet.
    void copyJustBeforeTheToastEndsIsKept_data() {
        QTest::addColumn<bool>("closedByUser");
        QTest::newRow("closed") << true;
        QTest::newRow("timed out") << false;
    }

    void copyJustBeforeTheToastEndsIsKept() {
        QFETCH(bool, closedByUser);
        startRoad(ConversionMode::default_);
        road->settings->setToastTimeout(closedByUser ? 30 : 1.0);
        // The watcher looks only when told to, so that the copy surely falls between two looks.
        road->monitor->startMonitoring();
        road->monitor->stopMonitoring();
        const auto current = [&] {
            return road->queue->currentRequest() ? road->queue->currentRequest()->sourceURL : QString();
        };

        // The open status menu holds the expiry back until the test closes it: the second copy
        // surely comes while the toast is up, however slowly the machine makes it.
        road->menu.setMenuOpen(true);

        const int before = road->pasteboard->changeCount();
        QVERIFY(copy(links.at(0)));
        QTRY_COMPARE(road->pasteboard->changeCount(), before + 1);
        road->monitor->checkClipboard();
        QTRY_COMPARE_WITH_TIMEOUT(current(), links.at(0), 10000);

        QVERIFY(copy(links.at(1)));
        QTRY_COMPARE(road->pasteboard->changeCount(), before + 2);
        QCOMPARE(current(), links.at(0)); // the copy came while the toast was still up
        if (closedByUser) {
            road->queue->dismiss();
        }
        road->menu.setMenuOpen(false);
        QTRY_COMPARE_WITH_TIMEOUT(road->queue->isToastVisible(), false, 10000);

        road->monitor->checkClipboard();
        QTRY_COMPARE_WITH_TIMEOUT(current(), links.at(1), 10000);
        QCOMPARE(linksIn(QStringLiteral("Queue: Enqueuing: "),
                         QStringLiteral(" (Spotify -> Apple Music), autoConvert: false")),
                 (QStringList{links.at(0), links.at(1)}));
    }
};

ONDARI_ROAD_TEST_MAIN(LoadTest)
#include "tst_load.moc"
