#include "FakeSongLinkServer.h"
#include "TestEnvironment.h"
#include "UpdateManager.h"
#include "UserDefaults.h"
#include "WidgetTestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpServer>

using namespace std::chrono_literals;
using Answer = FakeSongLinkServer::Answer;

namespace {

const QString currentVersion = QStringLiteral("1.4.2");

QByteArray item(const QByteArray& version, const QByteArray& shortVersion = {},
                const QByteArray& link = "https://ondari.example/download") {
    QByteArray text = "<item><title>Ondari " + version + "</title>";
    if (!link.isEmpty()) {
        text += "<link>" + link + "</link>";
    }
    text += "<sparkle:version>" + version + "</sparkle:version>";
    if (!shortVersion.isEmpty()) {
        text += "<sparkle:shortVersionString>" + shortVersion + "</sparkle:shortVersionString>";
    }
    text += "<enclosure url=\"https://ondari.example/Ondari-" + version +
            ".AppImage\" length=\"1\" type=\"application/octet-stream\"/></item>";
    return text;
}

QByteArray feed(const QByteArray& items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Ondari</title><link>https://ondari.example/</link>" +
           items + "</channel></rss>";
}

// Records what the user would see.
class ScriptedPresenter : public UpdatePresenter {
public:
    QStringList shown;
    QList<AppcastItem> offered;
    QString lastError;
    std::function<void()> download;
    QList<QUrl> opened;

    void showUpToDate(const QString& version) override {
        shown.append(QStringLiteral("upToDate ") + version);
    }
    void offerUpdate(const AppcastItem& item, const QString& version,
                     std::function<void()> onDownload) override {
        shown.append(QStringLiteral("offer %1 over %2").arg(item.displayVersion, version));
        offered.append(item);
        download = std::move(onDownload);
    }
    void showCheckFailed(const QString& error) override {
        shown.append(QStringLiteral("failed"));
        lastError = error;
    }
    void showNotConfigured() override { shown.append(QStringLiteral("notConfigured")); }
    void openDownloadPage(const QUrl& page) override { opened.append(page); }
};

} // namespace

Q_DECLARE_METATYPE(FakeSongLinkServer::Answer)
Q_DECLARE_METATYPE(std::optional<bool>)

class UpdateManagerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSongLinkServer> server;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<ScriptedPresenter> presenter;
    int settingsFile = 0;

    QUrl feedUrl() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(server->port()));
    }

    // Background checks stay out of the way unless a test asks for them.
    Updater::Config config(std::chrono::milliseconds firstCheck = 1h) const {
        Updater::Config c;
        c.feedUrl = feedUrl();
        c.currentVersion = currentVersion;
        c.firstCheckDelay = firstCheck;
        return c;
    }

    std::unique_ptr<UpdateManager> makeManager(Updater::Config c) {
        return std::make_unique<UpdateManager>(*defaults, std::move(c), *presenter);
    }

