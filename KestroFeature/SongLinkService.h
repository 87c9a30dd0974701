#pragma once

#include "AppConstants.h"
#include "Cancellation.h"
#include "Platform.h"
#include "SongLinkModels.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

// The client of the link-conversion web service. Operations run on the GUI thread as
// coroutines and throw SongLinkError on failure.
class SongLinkService : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeout{
        static_cast<qint64>(AppConstants::requestTimeout * 1000)};
    static QString defaultBaseURL();

    // The process-wide instance. Its base URL is ONDARI_API_BASE_URL when that is set (read once,
    // here), so the program can be pointed at a local stand-in of the service. Like any address it
    // is used over plain HTTP only on this machine: elsewhere every request fails.
    static SongLinkService& shared();

    // network is not taken over; without one the service makes its own. The manager must
    // outlive the service.
    explicit SongLinkService(QNetworkAccessManager* network, QString baseURL = defaultBaseURL(),
                             std::chrono::milliseconds timeout = defaultTimeout, QObject* parent = nullptr);
    // Requests still running are aborted; their operations fail with a network error.
    ~SongLinkService() override;

    QString baseURL() const { return m_baseURL; }
    std::chrono::milliseconds timeout() const { return m_timeout; }

    // Virtual so that tests of the callers can stand in for the web service.
    // Up to three attempts; only a server error (5xx) is retried.
    virtual QCoro::Task<ConversionResult> convert(QString url, Platform to);
    QCoro::Task<ConversionResult> convert(QString url);
    virtual QCoro::Task<UniversalLinkResult> getUniversalLink(QString url);
    // Cancelling the token aborts the request; the operation then fails with a network error.
    virtual QCoro::Task<SongMetadata> fetchMetadata(QString url, Platform platform,
                                                    CancellationToken cancel = {});
    QCoro::Task<SongMetadata> fetchMetadata(QString url);

    // The link as the service wants it in its query: UTF-8 bytes, with everything outside the
    // characters a query may hold as they are written in upper-case %XX. None for text that has
    // no UTF-8 form (a lone surrogate).
    static std::optional<QByteArray> encodeQueryValue(const QString& link);
    // baseURL?url=<encoded link>&userCountry=US, or none when that is not a valid URL.
    static std::optional<QUrl> requestURL(const QString& baseURL, const QString& link);

    // Whether an answer's link may be handed on as the link on a service: https, no user
    // information, on the service's own host or one under it. A server could otherwise put any
    // address on the user's clipboard under the toast's "Copied".
    static bool isServiceLink(const QString& link, Platform platform);
    // The same for the song page: https on song.link or album.link.
    static bool isSongPageLink(const QString& link);

    // The first entity (in map order) whose provider is the platform's.
    static std::optional<SongMetadata> extractMetadata(const SongLinkResponse& response, Platform platform);
    // The first platform (in their fixed order, skipping excluding) that has an entity.
    static std::optional<Platform> detectSourcePlatform(const SongLinkResponse& response,
                                                        std::optional<Platform> excluding);

private:
    QCoro::Task<SongLinkResponse> performRequest(QUrl url, CancellationToken cancel = {});
    QCoro::Task<ConversionResult> performConversion(QUrl url, Platform to, std::optional<Platform> from);
    QUrl composeOrThrow(const QString& link) const;
    static bool isGone(const QPointer<SongLinkService>& self);

    QPointer<QNetworkAccessManager> m_network;
    QString m_baseURL;
    std::chrono::milliseconds m_timeout;
    // Cancelled by the destructor, so no request outlives the service that started it.
    CancellationToken m_shutdown;
    bool m_destroying = false;
};
