#include "SongLinkError.h"

#include "TextCounting.h"

namespace {

// The underlying text comes from the network and the service's answer, which can be megabytes
// long and hold line breaks: in a log line it is kept short and on that one line.
QString loggable(const QString& text) {
    constexpr qsizetype maxLength = 300;
    QString line = TextCounting::exceeds(text, maxLength)
                       ? TextCounting::prefix(text, maxLength) + QStringLiteral("...")
                       : text;
    for (QChar& c : line) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator) {
            c = QLatin1Char(' ');
        }
    }
    return line;
}

} // namespace

QString SongLinkError::errorDescription() const {
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("Network error");
    case Kind::serverError:
        return QStringLiteral("Service unavailable");
    case Kind::noTargetPlatformLink:
        return QStringLiteral("Not on ") + Platforms::displayName(m_platform);
    case Kind::decodingError:
        return QStringLiteral("Invalid response");
    case Kind::invalidURL:
        return QStringLiteral("Invalid URL");
    case Kind::songNotFound:
        return QStringLiteral("Song not found");
    case Kind::noAppleMusicLink:
        return QStringLiteral("Not on Apple Music");
    case Kind::noSpotifyLink:
        return QStringLiteral("Not on Spotify");
    case Kind::rateLimited:
        return QStringLiteral("Too many requests");
    case Kind::refused:
        return QStringLiteral("Request refused");
    }
    return {};
}

std::optional<QString> SongLinkError::recoverySuggestion() const {
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("Check your connection");
    case Kind::serverError:
        return QStringLiteral("Try again later");
    case Kind::noTargetPlatformLink:
    case Kind::noAppleMusicLink:
    case Kind::noSpotifyLink:
        return QStringLiteral("Song may not be available");
    case Kind::decodingError:
        return std::nullopt;
    case Kind::invalidURL:
    case Kind::songNotFound:
        return QStringLiteral("Check the link and try again");
    case Kind::rateLimited:
        return QStringLiteral("Wait a moment");
    case Kind::refused:
        return QStringLiteral("The service refused access");
    }
    return std::nullopt;
}

QString SongLinkError::logDescription() const {
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("networkError(%1)").arg(loggable(m_underlying));
    case Kind::serverError:
        return QStringLiteral("serverError(%1)").arg(m_status);
    case Kind::noTargetPlatformLink:
        return QStringLiteral("noTargetPlatformLink(%1)").arg(Platforms::rawValue(m_platform));
    case Kind::decodingError:
        return QStringLiteral("decodingError(%1)").arg(loggable(m_underlying));
    case Kind::invalidURL:
        return QStringLiteral("invalidURL");
    case Kind::songNotFound:
        return QStringLiteral("songNotFound");
    case Kind::noAppleMusicLink:
        return QStringLiteral("noAppleMusicLink");
    case Kind::noSpotifyLink:
        return QStringLiteral("noSpotifyLink");
    case Kind::rateLimited:
        return QStringLiteral("rateLimited");
    case Kind::refused:
        return QStringLiteral("refused(%1)").arg(m_status);
    }
    return {};
}

const char* SongLinkError::what() const noexcept {
    m_what = errorDescription().toUtf8();
    return m_what.constData();
}
