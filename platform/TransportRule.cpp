#include "TransportRule.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>

bool TransportRule::isLoopbackHost(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    // Only a literal address: a name other than localhost may resolve anywhere.
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool TransportRule::allows(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) {
        return false;
    }
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("https") ||
           (scheme == QLatin1String("http") && isLoopbackHost(url.host()));
}

QNetworkRequest TransportRule::request(const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    return request;
}

void TransportRule::guard(QNetworkReply* reply) {
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        const QUrl from = reply->url();
        const bool downgrade = from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
                               target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0;
        if (allows(target) && !downgrade) {
            emit reply->redirectAllowed();
        } else {
            reply->abort();
        }
    });
}
