#include "MusicPatterns.h"

#include <array>

namespace MusicPatterns {

// Spotify's share links in most languages carry a locale segment before "track/".
const QString spotify =
    QStringLiteral(R"(https://open\.spotify\.com/(?:intl-[a-zA-Z_-]+/)?track/([a-zA-Z0-9]+))");
const QString appleMusic =
    QStringLiteral(R"(https://music\.apple\.com/[a-z]{2}/(album|song)/[^/\s]+/[0-9]+(\?i=[0-9]+)?)");
const QString youtubeMusic = QStringLiteral(R"(https://music\.youtube\.com/watch\?v=([a-zA-Z0-9_-]+))");
const QString yandexMusic = QStringLiteral(R"(https://music\.yandex\.(ru|com)/(album/[0-9]+/)?track/[0-9]+)");
const QString tidal = QStringLiteral(R"(https://(listen\.)?tidal\.com/(browse/)?track/[0-9]+)");
const QString soundcloud = QStringLiteral(R"(https://soundcloud\.com/[^/\s]+/[^/\s]+)");

const QString& pattern(Platform platform) {
    switch (platform) {
    case Platform::spotify:
        return spotify;
    case Platform::appleMusic:
        return appleMusic;
    case Platform::youtubeMusic:
        return youtubeMusic;
    case Platform::yandexMusic:
        return yandexMusic;
    case Platform::tidal:
        return tidal;
    case Platform::soundcloud:
        return soundcloud;
    }
    return spotify;
}

const QRegularExpression& regex(Platform platform) {
    static const std::array<QRegularExpression, 6> compiled = [] {
        std::array<QRegularExpression, 6> result;
        for (Platform p : Platforms::allCases()) {
            // \s means the Unicode White_Space characters; PCRE's own \s also takes U+180E,
            // which left that property long ago, so the slug class spells the set out.
            QString source = pattern(p);
            source.replace(QStringLiteral("[^/\\s]"), QStringLiteral("[^/\\t-\\r\\x{85}\\p{Z}]"));
            QRegularExpression re(source, QRegularExpression::UseUnicodePropertiesOption);
            re.optimize();
            result[static_cast<size_t>(p)] = re;
        }
        return result;
    }();
    return compiled[static_cast<size_t>(platform)];
}

} // namespace MusicPatterns
