#pragma once

#include <QString>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;

// Which addresses the program talks to: over HTTPS anywhere, over plain HTTP only to this
// machine (a local stand-in of a server), never otherwise. Redirects are held to the same rule,
// and never lead from HTTPS down to plain HTTP.
class TransportRule {
public:
    // https with a host, or http to 127.0.0.0/8, ::1 or "localhost".
    static bool allows(const QUrl& url);
    static bool isLoopbackHost(const QString& host);

    // A request for url whose redirects are each checked against the rule; pass its reply to
    // guard(). The caller still checks url itself.
    static QNetworkRequest request(const QUrl& url);
    // Follows a redirect the rule allows and aborts the reply at any other.
    static void guard(QNetworkReply* reply);
};
