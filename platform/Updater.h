#pragma once

#include <QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class UserDefaults;

// One release listed in an appcast feed.
struct AppcastItem {
    QString title;
    // Compared against the running version.
    QString version;
    // Shown to the user; the version when the feed gives none.
    QString displayVersion;
    // Where the user gets it: the item's link, else its enclosure.
    QUrl downloadPage;

    bool operator==(const AppcastItem&) const = default;
};

struct UpdateCheckResult {
    enum class Kind { upToDate, updateAvailable, failed, notConfigured };

    Kind kind = Kind::upToDate;
    AppcastItem item; // updateAvailable only
    QString error;    // failed only
};

// Checks an appcast feed (RSS whose items carry sparkle:version and
// sparkle:shortVersionString, on the item or its enclosure) for a newer release: on request,
// and once a day in the background while automatic checks are on.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // The updater's own key in the user defaults.
    static const QString automaticChecksKey; // "SUEnableAutomaticChecks"
    static const QString lastCheckTimeKey;   // "SULastCheckTime"

    struct Config {
        // Empty: this build has no feed and cannot check.
        QUrl feedUrl;
        QString currentVersion;
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        // Keeps the first background check out of the program's start.
        std::chrono::milliseconds firstCheckDelay = std::chrono::seconds(60);

        // The build's feed address, replaced by ONDARI_UPDATE_FEED_URL in the environment,
        // and the build's version.
        static Config standard();
    };

    Updater(Config config, UserDefaults& defaults, QObject* parent = nullptr);
    ~Updater() override;

    // Allows checks and schedules the background ones.
    void start();

    bool canCheckForUpdates() const { return m_canCheck; }
    bool automaticallyChecksForUpdates() const;
    const Config& config() const { return m_config; }
    std::optional<QDateTime> lastCheckTime() const;
    // When the next background check runs; none while none is scheduled.
    std::optional<std::chrono::milliseconds> nextCheckIn() const;

    // A check the user asked for; ignored while a check runs.
    void checkForUpdates();

    // Numeric components compared in turn, a missing one counting as 0:
    // negative, 0 or positive as a is older than, the same as or newer than b.
    static int compareVersions(const QString& a, const QString& b);
    // The listed releases; none for a feed that cannot be read.
    static std::optional<QList<AppcastItem>> parseAppcast(const QByteArray& feed);
    // The newest release newer than the current version, if any.
    static std::optional<AppcastItem> newestUpdate(const QList<AppcastItem>& items,
                                                   const QString& currentVersion);

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    void checkFinished(const UpdateCheckResult& result, bool userInitiated);

private:
    QCoro::Task<> runCheck(bool userInitiated);
    void scheduleNextCheck();
    void backgroundCheckDue();
    void setCanCheck(bool canCheck);

    Config m_config;
    UserDefaults& m_defaults;
    QNetworkAccessManager* m_network;
    QTimer m_schedule;
    bool m_started = false;
    bool m_checking = false;
    bool m_canCheck = false;
    // Cleared on destruction: a transfer ended by it reports nothing.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
