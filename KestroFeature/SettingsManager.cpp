#include "SettingsManager.h"

#include "DebugLog.h"
#include "UserDefaults.h"

#include <QTimer>

namespace {
namespace Keys {
const QString toastTimeout = QStringLiteral("toastTimeout");
const QString showURLPreview = QStringLiteral("showURLPreview");
const QString isEnabled = QStringLiteral("isEnabled");
const QString conversionMode = QStringLiteral("conversionMode");
const QString streamingServicePair = QStringLiteral("streamingServicePair");
const QString hasSeenMenuBarTooltip = QStringLiteral("hasSeenMenuBarTooltip");
const QString sourceService = QStringLiteral("sourceService");
const QString targetService = QStringLiteral("targetService");
const QString isBidirectional = QStringLiteral("isBidirectional");
const QString hasMigratedServiceSettings = QStringLiteral("hasMigratedServiceSettings");
const QString hasCompletedOnboarding = QStringLiteral("hasCompletedOnboarding");
} // namespace Keys
} // namespace

SettingsManager::SettingsManager(UserDefaults& defaults, LoginItem loginItem, QObject* parent)
    : QObject(parent), m_defaults(defaults), m_loginItem(std::move(loginItem)) {
    load();
}

SettingsManager& SettingsManager::shared() {
    static SettingsManager* instance = new SettingsManager(UserDefaults::standard());
    return *instance;
}

void SettingsManager::load() {
    const double timeout = m_defaults.doubleValue(Keys::toastTimeout);
    m_toastTimeout = timeout > 0 ? timeout : 10.0; // also catches NaN
    m_showURLPreview =
        m_defaults.hasValue(Keys::showURLPreview) ? m_defaults.boolValue(Keys::showURLPreview) : true;
    m_isEnabled = m_defaults.hasValue(Keys::isEnabled) ? m_defaults.boolValue(Keys::isEnabled) : true;
    m_conversionMode = SettingOptions::fromRawValue<ConversionMode>(
                           m_defaults.stringValue(Keys::conversionMode).value_or(QString()))
                           .value_or(ConversionMode::default_);
    m_streamingServicePair = SettingOptions::fromRawValue<StreamingServicePair>(
                                 m_defaults.stringValue(Keys::streamingServicePair).value_or(QString()))
                                 .value_or(StreamingServicePair::spotifyAppleMusic);
    m_hasSeenMenuBarTooltip = m_defaults.hasValue(Keys::hasSeenMenuBarTooltip)
                                  ? m_defaults.boolValue(Keys::hasSeenMenuBarTooltip)
                                  : false;
    m_hasCompletedOnboarding = m_defaults.boolValue(Keys::hasCompletedOnboarding);
    m_sourceService = SourceServiceOption::spotify;
    m_targetService = TargetServiceOption::appleMusic;
    m_isBidirectional = true;

    if (m_defaults.boolValue(Keys::hasMigratedServiceSettings)) {
        loadServiceChoice();
    } else {
        migrateServiceChoice();
    }
}

void SettingsManager::loadServiceChoice() {
    if (const auto raw = m_defaults.stringValue(Keys::sourceService)) {
        if (const auto option = SettingOptions::fromRawValue<SourceServiceOption>(*raw)) {
            setSourceService(*option);
        }
    }
    if (const auto raw = m_defaults.stringValue(Keys::targetService)) {
        if (const auto option = SettingOptions::fromRawValue<TargetServiceOption>(*raw)) {
            setTargetService(*option);
        }
    }
    if (m_defaults.hasValue(Keys::isBidirectional)) {
        setIsBidirectional(m_defaults.boolValue(Keys::isBidirectional));
    }
}

void SettingsManager::migrateServiceChoice() {
    SourceServiceOption source = SourceServiceOption::spotify;
    TargetServiceOption target = TargetServiceOption::appleMusic;
    bool bidirectional = true;
    switch (m_streamingServicePair) {
    case StreamingServicePair::spotifyAppleMusic:
        break;
    case StreamingServicePair::spotifyYouTubeMusic:
        target = TargetServiceOption::youtubeMusic;
        break;
    case StreamingServicePair::spotifyYandexMusic:
        target = TargetServiceOption::yandexMusic;
        break;
    case StreamingServicePair::appleMusicYouTubeMusic:
        source = SourceServiceOption::appleMusic;
        target = TargetServiceOption::youtubeMusic;
        break;
    case StreamingServicePair::appleMusicYandexMusic:
        source = SourceServiceOption::appleMusic;
        target = TargetServiceOption::yandexMusic;
        break;
    case StreamingServicePair::youTubeMusicYandexMusic:
        source = SourceServiceOption::youtubeMusic;
        target = TargetServiceOption::yandexMusic;
        break;
    case StreamingServicePair::askEachTime:
        source = SourceServiceOption::anyService;
        target = TargetServiceOption::askEachTime;
        bidirectional = false;
        break;
    }
    setSourceService(source);
    setTargetService(target);
    setIsBidirectional(bidirectional);
    m_defaults.setString(Keys::sourceService, SettingOptions::rawValue(source));
    m_defaults.setString(Keys::targetService, SettingOptions::rawValue(target));
    m_defaults.setBool(Keys::isBidirectional, bidirectional);
    m_defaults.setBool(Keys::hasMigratedServiceSettings, true);
}

