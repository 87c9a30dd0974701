#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// The music services the program knows, in their fixed order.
enum class Platform { spotify, appleMusic, youtubeMusic, yandexMusic, tidal, soundcloud };

namespace Platforms {

const std::array<Platform, 6>& allCases();
// Exact, case-sensitive match of the raw value only.
std::optional<Platform> fromRawValue(QStringView raw);

QString rawValue(Platform platform);
QString displayName(Platform platform);
// Key of the service in an answer's linksByPlatform.
QString songLinkKey(Platform platform);
// apiProvider value that marks an entity of the service.
QString apiProviderName(Platform platform);

} // namespace Platforms

inline size_t qHash(Platform platform, size_t seed = 0) {
    return qHash(Platforms::rawValue(platform), seed);
}
