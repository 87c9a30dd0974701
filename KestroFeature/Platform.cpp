#include "Platform.h"

namespace {

struct PlatformInfo {
    Platform platform;
    const char* raw;
    const char* display;
    const char* linkKey;
    const char* provider;
};

constexpr std::array<PlatformInfo, 6> table{{
    {Platform::spotify, "spotify", "Spotify", "spotify", "spotify"},
    {Platform::appleMusic, "appleMusic", "Apple Music", "appleMusic", "itunes"},
    {Platform::youtubeMusic, "youtubeMusic", "YouTube Music", "youtubeMusic", "youtube"},
    {Platform::yandexMusic, "yandexMusic", "Yandex Music", "yandex", "yandex"},
    {Platform::tidal, "tidal", "Tidal", "tidal", "tidal"},
    {Platform::soundcloud, "soundcloud", "SoundCloud", "soundcloud", "soundcloud"},
}};

const PlatformInfo& info(Platform platform) {
    return table[static_cast<size_t>(platform)];
}

} // namespace

namespace Platforms {

const std::array<Platform, 6>& allCases() {
    static constexpr std::array<Platform, 6> cases{Platform::spotify,      Platform::appleMusic,
                                                   Platform::youtubeMusic, Platform::yandexMusic,
                                                   Platform::tidal,        Platform::soundcloud};
    return cases;
}

std::optional<Platform> fromRawValue(QStringView raw) {
    for (const PlatformInfo& entry : table) {
        if (raw == QLatin1String(entry.raw)) {
            return entry.platform;
        }
    }
    return std::nullopt;
}

QString rawValue(Platform platform) {
    return QString::fromLatin1(info(platform).raw);
}
QString displayName(Platform platform) {
    return QString::fromLatin1(info(platform).display);
}
QString songLinkKey(Platform platform) {
    return QString::fromLatin1(info(platform).linkKey);
}
QString apiProviderName(Platform platform) {
    return QString::fromLatin1(info(platform).provider);
}

} // namespace Platforms
