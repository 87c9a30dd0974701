#pragma once

#include "Platform.h"

#include <QString>

#include <exception>
#include <optional>

// The link-conversion client's one error type.
class SongLinkError : public std::exception {
public:
    enum class Kind {
        networkError,
        serverError,
        noTargetPlatformLink,
        decodingError,
        invalidURL,
        songNotFound,
        noAppleMusicLink,
        noSpotifyLink,
        rateLimited,
        // The service turned the request down (401, 403, 410): no fault of the connection.
        refused,
    };

    static SongLinkError networkError(const QString& underlying) { return {Kind::networkError, underlying}; }
    static SongLinkError serverError(int status) {
        SongLinkError e(Kind::serverError, {});
        e.m_status = status;
        return e;
    }
    static SongLinkError noTargetPlatformLink(Platform target) {
        SongLinkError e(Kind::noTargetPlatformLink, {});
        e.m_platform = target;
        return e;
    }
    static SongLinkError decodingError(const QString& underlying) {
        return {Kind::decodingError, underlying};
    }
    static SongLinkError invalidURL() { return {Kind::invalidURL, {}}; }
    static SongLinkError songNotFound() { return {Kind::songNotFound, {}}; }
    static SongLinkError noAppleMusicLink() { return {Kind::noAppleMusicLink, {}}; }
    static SongLinkError noSpotifyLink() { return {Kind::noSpotifyLink, {}}; }
    static SongLinkError rateLimited() { return {Kind::rateLimited, {}}; }
    static SongLinkError refused(int status) {
        SongLinkError e(Kind::refused, {});
        e.m_status = status;
        return e;
    }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    Platform platform() const { return m_platform; }
    QString underlying() const { return m_underlying; }

    // The short text shown in the toast.
    QString errorDescription() const;
    // The hint shown under it; none for a decoding error.
    std::optional<QString> recoverySuggestion() const;
    // The form used in log lines: the case name and, where there is one, the payload (an
    // underlying text cut to 300 characters, with line breaks and other controls as blanks).
    QString logDescription() const;

    const char* what() const noexcept override;

private:
    SongLinkError(Kind kind, QString underlying) : m_kind(kind), m_underlying(std::move(underlying)) {}

    Kind m_kind;
    QString m_underlying;
    int m_status = 0;
    Platform m_platform = Platform::appleMusic;
    mutable QByteArray m_what;
};
