#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// The link-conversion API's answer. Every field is optional; null equals absent.
struct PlatformLink {
    std::optional<QString> url;
    std::optional<QString> nativeAppUriMobile;
    std::optional<QString> nativeAppUriDesktop;
    std::optional<QString> entityUniqueId;
};

struct SongEntity {
    std::optional<QString> id;
    std::optional<QString> type;
    std::optional<QString> title;
    std::optional<QString> artistName;
    std::optional<QString> thumbnailUrl;
    std::optional<qint64> thumbnailWidth;
    std::optional<qint64> thumbnailHeight;
    std::optional<QString> apiProvider;
    std::optional<QStringList> platforms;
};

struct SongLinkResponse {
    std::optional<QString> entityUniqueId;
    std::optional<QString> userCountry;
    std::optional<QString> pageUrl;
    // Iterated in key order.
    std::optional<QMap<QString, PlatformLink>> linksByPlatform;
    std::optional<QMap<QString, SongEntity>> entitiesByUniqueId;

    struct DecodingError {
        QString message;
    };

    // Texts of an answer are cut to this many user-perceived characters, and to this many UTF-16
    // code units (a character may join thousands): the toast elides what it shows at every
    // paint, and a server may send megabytes of title.
    static constexpr qsizetype maxTextCharacters = 500;
    static constexpr qsizetype maxTextLength = 2000;
    static constexpr qsizetype maxLinkBytes = 2048;

    // Whether a text from an answer may be used as a link (the converted link, the song page, the
    // artwork): an absolute http or https URL with a host, free of white space and control or
    // other invisible characters, at most maxLinkBytes of UTF-8. Anything else could put a script,
    // a local file or a line of shell on the user's clipboard.
    static bool isUsableLink(const QString& text);

    // Strict decoding: a wrong type anywhere fails the whole answer; unknown keys are ignored.
    // A link field (url, pageUrl, thumbnailUrl) that is no usable link is absent; every other
    // text is cut to maxTextLength and maxTextCharacters.
    // Returns the answer, or fills error and returns none.
    static std::optional<SongLinkResponse> decode(const QByteArray& body, DecodingError* error = nullptr);
};

// The song as shown in the toast.
struct SongMetadata {
    QString title;
    QString artist;
    std::optional<QUrl> thumbnailURL;
    // A service's raw value, or in a universal-page result the answer's provider text.
    QString platform;

    bool operator==(const SongMetadata&) const = default;
};

struct ConversionResult {
    QString targetURL;
    std::optional<SongMetadata> sourceMetadata;
    std::optional<SongMetadata> targetMetadata;
};

struct UniversalLinkResult {
    QString pageURL;
    std::optional<SongMetadata> metadata;
};
