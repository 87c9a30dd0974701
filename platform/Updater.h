#pragma once

#include "Appcast.h"

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
        // Bounds the whole exchange with the feed, however slowly its bytes arrive.
        std::chrono::milliseconds feedTimeout = std::chrono::seconds(30);

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

    // A feed larger than this is not read.
    static constexpr qint64 maxFeedBytes = 2 * 1024 * 1024;

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