void SettingsManager::setToastTimeout(double seconds) {
    m_toastTimeout = seconds;
    emit changed();
    emit toastTimeoutChanged(seconds);
    m_defaults.setDouble(Keys::toastTimeout, seconds);
}

void SettingsManager::setShowURLPreview(bool on) {
    m_showURLPreview = on;
    emit changed();
    emit showURLPreviewChanged(on);
    m_defaults.setBool(Keys::showURLPreview, on);
}

void SettingsManager::setIsEnabled(bool on) {
    m_isEnabled = on;
    emit changed();
    emit isEnabledChanged(on);
    m_defaults.setBool(Keys::isEnabled, on);
}

void SettingsManager::setConversionMode(ConversionMode mode) {
    m_conversionMode = mode;
    emit changed();
    emit conversionModeChanged(mode);
    m_defaults.setString(Keys::conversionMode, SettingOptions::rawValue(mode));
}

void SettingsManager::setStreamingServicePair(StreamingServicePair pair) {
    m_streamingServicePair = pair;
    emit changed();
    emit streamingServicePairChanged(pair);
    m_defaults.setString(Keys::streamingServicePair, SettingOptions::rawValue(pair));
}

void SettingsManager::setHasSeenMenuBarTooltip(bool seen) {
    m_hasSeenMenuBarTooltip = seen;
    emit changed();
    emit hasSeenMenuBarTooltipChanged(seen);
    m_defaults.setBool(Keys::hasSeenMenuBarTooltip, seen);
}

void SettingsManager::setHasCompletedOnboarding(bool completed) {
    m_hasCompletedOnboarding = completed;
    emit changed();
    emit hasCompletedOnboardingChanged(completed);
    m_defaults.setBool(Keys::hasCompletedOnboarding, completed);
}

void SettingsManager::setSourceService(SourceServiceOption option) {
    m_sourceService = option;
    emit changed();
    emit sourceServiceChanged(option);
    m_defaults.setString(Keys::sourceService, SettingOptions::rawValue(option));
}

void SettingsManager::setTargetService(TargetServiceOption option) {
    m_targetService = option;
    emit changed();
    emit targetServiceChanged(option);
    m_defaults.setString(Keys::targetService, SettingOptions::rawValue(option));
}

void SettingsManager::setIsBidirectional(bool on) {
    m_isBidirectional = on;
    emit changed();
    emit isBidirectionalChanged(on);
    m_defaults.setBool(Keys::isBidirectional, on);
}

bool SettingsManager::shouldDetect(Platform platform) const {
    const std::optional<Platform> source = SettingOptions::platform(m_sourceService);
    const std::optional<Platform> target = SettingOptions::platform(m_targetService);
    if (m_sourceService == SourceServiceOption::anyService) {
        return !target || platform != *target;
    }
    if (source && platform == *source) {
        return true;
    }
    if (m_isBidirectional && target) {
        return platform == *target;
    }
    return false;
}

std::optional<Platform> SettingsManager::targetPlatform(Platform platform) const {
    const std::optional<Platform> source = SettingOptions::platform(m_sourceService);
    const std::optional<Platform> target = SettingOptions::platform(m_targetService);
    if (m_sourceService == SourceServiceOption::anyService) {
        return target;
    }
    if (source && platform == *source) {
        return target;
    }
    if (m_isBidirectional && target && platform == *target) {
        return source;
    }
    return std::nullopt;
}

bool SettingsManager::launchAtLogin() const {
    return m_loginItem.isEnabled();
}

void SettingsManager::setLaunchAtLogin(bool enabled) {
    QString error;
    const bool ok = enabled ? m_loginItem.registerItem(&error) : m_loginItem.unregisterItem(&error);
    if (!ok) {
        debugLog(QStringLiteral("Failed to %1 launch at login: %2")
                     .arg(enabled ? QStringLiteral("enable") : QStringLiteral("disable"), error));
    }
}

QMetaObject::Connection SettingsManager::subscribeIsEnabled(QObject* context,
                                                            std::function<void(bool)> handler) {
    // The value at the time of subscribing, delivered later like every other value.
    QTimer::singleShot(0, context, [handler, current = isEnabled()] { handler(current); });
    return connect(this, &SettingsManager::isEnabledChanged, context, handler, Qt::QueuedConnection);
}
