#pragma once

#include <QString>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;

// Which addresses the program talks to: over HTTPS anywhere, over plain HTTP only to this
// machine (a local stand-in of a server), never otherwise. Redirects are held to the same rule hop
// by hop, never lead from HTTPS down to plain HTTP (this machine included), and end after a few.
class TransportRule {
public:
    // Hops a request may be redirected; one more is refused.
    static constexpr int maxRedirects = 5;

    // https with a host, or http to 127.0.0.0/8, ::1 or "localhost".
    static bool allows(const QUrl& url);
    static bool isLoopbackHost(const QString& host);
    // Whether redirect number hop (from 1) may lead from the address of the hop before to target.
    static bool allowsRedirect(const QUrl& from, const QUrl& target, int hop);

    // A request for url whose redirects are each checked against the rule; pass its reply to
    // guard(). The caller still checks url itself.
    static QNetworkRequest request(const QUrl& url);
    // Lets a redirect the rule allows be followed and aborts the reply at any other, before the
    // target is asked. Call it at once after sending the request.
    static void guard(QNetworkReply* reply);
};