private slots:
    void init() {
        server = std::make_unique<FakeSongLinkServer>();
        QVERIFY(server->isListening());
        defaults = std::make_unique<UserDefaults>(TestEnvironment::root() +
                                                  QStringLiteral("/updates-%1.conf").arg(++settingsFile));
        presenter = std::make_unique<ScriptedPresenter>();
        TestEnvironment::clearDebugLog();
    }

    void cleanup() {
        server.reset();
        defaults.reset();
        presenter.reset();
        QCoreApplication::processEvents();
    }

    void automaticChecksDefaultToOnAndAStoredAnswerStays_data() {
        QTest::addColumn<std::optional<bool>>("stored");
        QTest::newRow("empty defaults") << std::optional<bool>();
        QTest::newRow("stored false") << std::optional<bool>(false);
        QTest::newRow("stored true") << std::optional<bool>(true);
    }

    void automaticChecksDefaultToOnAndAStoredAnswerStays() {
        QFETCH(std::optional<bool>, stored);
        if (stored) {
            defaults->setBool(QStringLiteral("SUEnableAutomaticChecks"), *stored);
        }
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.4.2"))));
        UpdateManager manager(*defaults, config(10ms), *presenter);
        const bool expected = stored.value_or(true);
        QCOMPARE(defaults->boolValue(QStringLiteral("SUEnableAutomaticChecks")), expected);
        // Read back from the file: the default is really stored, not just assumed.
        QCOMPARE(UserDefaults(defaults->fileName()).boolValue(QStringLiteral("SUEnableAutomaticChecks")),
                 expected);
        QCOMPARE(manager.updaterController().automaticallyChecksForUpdates(), expected);
        if (expected) {
            QTRY_COMPARE(server->requests().size(), 1); // however late a busy machine sends it
        }
        QTest::qWait(150);
        QCOMPARE(server->requests().size(), expected ? 1 : 0);
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 QStringList{QStringLiteral("UpdateManager initialized")});
    }

    void canCheckIsFalseUntilDeliveredAndWhileChecking() {
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.4.2"))).after(200ms));
        UpdateManager manager(*defaults, config(), *presenter);
        QSignalSpy flag(&manager, &UpdateManager::canCheckForUpdatesChanged);
        // A menu built right away shows the item disabled.
        QVERIFY(!manager.canCheckForUpdates());
        QTRY_VERIFY(manager.canCheckForUpdates());
        QCOMPARE(flag.size(), 1);

        manager.checkForUpdates();
        QVERIFY(!manager.updaterController().canCheckForUpdates());
        QTRY_VERIFY(!manager.canCheckForUpdates());
        manager.checkForUpdates(); // ignored while one runs
        QTRY_VERIFY(manager.canCheckForUpdates());
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(presenter->shown, QStringList{QStringLiteral("upToDate 1.4.2")});
        QCOMPARE(flag.size(), 3);
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 (QStringList{QStringLiteral("UpdateManager initialized"),
                              QStringLiteral("Manual update check triggered"),
                              QStringLiteral("Manual update check triggered")}));
    }

    void manualCheckAgainstTheFeed_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QUrl>("page");

        const QUrl download(QStringLiteral("https://ondari.example/download"));
        QTest::newRow("newer") << Answer::withStatus(200, feed(item("1.10.0", "1.10")))
                               << QStringList{QStringLiteral("offer 1.10 over 1.4.2")} << download;
        QTest::newRow("same") << Answer::withStatus(200, feed(item("1.4.2")))
                              << QStringList{QStringLiteral("upToDate 1.4.2")} << QUrl();
        QTest::newRow("same with a trailing zero") << Answer::withStatus(200, feed(item("1.4.2.0")))
                                                   << QStringList{QStringLiteral("upToDate 1.4.2")} << QUrl();
        QTest::newRow("older") << Answer::withStatus(200, feed(item("1.4.1") + item("0.9")))
                               << QStringList{QStringLiteral("upToDate 1.4.2")} << QUrl();
        QTest::newRow("no releases listed")
            << Answer::withStatus(200, feed({})) << QStringList{QStringLiteral("upToDate 1.4.2")} << QUrl();
        QTest::newRow("newest of several, in any order")
            << Answer::withStatus(200, feed(item("1.5", {}, "https://ondari.example/1.5") +
                                            item("2.0.1", "2.0.1") + item("1.9")))
            << QStringList{QStringLiteral("offer 2.0.1 over 1.4.2")} << download;
        QTest::newRow("version on the enclosure, no item link")
            << Answer::withStatus(
                   200, feed("<item><title>x</title><enclosure url=\"https://ondari.example/O.AppImage\" "
                             "sparkle:version=\"1.5\" sparkle:shortVersionString=\"1.5 beta\" "
                             "length=\"1\"/></item>"))
            << QStringList{QStringLiteral("offer 1.5 beta over 1.4.2")}
            << QUrl(QStringLiteral("https://ondari.example/O.AppImage"));
        QTest::newRow("plain HTTP page elsewhere gives way to the enclosure")
            << Answer::withStatus(200, feed(item("1.5", {}, "http://ondari.example/1.5")))
            << QStringList{QStringLiteral("offer 1.5 over 1.4.2")}
            << QUrl(QStringLiteral("https://ondari.example/Ondari-1.5.AppImage"));
        QTest::newRow("release for another system is skipped")
            << Answer::withStatus(
                   200, feed("<item><enclosure url=\"https://ondari.example/O.dmg\" sparkle:os=\"macos\" "
                             "sparkle:version=\"9.0\"/></item>"))
            << QStringList{QStringLiteral("upToDate 1.4.2")} << QUrl();
        // Laid out in the dialog's label, the whole text would hold the GUI for half a minute.
        QTest::newRow("huge version text")
            << Answer::withStatus(200, feed(item("1.5", QByteArray(1500 * 1024, 'x'))))
            << QStringList{QStringLiteral("offer %1 over 1.4.2").arg(QString(500, QLatin1Char('x')))}
            << download;
        // A direction control would turn the rest of the dialog's sentence around.
        QTest::newRow("direction controls in the version")
            << Answer::withStatus(200, feed(item("1.5", "\u202E1.5\u2066 beta\u2069\u202A")))
            << QStringList{QStringLiteral("offer 1.5 beta over 1.4.2")} << download;
        QTest::newRow("broken XML") << Answer::withStatus(200, feed(item("2.0")).left(150))
                                    << QStringList{QStringLiteral("failed")} << QUrl();
        QTest::newRow("not a feed") << Answer::withStatus(200, "<html><body>Hello</body></html>")
                                    << QStringList{QStringLiteral("failed")} << QUrl();
        QTest::newRow("server error")
            << Answer::withStatus(500, "oops") << QStringList{QStringLiteral("failed")} << QUrl();
        QTest::newRow("connection dropped")
            << Answer::dropped() << QStringList{QStringLiteral("failed")} << QUrl();
    }

    void manualCheckAgainstTheFeed() {
        QFETCH(Answer, answer);
        QFETCH(QStringList, shown);
        QFETCH(QUrl, page);
        server->setDefaultAnswer(answer);
        auto manager = makeManager(config());
        QTRY_VERIFY(manager->canCheckForUpdates());
        manager->checkForUpdates();
        QTRY_COMPARE(presenter->shown, shown);
        if (shown.front() == QLatin1String("failed")) {
            QVERIFY(!presenter->lastError.isEmpty());
        }
        if (page.isValid()) {
            QVERIFY(presenter->opened.isEmpty());
            presenter->download();
            QCOMPARE(presenter->opened, QList<QUrl>{page});
        }
        QTRY_VERIFY(manager->canCheckForUpdates());
        QVERIFY(manager->updaterController().lastCheckTime().has_value());
    }

    void feedFromAFile() {
        const QString path = TestEnvironment::root() + QStringLiteral("/appcast.xml");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(feed(item("1.4.3")));
        file.close();
        Updater::Config c = config();
        c.feedUrl = QUrl::fromLocalFile(path);
        auto manager = makeManager(c);
        QTRY_VERIFY(manager->canCheckForUpdates());
        manager->checkForUpdates();
        QTRY_COMPARE(presenter->shown, QStringList{QStringLiteral("offer 1.4.3 over 1.4.2")});
    }

    void buildWithoutAFeedSaysSo() {
        Updater::Config c = config(10ms);
        c.feedUrl = QUrl();
        auto manager = makeManager(c);
        QTRY_VERIFY(manager->canCheckForUpdates());
        QVERIFY(!manager->updaterController().nextCheckIn());
        manager->checkForUpdates();
        QCOMPARE(presenter->shown, QStringList{QStringLiteral("notConfigured")});
        QVERIFY(manager->canCheckForUpdates());
        QTest::qWait(50);
        QVERIFY(server->requests().isEmpty());
    }

    void backgroundChecksShowOnlyNewVersionsEachOnce() {
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.5"))));
        Updater::Config c = config(10ms);
        c.checkInterval = 60ms;
        auto manager = makeManager(c);
        QTRY_VERIFY(server->requests().size() >= 3);
        QCOMPARE(presenter->shown, QStringList{QStringLiteral("offer 1.5 over 1.4.2")});

        // Quiet about failures and about being up to date; the user did not ask.
        server->setDefaultAnswer(Answer::withStatus(500));
        const auto before = server->requests().size();
        QTRY_VERIFY(server->requests().size() >= before + 2);
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.4.2"))));
        QTRY_VERIFY(server->requests().size() >= before + 4);
        QCOMPARE(presenter->shown.size(), 1);

        // The user's own check answers even for an offered version.
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.5"))));
        // Between two background checks, so this one is not refused as overlapping.
        QTRY_VERIFY(manager->updaterController().canCheckForUpdates());
        manager->checkForUpdates();
        QTRY_COMPARE(presenter->shown.size(), 2);
    }

    void backgroundScheduleFollowsTheLastCheck() {
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.4.2"))));
        // Checked an hour ago: the next check is due in 23 hours.
        defaults->setString(Updater::lastCheckTimeKey,
                            QDateTime::currentDateTimeUtc().addSecs(-3600).toString(Qt::ISODateWithMs));
        auto manager = makeManager(config(10ms));
        const auto next = manager->updaterController().nextCheckIn();
        QVERIFY(next);
        QVERIFY(*next > 22h + 59min && *next <= 23h);

        // Overdue, or a clock set back: soon after start, and never later than one interval.
        defaults->setString(Updater::lastCheckTimeKey,
                            QDateTime::currentDateTimeUtc().addDays(-3).toString(Qt::ISODateWithMs));
        auto overdue = makeManager(config(5s));
        QVERIFY(*overdue->updaterController().nextCheckIn() <= 5s);
        defaults->setString(Updater::lastCheckTimeKey,
                            QDateTime::currentDateTimeUtc().addDays(30).toString(Qt::ISODateWithMs));
        auto future = makeManager(config(5s));
        QVERIFY(*future->updaterController().nextCheckIn() <= 24h);
        QVERIFY(server->requests().isEmpty());
    }

    void versionsCompareByNumericComponents_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("10 after 9") << "1.10"
                                    << "1.9" << 1;
        QTest::newRow("missing component is 0") << "1.0"
                                                << "1.0.0" << 0;
        QTest::newRow("not as text") << "2"
                                     << "10" << -1;
        QTest::newRow("leading zeros") << "01.002"
                                       << "1.2" << 0;
        QTest::newRow("longer is newer") << "1.2.1"
                                         << "1.2" << 1;
        QTest::newRow("huge numbers") << "1.99999999999999999999"
                                      << "1.99999999999999999998" << 1;
        QTest::newRow("a leading name is no pre-release") << "v2.0"
                                                          << "2.0" << 0;
        QTest::newRow("pre-release before its release") << "0.1.0-rc1"
                                                        << "0.1.0" << -1;
        QTest::newRow("pre-release without separator") << "1.0b2"
                                                       << "1.0" << -1;
        QTest::newRow("pre-release after the release before") << "2.0-rc1"
                                                              << "1.9.9" << 1;
        QTest::newRow("pre-release numbers") << "1.0-rc2"
                                             << "1.0-rc10" << -1;
        QTest::newRow("pre-release names") << "1.0-beta3"
                                           << "1.0-RC1" << -1;
        QTest::newRow("same pre-release") << "1.0.0-rc1"
                                          << "1.0-rc1" << 0;
        QTest::newRow("empty") << ""
                               << "0.0" << 0;
    }

    void versionsCompareByNumericComponents() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(Appcast::compareVersions(a, b), order);
        QCOMPARE(Appcast::compareVersions(b, a), -order);
    }

    // A pre-release of the running version is no update.
    void preReleaseOfTheRunningVersionIsNotOffered() {
        server->setDefaultAnswer(Answer::withStatus(200, feed(item("1.4.2-rc1") + item("1.4.2-beta"))));
        auto manager = makeManager(config());
        QTRY_VERIFY(manager->canCheckForUpdates());
        manager->checkForUpdates();
        QTRY_COMPARE(presenter->shown, QStringList{QStringLiteral("upToDate 1.4.2")});
    }

    // A feed that trickles in, or never ends, fails the check at its deadline or its cap, and the
    // menu item comes back.
    // The error says which bound ended the transfer; the times only show that none ended it
    // early, with room for a busy machine.
    void slowOrEndlessFeedFails_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<int>("feedTimeoutMs");
        QTest::addColumn<int>("earliestMs");
        QTest::addColumn<int>("latestMs");
        QTest::addColumn<QString>("error");
        const QString late = QStringLiteral("The update feed did not arrive within 1 seconds.");
        const QString large = QStringLiteral("The update feed is larger than 2097152 bytes.");
        QTest::newRow("a byte every 200 ms")
            << Answer::withStatus(200, feed(item("1.5"))).trickled(200ms) << 1000 << 1000 << 4000 << late;
        // A deadline far beyond any busy machine's delay: only the cap can end these in time.
        QTest::newRow("without end") << Answer::endless(200, feed({}).left(100)) << 20000 << 0 << 15000
                                     << large;
        QTest::newRow("announced too large")
            << Answer::endless(200, "<rss>").withHeader("Content-Length", "3000000") << 20000 << 0 << 15000
            << large;
    }

    void slowOrEndlessFeedFails() {
        QFETCH(Answer, answer);
        QFETCH(int, feedTimeoutMs);
        QFETCH(int, earliestMs);
        QFETCH(int, latestMs);
        QFETCH(QString, error);
        server->setDefaultAnswer(answer);
        Updater::Config c = config();
        c.feedTimeout = std::chrono::milliseconds(feedTimeoutMs);
        auto manager = makeManager(c);
        QTRY_VERIFY(manager->canCheckForUpdates());
        QElapsedTimer checking;
        checking.start();
        manager->checkForUpdates();
        QTRY_COMPARE_WITH_TIMEOUT(presenter->shown, QStringList{QStringLiteral("failed")}, latestMs);
        const qint64 took = checking.elapsed();
        QVERIFY2(took >= earliestMs && took <= latestMs, qPrintable(QString::number(took)));
        QCOMPARE(presenter->lastError, error);
        QTRY_VERIFY(manager->canCheckForUpdates());
        qInfo("%s", qPrintable(presenter->lastError));
    }

    // A feed over plain HTTP from another host is never fetched: the check fails.
    void plainHttpFeedElsewhereIsRefused() {
        OutsideListener outside;
        if (!outside.isListening()) {
            QSKIP("this machine has no address besides loopback");
        }
        Updater::Config c = config();
        c.feedUrl = QUrl(outside.url(QStringLiteral("/appcast.xml")));
        QTest::ignoreMessage(QtWarningMsg, "Update feed refused: plain HTTP is used only with this machine");
        auto manager = makeManager(c);
        QTRY_VERIFY(manager->canCheckForUpdates());
        manager->checkForUpdates();
        QTRY_COMPARE(presenter->shown, QStringList{QStringLiteral("failed")});
        QTest::qWait(100);
        QVERIFY(!outside.hasPendingConnections());
    }

    // Only the first thousand items are read, so even a feed at its cap is parsed at once.
    void onlyTheFirstThousandItemsAreRead() {
        QByteArray items;
        for (int i = 0; i < 999; ++i) {
            items += item("1.0." + QByteArray::number(i));
        }
        items += item("1.4.3");
        const QByteArray beyond = item("9.0");
        while (items.size() < Updater::maxFeedBytes - 1024 - beyond.size()) {
            items += item("0.1");
        }
        const QByteArray last = feed(items + beyond);
        QVERIFY(last.size() <= Updater::maxFeedBytes);
        QElapsedTimer parsing;
        parsing.start();
        const std::optional<QList<AppcastItem>> parsed = Appcast::parse(last);
        qInfo("parsed in %lld ms", parsing.elapsed());
        QVERIFY(parsed);
        QCOMPARE(parsed->size(), Appcast::maxItems);
        QCOMPARE(Appcast::newestUpdate(*parsed, currentVersion)->version, QStringLiteral("1.4.3"));
        // The cut ends the reading; a feed broken within its first thousand items still fails.
        QVERIFY(!Appcast::parse(feed(item("1.5") + "<item><title>x</titel></item>")));
    }

    // Whatever the feed says is shown as it is: no heading, no link to a local file.
    void updateDialogShowsTheFeedAsPlainText() {
        const QString markup = QStringLiteral("<h1>2.0</h1><a href=\"file:///etc/passwd\">Get it</a>");
        AppcastItem item{QStringLiteral("t"), QStringLiteral("2.0"), markup,
                         QUrl(QStringLiteral("https://ondari.example/download"))};
        MessageBoxUpdatePresenter::shared().offerUpdate(item, currentVersion, [] {});
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible()) {
                    return found;
                }
            }
            return static_cast<QMessageBox*>(nullptr);
        }()));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QVERIFY(box->informativeText().contains(markup));
        const QList<QLabel*> labels = box->findChildren<QLabel*>();
        int shown = 0;
        for (QLabel* label : labels) {
            if (label->text().contains(markup)) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                ++shown;
            }
        }
        QCOMPARE(shown, 1);
        box->close();
    }

    void feedAddressFromTheEnvironment() {
        qputenv("ONDARI_UPDATE_FEED_URL", "http://127.0.0.1:1/feed.xml");
        QCOMPARE(Updater::Config::standard().feedUrl, QUrl(QStringLiteral("http://127.0.0.1:1/feed.xml")));
        // Set but empty: a build without a feed.
        qputenv("ONDARI_UPDATE_FEED_URL", "");
        QVERIFY(Updater::Config::standard().feedUrl.isEmpty());
        qunsetenv("ONDARI_UPDATE_FEED_URL");
        QVERIFY(!Updater::Config::standard().currentVersion.isEmpty());
    }
};

ONDARI_WIDGET_TEST_MAIN(UpdateManagerTest)
#include "tst_updatemanager.moc"
