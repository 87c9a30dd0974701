#include "SettingOptions.h"

#include <array>
#include <cmath>

namespace {

struct Row {
    const char* raw;
    const char* display;
    const char* extra; // description or subtitle; nullptr for none
};

constexpr std::array<Row, 3> modeRows{{
    {"silent", "Silent", "Manual conversion from the tray"},
    {"default", "Default", "Show toast with prompt"},
    {"automatic", "Automatic", "Auto-convert immediately"},
}};

constexpr std::array<Row, 7> pairRows{{
    {"spotifyAppleMusic", "Spotify <> Apple Music", nullptr},
    {"spotifyYouTubeMusic", "Spotify <> YouTube Music", nullptr},
    {"spotifyYandexMusic", "Spotify <> Yandex Music", nullptr},
    {"appleMusicYouTubeMusic", "Apple Music <> YouTube Music", nullptr},
    {"appleMusicYandexMusic", "Apple Music <> Yandex Music", nullptr},
    {"youTubeMusicYandexMusic", "YouTube Music <> Yandex Music", nullptr},
    {"askEachTime", "Ask Each Time", nullptr},
}};

constexpr std::array<Row, 7> sourceRows{{
    {"spotify", "Spotify", nullptr},
    {"appleMusic", "Apple Music", nullptr},
    {"youtubeMusic", "YouTube Music", nullptr},
    {"yandexMusic", "Yandex Music", nullptr},
    {"tidal", "Tidal", nullptr},
    {"soundcloud", "SoundCloud", nullptr},
    {"anyService", "Any Service", "Detect URLs from all music services"},
}};

constexpr std::array<Row, 8> targetRows{{
    {"spotify", "Spotify", nullptr},
    {"appleMusic", "Apple Music", nullptr},
    {"youtubeMusic", "YouTube Music", nullptr},
    {"yandexMusic", "Yandex Music", nullptr},
    {"tidal", "Tidal", nullptr},
    {"soundcloud", "SoundCloud", nullptr},
    {"askEachTime", "Ask Each Time", "Choose the target service each time"},
    {"universalLink", "Universal Link", "A page with links to all music services"},
}};

template <typename E> const auto& rows();
template <> const auto& rows<ConversionMode>() {
    return modeRows;
}
template <> const auto& rows<StreamingServicePair>() {
    return pairRows;
}
template <> const auto& rows<SourceServiceOption>() {
    return sourceRows;
}
template <> const auto& rows<TargetServiceOption>() {
    return targetRows;
}

template <typename E> const Row& row(E option) {
    return rows<E>()[static_cast<size_t>(option)];
}

std::optional<QString> extra(const Row& r) {
    return r.extra ? std::optional<QString>(QString::fromUtf8(r.extra)) : std::nullopt;
}

template <typename E> std::vector<E> enumerate(size_t count) {
    std::vector<E> result;
    for (size_t i = 0; i < count; ++i) {
        result.push_back(static_cast<E>(i));
    }
    return result;
}

} // namespace

namespace SettingOptions {

template <> const std::vector<TimeoutOption>& allCases() {
    static const auto cases = enumerate<TimeoutOption>(3);
    return cases;
}
template <> const std::vector<ConversionMode>& allCases() {
    static const auto cases = enumerate<ConversionMode>(modeRows.size());
    return cases;
}
template <> const std::vector<StreamingServicePair>& allCases() {
    static const auto cases = enumerate<StreamingServicePair>(pairRows.size());
    return cases;
}
template <> const std::vector<SourceServiceOption>& allCases() {
    static const auto cases = enumerate<SourceServiceOption>(sourceRows.size());
    return cases;
}
template <> const std::vector<TargetServiceOption>& allCases() {
    static const auto cases = enumerate<TargetServiceOption>(targetRows.size());
    return cases;
}

template <typename E> std::optional<E> fromRawValue(const QString& raw) {
    for (E option : allCases<E>()) {
        if (raw == QLatin1String(row(option).raw)) {
            return option;
        }
    }
    return std::nullopt;
}
template std::optional<ConversionMode> fromRawValue<ConversionMode>(const QString&);
template std::optional<StreamingServicePair> fromRawValue<StreamingServicePair>(const QString&);
template std::optional<SourceServiceOption> fromRawValue<SourceServiceOption>(const QString&);
template std::optional<TargetServiceOption> fromRawValue<TargetServiceOption>(const QString&);

std::optional<TimeoutOption> timeoutFromRawValue(double seconds) {
    for (TimeoutOption option : allCases<TimeoutOption>()) {
        if (rawValue(option) == seconds) { // NaN equals nothing
            return option;
        }
    }
    return std::nullopt;
}

double rawValue(TimeoutOption option) {
    switch (option) {
    case TimeoutOption::fiveSeconds:
        return 5.0;
    case TimeoutOption::tenSeconds:
        return 10.0;
    case TimeoutOption::fifteenSeconds:
        return 15.0;
    }
    return 10.0;
}
QString rawValue(ConversionMode option) {
    return QString::fromUtf8(row(option).raw);
}
QString rawValue(StreamingServicePair option) {
    return QString::fromUtf8(row(option).raw);
}
QString rawValue(SourceServiceOption option) {
    return QString::fromUtf8(row(option).raw);
}
QString rawValue(TargetServiceOption option) {
    return QString::fromUtf8(row(option).raw);
}

QString displayName(TimeoutOption option) {
    return QStringLiteral("%1 seconds").arg(static_cast<int>(rawValue(option)));
}
QString displayName(ConversionMode option) {
    return QString::fromUtf8(row(option).display);
}
QString displayName(StreamingServicePair option) {
    return QString::fromUtf8(row(option).display);
}
QString displayName(SourceServiceOption option) {
    return QString::fromUtf8(row(option).display);
}
QString displayName(TargetServiceOption option) {
    return QString::fromUtf8(row(option).display);
}

QString description(ConversionMode option) {
    return QString::fromUtf8(row(option).extra);
}
std::optional<QString> subtitle(SourceServiceOption option) {
    return extra(row(option));
}
std::optional<QString> subtitle(TargetServiceOption option) {
    return extra(row(option));
}

// The first six cases of both service options are the services, in the same order.
std::optional<Platform> platform(SourceServiceOption option) {
    const auto index = static_cast<size_t>(option);
    return index < 6 ? std::optional<Platform>(Platforms::allCases()[index]) : std::nullopt;
}
std::optional<Platform> platform(TargetServiceOption option) {
    const auto index = static_cast<size_t>(option);
    return index < 6 ? std::optional<Platform>(Platforms::allCases()[index]) : std::nullopt;
}
SourceServiceOption sourceOption(Platform platform) {
    return static_cast<SourceServiceOption>(platform);
}
TargetServiceOption targetOption(Platform platform) {
    return static_cast<TargetServiceOption>(platform);
}

} // namespace SettingOptions
