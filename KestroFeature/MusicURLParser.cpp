#include "MusicURLParser.h"

#include "MusicPatterns.h"

std::optional<MusicURLParser::Match> MusicURLParser::parse(const QString& text) {
    for (Platform platform : Platforms::allCases()) {
        const QRegularExpression& re = MusicPatterns::regex(platform);
        if (!re.isValid()) {
            continue;
        }
        const QRegularExpressionMatch match = re.match(text);
        if (!match.hasMatch()) {
            continue;
        }
        QString url = match.captured(0);
        switch (platform) {
        case Platform::appleMusic:
            break; // the ?i= track selector is part of the link
        case Platform::youtubeMusic:
            if (const qsizetype amp = url.indexOf(QLatin1Char('&')); amp >= 0) {
                url.truncate(amp);
            }
            break;
        default:
            if (const qsizetype question = url.indexOf(QLatin1Char('?')); question >= 0) {
                url.truncate(question);
            }
            break;
        }
        if (url.toUtf8().size() > maxLinkBytes) {
            continue;
        }
        return Match{url, platform};
    }
    return std::nullopt;
}
