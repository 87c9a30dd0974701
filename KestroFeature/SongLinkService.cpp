#include "SongLinkService.h"

#include "DebugLog.h"
#include "PreciseSleep.h"
#include "ReplyLimits.h"
#include "SongLinkError.h"
#include "TransportRule.h"

#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>

#include <QCoroNetworkReply>

using namespace std::chrono_literals;

namespace {

constexpr int maxAttempts = 3;
// Real answers are a few kilobytes; a server that sends more is not to be held in memory.
constexpr qint64 maxAnswerBytes = 2 * 1024 * 1024;

bool staysInQuery(char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')) {
        return true;
    }
    static constexpr QByteArrayView allowed = "-._~!$&'()*+,;=:@/?";
    return allowed.contains(byte);
}

// Whether a reply error only restates the status: Qt turns error statuses into errors of the
// content, protocol and server groups, and fails a redirect it does not follow. Anything else is
// a failure of the transfer itself, whatever status came before it.
bool comesFromStatus(int status, QNetworkReply::NetworkError error) {
    if (status >= 300 && status <= 399) {
        return error == QNetworkReply::ProtocolUnknownError ||
               error == QNetworkReply::InsecureRedirectError || error == QNetworkReply::TooManyRedirectsError;
    }
    return status >= 400 && error >= QNetworkReply::ContentAccessDenied &&
           error <= QNetworkReply::UnknownServerError;
}

// Whether Qt reads the answer's body: not for "no content" and not for a redirect.
bool hasBody(int status) {
    return (status >= 200 && status <= 299 && status != 204) || status >= 400;
}

QString describe(const QNetworkReply& reply) {
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply.error());
    return QString::fromLatin1(name ? name : "UnknownNetworkError") + QStringLiteral(": ") +
           reply.errorString();
}

SongLinkResponse interpretReply(QNetworkReply& reply) {
    const QVariant statusValue = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const std::optional<int> status =
        statusValue.isValid() ? std::optional<int>(statusValue.toInt()) : std::nullopt;

    if (reply.error() != QNetworkReply::NoError && !(status && comesFromStatus(*status, reply.error()))) {
        throw SongLinkError::networkError(describe(reply));
    }
    // Qt may take a connection closed early for the end of an error answer; the announced length tells.
    if (status && hasBody(*status)) {
        bool known = false;
        const qint64 announced = reply.header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && reply.bytesAvailable() < announced) {
            throw SongLinkError::networkError(QStringLiteral("RemoteHostClosedError: %1 of %2 bytes received")
                                                  .arg(reply.bytesAvailable())
                                                  .arg(announced));
        }
    }
    // Without a status the answer did not come over HTTP; it is read like a 200 answer.
    if (status && *status != 200) {
        if (*status == 400 || *status == 404) {
            throw SongLinkError::songNotFound();
        }
        if (*status == 429) {
            throw SongLinkError::rateLimited();
        }
        if (*status == 401 || *status == 403 || *status == 410) {
            throw SongLinkError::refused(*status);
        }
        if (*status >= 500 && *status <= 599) {
            throw SongLinkError::serverError(*status);
        }
        throw SongLinkError::networkError(QStringLiteral("HTTP ") + QString::number(*status));
    }

    SongLinkResponse::DecodingError decodingError;
    std::optional<SongLinkResponse> response = SongLinkResponse::decode(reply.readAll(), &decodingError);
    if (!response) {
        throw SongLinkError::decodingError(decodingError.message);
    }
    return std::move(*response);
}

// The host of a secure link without user information; none for any other link.
std::optional<QString> secureHost(const QString& link) {
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || !url.userInfo().isEmpty()) {
        return std::nullopt;
    }
    return url.host();
}

bool isOnOrUnder(const QString& host, QLatin1StringView domain) {
    return host == domain || (host.endsWith(domain) && host.size() > domain.size() &&
                              host.at(host.size() - domain.size() - 1) == QLatin1Char('.'));
}

