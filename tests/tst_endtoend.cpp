#include "ClipboardMonitor.h"
#include "ConversionQueue.h"
#include "FakeSongLinkServer.h"
#include "MenuTracking.h"
#include "Pasteboard.h"
#include "SettingsManager.h"
#include "SongLinkService.h"
#include "TestEnvironment.h"
#include "UserDefaults.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QStandardPaths>

namespace {
const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString recording = QStringLiteral("spotify-bum-bum-eis-de.json");

QJsonObject recordedAnswer() {
    return QJsonDocument::fromJson(*FakeSongLinkServer::recordedBody(recording)).object();
}
} // namespace

// The whole road on a real X clipboard: another program copies a link, another program reads
// the converted one.
class EndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSongLinkServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    std::unique_ptr<SongLinkService> api;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<Pasteboard> pasteboard;
    std::unique_ptr<MenuTracking> menu;
    std::unique_ptr<ConversionQueue> queue;
    std::unique_ptr<ClipboardMonitor> monitor;
    int run = 0;

    // Copies text as another program would, without waiting on it.
    void copyByOtherProgram(const QString& text) {
        auto* xclip = new QProcess(this);
        xclip->start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard")});
        xclip->write(text.toUtf8());
        xclip->closeWriteChannel();
        connect(xclip, &QProcess::finished, xclip, &QObject::deleteLater);
    }

    // What another program reads from the clipboard now; the event loop keeps running meanwhile.
    QString readByOtherProgram() {
        QProcess xclip;
        xclip.start(QStringLiteral("xclip"),
                    {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
        QElapsedTimer waited;
        waited.start();
        while (xclip.state() != QProcess::NotRunning && waited.elapsed() < 20000) {
            QTest::qWait(5);
        }
        return QString::fromUtf8(xclip.readAllStandardOutput());
    }

    // Milliseconds until another program reads the expected text, or -1.
    qint64 waitForClipboard(const QString& expected, const QElapsedTimer& since) {
        while (since.elapsed() < 20000) { // a hang, not a slow machine
            if (readByOtherProgram() == expected) {
                return since.elapsed();
            }
            QTest::qWait(20);
        }
        return -1;
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty()) {
            QFAIL("xclip is missing");
        }
    }

    void init() {
        server = std::make_unique<FakeSongLinkServer>();
        QVERIFY(server->isListening());
        server->setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording));
        network = std::make_unique<QNetworkAccessManager>();
        api = std::make_unique<SongLinkService>(network.get(), server->baseURL());
        defaults = std::make_unique<UserDefaults>(TestEnvironment::root() +
                                                  QStringLiteral("/e2e-%1.conf").arg(++run));
        settings = std::make_unique<SettingsManager>(
            *defaults, LoginItem(TestEnvironment::configHome() + QStringLiteral("/autostart"),
                                 QStringLiteral("t"), QStringLiteral("/bin/true")));
        settings->setShowURLPreview(false);
        settings->setSourceService(SourceServiceOption::spotify);
        settings->setTargetService(TargetServiceOption::appleMusic);
        pasteboard = std::make_unique<Pasteboard>();
        menu = std::make_unique<MenuTracking>();
        queue = std::make_unique<ConversionQueue>(*settings, *api, *pasteboard, *menu);
        monitor = std::make_unique<ClipboardMonitor>(*settings, *pasteboard, queue.get());
        queue->setProcessedLinkMemory(monitor.get());
        queue->setSuccessHoldForTesting(std::chrono::milliseconds(300));
        TestEnvironment::clearDebugLog();
    }

    void cleanup() {
        monitor.reset();
        queue.reset();
        menu.reset();
        pasteboard.reset();
        settings.reset();
        defaults.reset();
        api.reset();
        network.reset();
        server.reset();
    }

    void automaticConversionToAppleMusic() {
        settings->setConversionMode(ConversionMode::automatic);
        monitor->startMonitoring();
        const QString expected = recordedAnswer()[QStringLiteral("linksByPlatform")]
                                                 [QStringLiteral("appleMusic")][QStringLiteral("url")]
                                                     .toString();
        QVERIFY(!expected.isEmpty());

        QElapsedTimer clock;
        clock.start();
        copyByOtherProgram(spotifyLink + QStringLiteral("?si=110f087282bd457f"));
        const qint64 ms = waitForClipboard(expected, clock);
        QVERIFY2(ms >= 0, "the converted link never reached the clipboard");
        qInfo("copy to converted link on the clipboard: %lld ms", ms);

        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(server->requests().first().link, spotifyLink);
        const QStringList log = TestEnvironment::debugLogMessages();
        QVERIFY(
            log.contains(QStringLiteral("Automatic mode: enqueuing URL for auto-conversion to Apple Music")));
        QVERIFY(log.contains(QStringLiteral("API: Attempt 1 for %1 -> Apple Music").arg(spotifyLink)));
        // Our own write is not picked up again.
        QTest::qWait(700);
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(monitor->lastProcessedURL(), expected);
    }

    void automaticUniversalPage() {
        settings->setConversionMode(ConversionMode::automatic);
        settings->setTargetService(TargetServiceOption::universalLink);
        monitor->startMonitoring();
        const QString expected = recordedAnswer()[QStringLiteral("pageUrl")].toString();
        QElapsedTimer clock;
        clock.start();
        copyByOtherProgram(spotifyLink);
        const qint64 ms = waitForClipboard(expected, clock);
        QVERIFY2(ms >= 0, "the song page never reached the clipboard");
        qInfo("copy to song page on the clipboard: %lld ms", ms);
    }

    void defaultModeWaitsForConfirmation() {
        settings->setConversionMode(ConversionMode::default_);
        settings->setToastTimeout(10);
        monitor->startMonitoring();
        copyByOtherProgram(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(queue->currentRequest().has_value(), 10000);
        QCOMPARE(queue->toastState(), ToastState::prompt());
        QTest::qWait(200);
        QVERIFY(server->requests().isEmpty());
        QCOMPARE(readByOtherProgram(), spotifyLink);

        const QString expected = recordedAnswer()[QStringLiteral("linksByPlatform")]
                                                 [QStringLiteral("appleMusic")][QStringLiteral("url")]
                                                     .toString();
        QElapsedTimer clock;
        clock.start();
        queue->confirmConversion();
        const qint64 ms = waitForClipboard(expected, clock);
        QVERIFY2(ms >= 0, "the converted link never reached the clipboard");
        qInfo("confirmation to converted link on the clipboard: %lld ms", ms);
        QTRY_VERIFY_WITH_TIMEOUT(!queue->isToastVisible(), 10000);
    }
};

ONDARI_TEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
