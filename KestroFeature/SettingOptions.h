#pragma once

#include "Platform.h"

#include <QString>

#include <optional>
#include <vector>

// The settings' option enumerations. Only raw values are stored.

enum class TimeoutOption { fiveSeconds, tenSeconds, fifteenSeconds };

// "default" is a keyword here, hence the trailing underscore.
enum class ConversionMode { silent, default_, automatic };

// Legacy service pair, read only by the one-time settings migration.
enum class StreamingServicePair {
    spotifyAppleMusic,
    spotifyYouTubeMusic,
    spotifyYandexMusic,
    appleMusicYouTubeMusic,
    appleMusicYandexMusic,
    youTubeMusicYandexMusic,
    askEachTime,
};

enum class SourceServiceOption {
    spotify,
    appleMusic,
    youtubeMusic,
    yandexMusic,
    tidal,
    soundcloud,
    anyService
};

enum class TargetServiceOption {
    spotify,
    appleMusic,
    youtubeMusic,
    yandexMusic,
    tidal,
    soundcloud,
    askEachTime,
    universalLink,
};

namespace SettingOptions {

template <typename E> const std::vector<E>& allCases();

// Exact match of the raw value (text compared whole and case-sensitively).
template <typename E> std::optional<E> fromRawValue(const QString& raw);
std::optional<TimeoutOption> timeoutFromRawValue(double seconds);

double rawValue(TimeoutOption option);
QString rawValue(ConversionMode option);
QString rawValue(StreamingServicePair option);
QString rawValue(SourceServiceOption option);
QString rawValue(TargetServiceOption option);

QString displayName(TimeoutOption option);
QString displayName(ConversionMode option);
QString displayName(StreamingServicePair option);
QString displayName(SourceServiceOption option);
QString displayName(TargetServiceOption option);

QString description(ConversionMode option);
std::optional<QString> subtitle(SourceServiceOption option);
std::optional<QString> subtitle(TargetServiceOption option);

std::optional<Platform> platform(SourceServiceOption option);
std::optional<Platform> platform(TargetServiceOption option);
SourceServiceOption sourceOption(Platform platform);
TargetServiceOption targetOption(Platform platform);

} // namespace SettingOptions
