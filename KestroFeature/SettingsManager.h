#pragma once

#include "LoginItem.h"
#include "Platform.h"
#include "SettingOptions.h"

#include <QObject>

#include <functional>
#include <optional>

class UserDefaults;

// Every user setting: loaded (and migrated once) at creation, written the moment it is
// assigned. Each assignment announces itself, also when the value is unchanged.
class SettingsManager : public QObject {
    Q_OBJECT

public:
    using TimeoutOption = ::TimeoutOption;
    using ConversionMode = ::ConversionMode;
    using StreamingServicePair = ::StreamingServicePair;
    using SourceServiceOption = ::SourceServiceOption;
    using TargetServiceOption = ::TargetServiceOption;

    explicit SettingsManager(UserDefaults& defaults, LoginItem loginItem = LoginItem::mainApp(),
                             QObject* parent = nullptr);

    static SettingsManager& shared();

    double toastTimeout() const { return m_toastTimeout; }
    bool showURLPreview() const { return m_showURLPreview; }
    bool isEnabled() const { return m_isEnabled; }
    ConversionMode conversionMode() const { return m_conversionMode; }
    StreamingServicePair streamingServicePair() const { return m_streamingServicePair; }
    bool hasSeenMenuBarTooltip() const { return m_hasSeenMenuBarTooltip; }
    SourceServiceOption sourceService() const { return m_sourceService; }
    TargetServiceOption targetService() const { return m_targetService; }
    bool isBidirectional() const { return m_isBidirectional; }
    // The first-run onboarding ended with its music page saved.
    bool hasCompletedOnboarding() const { return m_hasCompletedOnboarding; }

    void setToastTimeout(double seconds);
    void setShowURLPreview(bool on);
    void setIsEnabled(bool on);
    void setConversionMode(ConversionMode mode);
    void setStreamingServicePair(StreamingServicePair pair);
    void setHasSeenMenuBarTooltip(bool seen);
    void setSourceService(SourceServiceOption option);
    void setTargetService(TargetServiceOption option);
    void setIsBidirectional(bool on);
    void setHasCompletedOnboarding(bool completed);

    // Is a recognised link of this service to be picked up?
    bool shouldDetect(Platform platform) const;
    // The service a picked-up link of this service becomes; none when there is no concrete target.
    std::optional<Platform> targetPlatform(Platform platform) const;

    bool launchAtLogin() const;
    void setLaunchAtLogin(bool enabled);

    // Delivers the current isEnabled value once (queued), then every later assignment (queued).
    // Disconnecting the returned connection ends the later deliveries.
    QMetaObject::Connection subscribeIsEnabled(QObject* context, std::function<void(bool)> handler);

signals:
    // Any setting was assigned.
    void changed();
    void toastTimeoutChanged(double seconds);
    void showURLPreviewChanged(bool on);
    void isEnabledChanged(bool on);
    void conversionModeChanged(ConversionMode mode);
    void streamingServicePairChanged(StreamingServicePair pair);
    void hasSeenMenuBarTooltipChanged(bool seen);
    void sourceServiceChanged(SourceServiceOption option);
    void targetServiceChanged(TargetServiceOption option);
    void isBidirectionalChanged(bool on);
    void hasCompletedOnboardingChanged(bool completed);

private:
    void load();
    void loadServiceChoice();
    void migrateServiceChoice();

    UserDefaults& m_defaults;
    LoginItem m_loginItem;

    double m_toastTimeout = 10.0;
    bool m_showURLPreview = true;
    bool m_isEnabled = true;
    ConversionMode m_conversionMode = ConversionMode::default_;
    StreamingServicePair m_streamingServicePair = StreamingServicePair::spotifyAppleMusic;
    bool m_hasSeenMenuBarTooltip = false;
    SourceServiceOption m_sourceService = SourceServiceOption::spotify;
    TargetServiceOption m_targetService = TargetServiceOption::appleMusic;
    bool m_isBidirectional = true;
    bool m_hasCompletedOnboarding = false;
};