SongMetadata metadataOf(const SongEntity& entity, const QString& platform) {
    std::optional<QUrl> thumbnail;
    if (entity.thumbnailUrl) {
        const QUrl parsed(*entity.thumbnailUrl, QUrl::StrictMode);
        // Plain HTTP to another host counts as no artwork: it is never requested.
        if (parsed.isValid() && !parsed.isEmpty() &&
            (parsed.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 ||
             TransportRule::allows(parsed))) {
            thumbnail = parsed;
        }
    }
    return SongMetadata{entity.title.value_or(QStringLiteral("Unknown")),
                        entity.artistName.value_or(QStringLiteral("Unknown")), thumbnail, platform};
}

} // namespace

QString SongLinkService::defaultBaseURL() {
    return QStringLiteral("https://api.song.link/v1-alpha.1/links");
}

SongLinkService& SongLinkService::shared() {
    // Never destroyed: operations may still be suspended in it when the process ends.
    static SongLinkService* const instance = [] {
        QString base = qEnvironmentVariable("ONDARI_API_BASE_URL");
        if (base.isEmpty()) {
            base = defaultBaseURL();
        }
        return new SongLinkService(nullptr, base);
    }();
    return *instance;
}

SongLinkService::SongLinkService(QNetworkAccessManager* network, QString baseURL,
                                 std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), m_network(network), m_baseURL(std::move(baseURL)), m_timeout(timeout) {
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
    }
}

SongLinkService::~SongLinkService() {
    // The aborted replies resume their operations right here; they see m_destroying and give up.
    m_destroying = true;
    m_shutdown.cancel();
}

bool SongLinkService::isGone(const QPointer<SongLinkService>& self) {
    return !self || self->m_destroying;
}

