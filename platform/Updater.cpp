#include "Updater.h"

#include "OndariVersion.h"
#include "ReplyLimits.h"
#include "TransportRule.h"
#include "UserDefaults.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>

#include <QCoroNetworkReply>

#include <algorithm>
#include <memory>

#ifndef ONDARI_UPDATE_FEED_URL
#define ONDARI_UPDATE_FEED_URL ""
#endif

using namespace std::chrono_literals;

const QString Updater::automaticChecksKey = QStringLiteral("SUEnableAutomaticChecks");
const QString Updater::lastCheckTimeKey = QStringLiteral("SULastCheckTime");

namespace {

UpdateCheckResult failure(QString error) {
    UpdateCheckResult result;
    result.kind = UpdateCheckResult::Kind::failed;
    result.error = std::move(error);
    return result;
}

QCoro::Task<UpdateCheckResult> fetchFeed(QNetworkAccessManager* network, QUrl feedUrl, QString currentVersion,
                                         std::chrono::milliseconds timeout) {
    // A local feed is opened on this thread: a FIFO or a device there would hold it for good.
    if (feedUrl.isLocalFile() && !QFileInfo(feedUrl.toLocalFile()).isFile()) {
        co_return failure(QStringLiteral("The update feed is not a file."));
    }
    if (!feedUrl.isLocalFile() && !TransportRule::allows(feedUrl)) {
        co_return failure(QStringLiteral("The update feed is served over plain HTTP from another machine."));
    }
    QNetworkReply* reply = network->get(TransportRule::request(feedUrl));
    TransportRule::guard(reply);
    const auto release = qScopeGuard([guard = QPointer<QNetworkReply>(reply)] {
        if (guard) {
            guard->deleteLater();
        }
    });
    // The menu item stays disabled while a check runs, so a trickling or endless feed must end.
    const ReplyLimits limits(reply, timeout, Updater::maxFeedBytes);
    co_await reply;

    if (limits.overran()) {
        co_return failure(QStringLiteral("The update feed did not arrive within %1 seconds.")
                              .arg(std::chrono::duration<double>(timeout).count()));
    }
    if (limits.oversized()) {
        co_return failure(
            QStringLiteral("The update feed is larger than %1 bytes.").arg(Updater::maxFeedBytes));
    }
    if (reply->error() != QNetworkReply::NoError) {
        co_return failure(reply->errorString());
    }
    const std::optional<QList<AppcastItem>> items = Appcast::parse(reply->readAll());
    if (!items) {
        co_return failure(QStringLiteral("The update feed is not a readable appcast."));
    }
    UpdateCheckResult result;
    if (const std::optional<AppcastItem> newest = Appcast::newestUpdate(*items, currentVersion)) {
        result.kind = UpdateCheckResult::Kind::updateAvailable;
        result.item = *newest;
    }
    co_return result;
}

} // namespace

Updater::Config Updater::Config::standard() {
    Config config;
    config.feedUrl = QUrl(qEnvironmentVariableIsSet("ONDARI_UPDATE_FEED_URL")
                              ? qEnvironmentVariable("ONDARI_UPDATE_FEED_URL")
                              : QStringLiteral(ONDARI_UPDATE_FEED_URL));
    config.currentVersion = QCoreApplication::applicationVersion();
    if (config.currentVersion.isEmpty()) {
        config.currentVersion = QStringLiteral(ONDARI_VERSION);
    }
    return config;
}

Updater::Updater(Config config, UserDefaults& defaults, QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_defaults(defaults),
      m_network(new QNetworkAccessManager(this)) {
    if (!m_config.feedUrl.isEmpty() && !m_config.feedUrl.isLocalFile() &&
        !TransportRule::allows(m_config.feedUrl)) {
        qWarning("Update feed refused: plain HTTP is used only with this machine");
    }
    m_schedule.setSingleShot(true);
    // A coarse timer may drift by 5%: over an hour on a day's interval.
    m_schedule.setTimerType(Qt::PreciseTimer);
    connect(&m_schedule, &QTimer::timeout, this, &Updater::backgroundCheckDue);
}

Updater::~Updater() {
    *m_alive = false;
    // Ends a running transfer while this object is still whole.
    delete m_network;
    m_network = nullptr;
}

void Updater::start() {
    if (m_started) {
        return;
    }
    m_started = true;
    setCanCheck(true);
    scheduleNextCheck();
}

bool Updater::automaticallyChecksForUpdates() const {
    return m_defaults.boolValue(automaticChecksKey);
}

std::optional<QDateTime> Updater::lastCheckTime() const {
    const std::optional<QString> stored = m_defaults.stringValue(lastCheckTimeKey);
    if (!stored) {
        return std::nullopt;
    }
    const QDateTime time = QDateTime::fromString(*stored, Qt::ISODateWithMs);
    return time.isValid() ? std::optional<QDateTime>(time) : std::nullopt;
}

std::optional<std::chrono::milliseconds> Updater::nextCheckIn() const {
    if (!m_schedule.isActive()) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(m_schedule.remainingTime());
}

void Updater::checkForUpdates() {
    if (!m_started || m_checking) {
        return;
    }
    if (m_config.feedUrl.isEmpty()) {
        emit checkFinished({UpdateCheckResult::Kind::notConfigured, {}, {}}, true);
        return;
    }
    runCheck(true);
}

void Updater::scheduleNextCheck() {
    m_schedule.stop();
    if (!m_started || m_config.feedUrl.isEmpty()) {
        return;
    }
    std::chrono::milliseconds due = m_config.firstCheckDelay;
    if (const std::optional<QDateTime> last = lastCheckTime()) {
        const auto remaining = std::chrono::milliseconds(QDateTime::currentDateTimeUtc().msecsTo(
            last->addMSecs(static_cast<qint64>(m_config.checkInterval.count()))));
        // A clock set back never delays the check past one interval.
        due = std::max(m_config.firstCheckDelay, std::min(remaining, m_config.checkInterval));
    }
    m_schedule.start(due);
}

void Updater::backgroundCheckDue() {
    if (m_checking) {
        return; // the running check schedules the next one
    }
    if (!automaticallyChecksForUpdates()) {
        // Looked at again after an interval: the setting may be turned on meanwhile.
        m_schedule.start(m_config.checkInterval);
        return;
    }
    runCheck(false);
}

QCoro::Task<> Updater::runCheck(bool userInitiated) {
    m_checking = true;
    setCanCheck(false);
    const std::shared_ptr<bool> alive = m_alive;
    const UpdateCheckResult result =
        co_await fetchFeed(m_network, m_config.feedUrl, m_config.currentVersion, m_config.feedTimeout);
    if (!*alive) {
        co_return;
    }
    m_checking = false;
    m_defaults.setString(lastCheckTimeKey, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    setCanCheck(true);
    scheduleNextCheck();
    emit checkFinished(result, userInitiated);
}

void Updater::setCanCheck(bool canCheck) {
    m_canCheck = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}
