#include "Updater.h"

#include "UserDefaults.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QXmlStreamReader>

#include <QCoroNetworkReply>

#include <algorithm>
#include <memory>

#ifndef ONDARI_UPDATE_FEED_URL
#define ONDARI_UPDATE_FEED_URL ""
#endif
#ifndef ONDARI_VERSION
#define ONDARI_VERSION ""
#endif

using namespace std::chrono_literals;

const QString Updater::automaticChecksKey = QStringLiteral("SUEnableAutomaticChecks");
const QString Updater::lastCheckTimeKey = QStringLiteral("SULastCheckTime");

namespace {

const QString sparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");
constexpr int feedTimeoutMs = 30000;

bool isWebPage(const QUrl& url) {
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

// Digits compared as numbers of any length.
int compareNumbers(QStringView a, QStringView b) {
    while (a.size() > 1 && a.front() == u'0') {
        a = a.mid(1);
    }
    while (b.size() > 1 && b.front() == u'0') {
        b = b.mid(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b);
}

QStringList components(const QString& version) {
    static const QRegularExpression digits(QStringLiteral("\\d+"));
    QStringList parts;
    for (const QRegularExpressionMatch& match : digits.globalMatch(version)) {
        parts.append(match.captured());
    }
    return parts;
}

// One <item>; none when it names no version or is meant for another system.
std::optional<AppcastItem> readItem(QXmlStreamReader& xml, const QUrl& channelLink) {
    AppcastItem item;
    QString version;
    QString shortVersion;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QUrl link;
    QUrl enclosureUrl;
    bool otherSystem = false;
    while (xml.readNextStartElement()) {
        const QStringView ns = xml.namespaceUri();
        const QStringView name = xml.name();
        if (ns.isEmpty() && name == u"title") {
            item.title = xml.readElementText().trimmed();
        } else if (ns.isEmpty() && name == u"link") {
            link = QUrl(xml.readElementText().trimmed());
        } else if (ns == sparkleNamespace && name == u"version") {
            version = xml.readElementText().trimmed();
        } else if (ns == sparkleNamespace && name == u"shortVersionString") {
            shortVersion = xml.readElementText().trimmed();
        } else if (ns.isEmpty() && name == u"enclosure") {
            const QXmlStreamAttributes attributes = xml.attributes();
            enclosureUrl = QUrl(attributes.value(QStringLiteral("url")).toString().trimmed());
            enclosureVersion =
                attributes.value(sparkleNamespace, QStringLiteral("version")).toString().trimmed();
            enclosureShortVersion =
                attributes.value(sparkleNamespace, QStringLiteral("shortVersionString")).toString().trimmed();
            const QStringView os = attributes.value(sparkleNamespace, QStringLiteral("os"));
            otherSystem = !os.isEmpty() && os != u"linux";
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    item.version = version.isEmpty() ? enclosureVersion : version;
    if (item.version.isEmpty() || otherSystem) {
        return std::nullopt;
    }
    const QString display = shortVersion.isEmpty() ? enclosureShortVersion : shortVersion;
    item.displayVersion = display.isEmpty() ? item.version : display;
    for (const QUrl& candidate : {link, enclosureUrl, channelLink}) {
        if (isWebPage(candidate)) {
            item.downloadPage = candidate;
            break;
        }
    }
    return item;
}

QCoro::Task<UpdateCheckResult> fetchFeed(QNetworkAccessManager* network, QUrl feedUrl,
                                         QString currentVersion) {
    QNetworkRequest request(feedUrl);
    request.setTransferTimeout(feedTimeoutMs);
    QNetworkReply* reply = network->get(request);
    const auto release = qScopeGuard([guard = QPointer<QNetworkReply>(reply)] {
        if (guard) {
            guard->deleteLater();
        }
    });
    co_await reply;

    UpdateCheckResult result;
    if (reply->error() != QNetworkReply::NoError) {
        result.kind = UpdateCheckResult::Kind::failed;
        result.error = reply->errorString();
        co_return result;
    }
    const std::optional<QList<AppcastItem>> items = Updater::parseAppcast(reply->readAll());
    if (!items) {
        result.kind = UpdateCheckResult::Kind::failed;
        result.error = QStringLiteral("The update feed is not a readable appcast.");
        co_return result;
    }
    if (const std::optional<AppcastItem> newest = Updater::newestUpdate(*items, currentVersion)) {
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
    const UpdateCheckResult result = co_await fetchFeed(m_network, m_config.feedUrl, m_config.currentVersion);
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

int Updater::compareVersions(const QString& a, const QString& b) {
    const QStringList left = components(a);
    const QStringList right = components(b);
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QString l = i < left.size() ? left[i] : QStringLiteral("0");
        const QString r = i < right.size() ? right[i] : QStringLiteral("0");
        if (const int order = compareNumbers(l, r); order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::optional<QList<AppcastItem>> Updater::parseAppcast(const QByteArray& feed) {
    QXmlStreamReader xml(feed);
    if (!xml.readNextStartElement() || xml.name() != u"rss" || !xml.namespaceUri().isEmpty()) {
        return std::nullopt;
    }
    QList<AppcastItem> items;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        QUrl channelLink;
        while (xml.readNextStartElement()) {
            if (xml.namespaceUri().isEmpty() && xml.name() == u"link") {
                channelLink = QUrl(xml.readElementText().trimmed());
            } else if (xml.namespaceUri().isEmpty() && xml.name() == u"item") {
                if (std::optional<AppcastItem> item = readItem(xml, channelLink)) {
                    items.append(*item);
                }
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    // Reads to the end so that a feed cut short is caught.
    while (!xml.atEnd()) {
        xml.readNext();
    }
    if (xml.hasError()) {
        return std::nullopt;
    }
    return items;
}

std::optional<AppcastItem> Updater::newestUpdate(const QList<AppcastItem>& items,
                                                 const QString& currentVersion) {
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : items) {
        if (compareVersions(item.version, currentVersion) > 0 &&
            (!newest || compareVersions(item.version, newest->version) > 0)) {
            newest = item;
        }
    }
    return newest;
}