std::optional<QByteArray> SongLinkService::encodeQueryValue(const QString& link) {
    // A lone surrogate has no UTF-8 form; Qt would silently replace it.
    for (qsizetype i = 0; i < link.size(); ++i) {
        const QChar c = link.at(i);
        if (c.isHighSurrogate() && i + 1 < link.size() && link.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (c.isSurrogate()) {
            return std::nullopt;
        }
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = link.toUtf8();
    QByteArray encoded;
    encoded.reserve(utf8.size() * 3);
    for (const char byte : utf8) {
        if (staysInQuery(byte)) {
            encoded.append(byte);
        } else {
            const auto value = static_cast<unsigned char>(byte);
            encoded.append('%');
            encoded.append(hex[value >> 4]);
            encoded.append(hex[value & 0x0F]);
        }
    }
    return encoded;
}

std::optional<QUrl> SongLinkService::requestURL(const QString& baseURL, const QString& link) {
    const std::optional<QByteArray> encoded = encodeQueryValue(link);
    if (!encoded) {
        return std::nullopt;
    }
    // An address with a query of its own (a key, say) keeps it: ours is joined on. A fragment
    // would swallow our query and is never sent anyway.
    QByteArray base = baseURL.toUtf8();
    if (const qsizetype fragment = base.indexOf('#'); fragment >= 0) {
        base.truncate(fragment);
    }
    const qsizetype query = base.indexOf('?');
    const QByteArray separator =
        query < 0 ? "?" : (query == base.size() - 1 || base.endsWith('&') ? "" : "&");
    const QByteArray text = base + separator + "url=" + *encoded + "&userCountry=US";
    QUrl url = QUrl::fromEncoded(text, QUrl::StrictMode);
    if (!url.isValid()) {
        return std::nullopt;
    }
    return url;
}

QUrl SongLinkService::composeOrThrow(const QString& link) const {
    std::optional<QUrl> url = requestURL(m_baseURL, link);
    if (!url) {
        throw SongLinkError::invalidURL();
    }
    return *url;
}

bool SongLinkService::isServiceLink(const QString& link, Platform platform) {
    const std::optional<QString> host = secureHost(link);
    if (!host) {
        return false;
    }
    switch (platform) {
    case Platform::spotify:
        return isOnOrUnder(*host, QLatin1StringView("spotify.com"));
    case Platform::appleMusic:
        return isOnOrUnder(*host, QLatin1StringView("apple.com"));
    case Platform::youtubeMusic:
        return isOnOrUnder(*host, QLatin1StringView("youtube.com"));
    case Platform::tidal:
        return isOnOrUnder(*host, QLatin1StringView("tidal.com"));
    case Platform::soundcloud:
        return isOnOrUnder(*host, QLatin1StringView("soundcloud.com"));
    case Platform::yandexMusic:
        // The service's own country sites only: yandex under any other country's domain need
        // not be Yandex's.
        return *host == QLatin1String("music.yandex.ru") || *host == QLatin1String("music.yandex.com") ||
               *host == QLatin1String("music.yandex.by") || *host == QLatin1String("music.yandex.kz") ||
               *host == QLatin1String("music.yandex.uz");
    }
    return false;
}

bool SongLinkService::isSongPageLink(const QString& link) {
    const std::optional<QString> host = secureHost(link);
    return host && (*host == QLatin1String("song.link") || *host == QLatin1String("album.link"));
}

std::optional<SongMetadata> SongLinkService::extractMetadata(const SongLinkResponse& response,
                                                             Platform platform) {
    if (!response.entitiesByUniqueId) {
        return std::nullopt;
    }
    const QString provider = Platforms::apiProviderName(platform);
    for (const SongEntity& entity : *response.entitiesByUniqueId) {
        if (entity.apiProvider && *entity.apiProvider == provider) {
            return metadataOf(entity, Platforms::rawValue(platform));
        }
    }
    return std::nullopt;
}

std::optional<Platform> SongLinkService::detectSourcePlatform(const SongLinkResponse& response,
                                                              std::optional<Platform> excluding) {
    if (!response.entitiesByUniqueId) {
        return std::nullopt;
    }
    for (const Platform platform : Platforms::allCases()) {
        if (excluding && *excluding == platform) {
            continue;
        }
        const QString provider = Platforms::apiProviderName(platform);
        for (const SongEntity& entity : *response.entitiesByUniqueId) {
            if (entity.apiProvider && *entity.apiProvider == provider) {
                return platform;
            }
        }
    }
    return std::nullopt;
}

QCoro::Task<SongLinkResponse> SongLinkService::performRequest(QUrl url, CancellationToken cancel) {
    const QPointer<SongLinkService> self(this);
    if (cancel.isCancelled()) {
        throw SongLinkError::networkError(QStringLiteral("OperationCanceledError: cancelled before sending"));
    }
    if (!m_network) {
        throw SongLinkError::networkError(QStringLiteral("no network access manager"));
    }

    // A local file stands in for the service in some setups; the network only over the rule.
    if (!url.isLocalFile() && !TransportRule::allows(url)) {
        throw SongLinkError::networkError(
            QStringLiteral("InsecureTransport: plain HTTP is used only with this machine"));
    }
    // The manager is the reply's parent, so a reply we never get back to goes with it.
    QNetworkReply* reply = m_network->get(TransportRule::request(url));
    TransportRule::guard(reply);
    const auto release = qScopeGuard([guard = QPointer<QNetworkReply>(reply)] {
        if (guard) {
            guard->deleteLater();
        }
    });
    // Queued, so that the canceller is not re-entered by the operation failing underneath it.
    cancel.onCancelled(
        reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
    m_shutdown.onCancelled(reply, [reply] { reply->abort(); });
    // The time-out bounds the whole exchange (its coarse transfer time-out would also end up to 5%
    // early), and the body is capped, so an endless answer is dropped instead of growing the process.
    const ReplyLimits limits(reply, m_timeout, maxAnswerBytes);
    co_await reply;

    if (isGone(self)) {
        throw SongLinkError::networkError(
            QStringLiteral("OperationCanceledError: the service was shut down"));
    }
    if (cancel.isCancelled()) {
        throw SongLinkError::networkError(QStringLiteral("OperationCanceledError: cancelled"));
    }
    if (limits.overran()) {
        throw SongLinkError::networkError(
            QStringLiteral("TimeoutError: no complete answer within %1 ms").arg(m_timeout.count()));
    }
    if (limits.oversized()) {
        throw SongLinkError::networkError(
            QStringLiteral("OperationCanceledError: the answer is larger than %1 bytes").arg(maxAnswerBytes));
    }
    co_return interpretReply(*reply);
}

QCoro::Task<ConversionResult> SongLinkService::performConversion(QUrl url, Platform to,
                                                                 std::optional<Platform> from) {
    const SongLinkResponse response = co_await performRequest(std::move(url));
    // From here on only the answer is used, never the service.

    std::optional<QString> targetURL;
    if (response.linksByPlatform) {
        const auto entry = response.linksByPlatform->constFind(Platforms::songLinkKey(to));
        if (entry != response.linksByPlatform->cend()) {
            targetURL = entry->url;
        }
    }
    if (!targetURL || !isServiceLink(*targetURL, to)) {
        throw SongLinkError::noTargetPlatformLink(to);
    }

    std::optional<SongMetadata> sourceMetadata;
    if (from) {
        sourceMetadata = extractMetadata(response, *from);
    } else if (const std::optional<Platform> detected = detectSourcePlatform(response, to)) {
        sourceMetadata = extractMetadata(response, *detected);
    }
    co_return ConversionResult{*targetURL, sourceMetadata, extractMetadata(response, to)};
}

QCoro::Task<ConversionResult> SongLinkService::convert(QString url, Platform to) {
    const QPointer<SongLinkService> self(this);
    const QUrl request = composeOrThrow(url);
    const QString target = Platforms::displayName(to);

    for (int attempt = 1;; ++attempt) {
        debugLog(QStringLiteral("API: Attempt ") + QString::number(attempt) + QStringLiteral(" for ") + url +
                 QStringLiteral(" -> ") + target);
        try {
            co_return co_await performConversion(request, to, std::nullopt);
        } catch (const SongLinkError& error) {
            if (error.kind() != SongLinkError::Kind::serverError) {
                throw;
            }
            debugLog(QStringLiteral("API: Got server error ") + QString::number(error.status()) +
                     QStringLiteral(", retrying..."));
            if (attempt == maxAttempts) {
                throw;
            }
        }
        co_await preciseSleep(attempt * 500ms);
        if (isGone(self)) {
            throw SongLinkError::networkError(
                QStringLiteral("OperationCanceledError: the service was shut down"));
        }
    }
}

QCoro::Task<ConversionResult> SongLinkService::convert(QString url) {
    return convert(std::move(url), Platform::appleMusic);
}

QCoro::Task<UniversalLinkResult> SongLinkService::getUniversalLink(QString url) {
    const SongLinkResponse response = co_await performRequest(composeOrThrow(url));
    if (!response.pageUrl || !isSongPageLink(*response.pageUrl)) {
        throw SongLinkError::songNotFound();
    }
    std::optional<SongMetadata> metadata;
    if (response.entitiesByUniqueId && !response.entitiesByUniqueId->isEmpty()) {
        const SongEntity& entity = response.entitiesByUniqueId->first();
        metadata = metadataOf(entity, entity.apiProvider.value_or(QStringLiteral("unknown")));
    }
    co_return UniversalLinkResult{*response.pageUrl, metadata};
}

QCoro::Task<SongMetadata> SongLinkService::fetchMetadata(QString url, Platform platform,
                                                         CancellationToken cancel) {
    const SongLinkResponse response = co_await performRequest(composeOrThrow(url), std::move(cancel));
    if (std::optional<SongMetadata> metadata = extractMetadata(response, platform)) {
        co_return std::move(*metadata);
    }
    co_return SongMetadata{QStringLiteral("Unknown"), QStringLiteral("Unknown"), std::nullopt,
                           Platforms::rawValue(platform)};
}

QCoro::Task<SongMetadata> SongLinkService::fetchMetadata(QString url) {
    return fetchMetadata(std::move(url), Platform::spotify);
}
