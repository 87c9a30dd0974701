#include "FakeSongLinkServer.h"
#include "SongLinkError.h"
#include "SongLinkService.h"
#include "TestEnvironment.h"
#include "TransportRule.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>
#include <QTcpServer>
#include <QTemporaryDir>

#include <QCoroTask>

#include <memory>

using namespace std::chrono_literals;
using Answer = FakeSongLinkServer::Answer;
using Kind = SongLinkError::Kind;

Q_DECLARE_METATYPE(FakeSongLinkServer::Answer)
Q_DECLARE_METATYPE(Platform)

namespace {

template <typename T> struct Outcome {
    std::optional<T> value;
    std::optional<SongLinkError> error;
};

template <typename T> QCoro::Task<Outcome<T>> capture(QCoro::Task<T> task) {
    Outcome<T> outcome;
    try {
        outcome.value = co_await std::move(task);
    } catch (const SongLinkError& error) {
        outcome.error = error;
    }
    co_return outcome;
}

// QCoro::waitFor never returns from a task that throws, so errors are caught inside.
template <typename T> Outcome<T> run(QCoro::Task<T>&& task) {
    return QCoro::waitFor(capture(std::move(task)));
}

QString describe(const std::optional<SongMetadata>& metadata) {
    if (!metadata) {
        return QStringLiteral("none");
    }
    return QStringList{metadata->title, metadata->artist, metadata->platform,
                       metadata->thumbnailURL ? metadata->thumbnailURL->toString() : QStringLiteral("-")}
        .join(QLatin1Char('|'));
}

// "songNotFound", "serverError(503)", "networkError(HTTP 201)", ...: the error as the checks see it.
template <typename T> QString errorOf(const Outcome<T>& outcome) {
    if (!outcome.error) {
        return QStringLiteral("no error");
    }
    if (outcome.error->kind() == Kind::networkError &&
        !outcome.error->underlying().startsWith(QLatin1String("HTTP "))) {
        return QStringLiteral("networkError");
    }
    return outcome.error->logDescription();
}

struct Rig {
    explicit Rig(std::chrono::milliseconds timeout = 3s) : service(&network, server.baseURL(), timeout) {}
    FakeSongLinkServer server;
    QNetworkAccessManager network;
    SongLinkService service;
};

// The service over TLS, accepting the test certificate and no other.
struct TlsRig {
    TlsRig() {
        QObject::connect(&network, &QNetworkAccessManager::sslErrors, &network,
                         [](QNetworkReply* reply, const QList<QSslError>& errors) {
                             for (const QSslError& error : errors) {
                                 if (error.certificate() != FakeSongLinkServer::tlsCertificate()) {
                                     return;
                                 }
                             }
                             reply->ignoreSslErrors(errors);
                         });
    }
    FakeSongLinkServer server;
    const bool tls = server.useTls();
    QNetworkAccessManager network;
    SongLinkService service{&network, server.baseURL(), 1s};
};

// Answer bodies are written with ' for " to keep them readable.
QByteArray json(QByteArray text) {
    return text.replace('\'', '"');
}

const QString feelGood = QStringLiteral("https://open.spotify.com/track/0d28khcov6AiegSCpG5TuT");

} // namespace

class TestSongLinkService : public QObject {
    Q_OBJECT

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void sharedInstanceTakesBaseURLFromEnvironment() {
        qputenv("ONDARI_API_BASE_URL", "http://127.0.0.1:9/v1-alpha.1/links");
        QCOMPARE(SongLinkService::shared().baseURL(), QStringLiteral("http://127.0.0.1:9/v1-alpha.1/links"));
        qunsetenv("ONDARI_API_BASE_URL");
        QCOMPARE(&SongLinkService::shared(), &SongLinkService::shared());
        QCOMPARE(SongLinkService::defaultBaseURL(), QStringLiteral("https://api.song.link/v1-alpha.1/links"));
    }

    void requestTargetBytes_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("plain") << feelGood << feelGood.toUtf8();
        QTest::newRow("& and = stay")
            << QStringLiteral("https://www.youtube.com/watch?v=fJ9rUzIMcZQ&pp=ygUGcXVlZW4g")
            << QByteArray("https://www.youtube.com/watch?v=fJ9rUzIMcZQ&pp=ygUGcXVlZW4g");
        QTest::newRow("space and %") << QStringLiteral("https://soundcloud.com/a b/c%20d")
                                     << QByteArray("https://soundcloud.com/a%20b/c%2520d");
        QTest::newRow("query characters stay")
            << QStringLiteral("x-._~!$&'()*+,;=:@/?y") << QByteArray("x-._~!$&'()*+,;=:@/?y");
        QTest::newRow("delimiters go") << QStringLiteral("#[]\"<>\\^`{|}\t\n")
                                       << QByteArray("%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D%09%0A");
        QTest::newRow("non-ASCII as UTF-8")
            << QStringLiteral("https://music.yandex.ru/search?text=Паук 🎵")
            << QByteArray("https://music.yandex.ru/search?text=%D0%9F%D0%B0%D1%83%D0%BA"
                          "%20%F0%9F%8E%B5");
    }

    void requestTargetBytes() {
        QFETCH(QString, link);
        QFETCH(QByteArray, encoded);
        Rig rig;
        rig.server.setDefaultAnswer(Answer::withStatus(200, "{}"));
        const auto outcome = run(rig.service.fetchMetadata(link, Platform::tidal));
        QVERIFY(outcome.value);
        QCOMPARE(rig.server.requests().size(), 1);
        const FakeSongLinkServer::Request request = rig.server.requests().first();
        QCOMPARE(request.target, "/v1-alpha.1/links?url=" + encoded + "&userCountry=US");
        QCOMPARE(request.link, link);
        QCOMPARE(request.method, QByteArray("GET"));
        // Only what the HTTP stack adds by itself.
        const QSet<QByteArray> ownFields{"host", "connection", "accept-encoding", "accept-language",
                                         "user-agent"};
        for (auto it = request.headers.cbegin(); it != request.headers.cend(); ++it) {
            QVERIFY2(ownFields.contains(it.key()), it.key().constData());
        }
    }

    void unformableRequestURLSendsNothing() {
        FakeSongLinkServer server;
        QNetworkAccessManager network;
        SongLinkService spaced(&network,
                               QStringLiteral("http://127.0.0.1:%1/v1 alpha/links").arg(server.port()));
        QCOMPARE(errorOf(run(spaced.convert(feelGood, Platform::appleMusic))), QStringLiteral("invalidURL"));

        SongLinkService service(&network, server.baseURL());
        const QString loneSurrogate = feelGood + QChar(0xD800);
        QCOMPARE(errorOf(run(service.convert(loneSurrogate, Platform::appleMusic))),
                 QStringLiteral("invalidURL"));
        QCOMPARE(errorOf(run(service.getUniversalLink(loneSurrogate))), QStringLiteral("invalidURL"));
        QCOMPARE(errorOf(run(service.fetchMetadata(loneSurrogate, Platform::spotify))),
                 QStringLiteral("invalidURL"));

        QCOMPARE(server.requests().size(), 0);
        QCOMPARE(TestEnvironment::debugLogMessages(), QStringList());
    }

    void statusMapping_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        QTest::newRow("200") << 200 << QStringLiteral("no error");
        QTest::newRow("201") << 201 << QStringLiteral("networkError(HTTP 201)");
        QTest::newRow("204") << 204 << QStringLiteral("networkError(HTTP 204)");
        QTest::newRow("302 without Location") << 302 << QStringLiteral("networkError(HTTP 302)");
        QTest::newRow("400") << 400 << QStringLiteral("songNotFound");
        QTest::newRow("401") << 401 << QStringLiteral("refused(401)");
        QTest::newRow("403") << 403 << QStringLiteral("refused(403)");
        QTest::newRow("404") << 404 << QStringLiteral("songNotFound");
        QTest::newRow("410") << 410 << QStringLiteral("refused(410)");
        QTest::newRow("418") << 418 << QStringLiteral("networkError(HTTP 418)");
        QTest::newRow("429") << 429 << QStringLiteral("rateLimited");
        QTest::newRow("499") << 499 << QStringLiteral("networkError(HTTP 499)");
        QTest::newRow("500") << 500 << QStringLiteral("serverError(500)");
        QTest::newRow("503") << 503 << QStringLiteral("serverError(503)");
        QTest::newRow("599") << 599 << QStringLiteral("serverError(599)");
    }

    // Every status carries a good answer: only the status decides.
    void statusMapping() {
        QFETCH(int, status);
        QFETCH(QString, expected);
        Rig rig;
        rig.server.setDefaultAnswer(
            Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json"), status));
        const auto outcome = run(rig.service.getUniversalLink(feelGood));
        QCOMPARE(errorOf(outcome), expected);
        QCOMPARE(rig.server.requests().size(), 1);
    }

    void statusTexts() {
        Rig rig;
        rig.server.setDefaultAnswer(Answer::withStatus(201, "{}"));
        const auto outcome = run(rig.service.fetchMetadata(feelGood));
        QVERIFY(outcome.error);
        QCOMPARE(outcome.error->errorDescription(), QStringLiteral("Network error"));
        QCOMPARE(outcome.error->recoverySuggestion(), QStringLiteral("Check your connection"));
    }

    // The public service answers every request without a key so: a refusal, not a network fault.
    void refusalTexts() {
        Rig rig;
        rig.server.setDefaultAnswer(
            Answer::recorded(QStringLiteral("error-401-public-api-access-deprecated.json")));
        const auto outcome = run(rig.service.convert(feelGood, Platform::appleMusic));
        QCOMPARE(errorOf(outcome), QStringLiteral("refused(401)"));
        QCOMPARE(outcome.error->errorDescription(), QStringLiteral("Request refused"));
        QCOMPARE(outcome.error->recoverySuggestion(), QStringLiteral("The service refused access"));
    }

    // A key, say, in the address: the program's query is joined on, so the server sees one query.
    void baseAddressWithQueryKeepsIt_data() {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("query");
        QTest::newRow("key") << QStringLiteral("?key=K") << QByteArray("?key=K&url=");
        QTest::newRow("two keys") << QStringLiteral("?key=K&v=2") << QByteArray("?key=K&v=2&url=");
        QTest::newRow("empty query") << QStringLiteral("?") << QByteArray("?url=");
        QTest::newRow("fragment") << QStringLiteral("?key=K#top") << QByteArray("?key=K&url=");
    }

    void baseAddressWithQueryKeepsIt() {
        QFETCH(QString, suffix);
        QFETCH(QByteArray, query);
        FakeSongLinkServer server;
        server.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")));
        QNetworkAccessManager network;
        SongLinkService service(&network, server.baseURL() + suffix);
        const auto outcome = run(service.getUniversalLink(feelGood));
        QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().target,
                 "/v1-alpha.1/links" + query + feelGood.toUtf8() + "&userCountry=US");
        QCOMPARE(server.requests().first().link, feelGood);
    }

    // Redirects are the HTTP stack's business; only the final answer is mapped.
    void redirectIsFollowed() {
        Rig rig;
        rig.server.enqueue(Answer::withStatus(302).withHeader("Location", "/elsewhere"));
        rig.server.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")));
        const auto outcome = run(rig.service.getUniversalLink(feelGood));
        QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
        QCOMPARE(rig.server.requests().size(), 2);
        QCOMPARE(rig.server.requests().at(1).target, QByteArray("/elsewhere"));
    }

    // Content-Length then counts compressed bytes, which is no sign of a body cut short.
    void compressedAnswers() {
        Rig rig;
        const auto deflated = [](const QByteArray& body) {
            return Answer::withStatus(200, qCompress(body).mid(4)).withHeader("Content-Encoding", "deflate");
        };
        rig.server.setDefaultAnswer(deflated("{}"));
        QCOMPARE(errorOf(run(rig.service.getUniversalLink(feelGood))), QStringLiteral("songNotFound"));
        rig.server.setDefaultAnswer(deflated(
            FakeSongLinkServer::recordedBody(QStringLiteral("spotify-feel-good-inc-de.json")).value()));
        const auto outcome = run(rig.service.getUniversalLink(feelGood));
        QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
    }

    void conversionEndsAtOnceOnOtherErrors_data() {
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QString>("expected");
        QTest::newRow("400") << Answer::recorded(QStringLiteral("error-400-could-not-fetch-entity-data.json"))
                             << QStringLiteral("songNotFound");
        QTest::newRow("404") << Answer::withStatus(404, "{}") << QStringLiteral("songNotFound");
        QTest::newRow("429") << Answer::recorded(QStringLiteral("error-429-too-many-requests-test-stub.json"))
                             << QStringLiteral("rateLimited");
        QTest::newRow("201") << Answer::withStatus(201, "{}") << QStringLiteral("networkError(HTTP 201)");
        QTest::newRow("401") << Answer::recorded(
                                    QStringLiteral("error-401-public-api-access-deprecated.json"))
                             << QStringLiteral("refused(401)");
        QTest::newRow("403") << Answer::withStatus(403, "{}") << QStringLiteral("refused(403)");
        QTest::newRow("410") << Answer::withStatus(410, "{}") << QStringLiteral("refused(410)");
        QTest::newRow("undecodable") << Answer::withStatus(200, "[]") << QStringLiteral("decodingError");
        QTest::newRow("no link") << Answer::withStatus(200, "{}")
                                 << QStringLiteral("noTargetPlatformLink(tidal)");
    }

    void conversionEndsAtOnceOnOtherErrors() {
        QFETCH(Answer, answer);
        QFETCH(QString, expected);
        Rig rig;
        rig.server.setDefaultAnswer(answer);
        const auto outcome = run(rig.service.convert(feelGood, Platform::tidal));
        QVERIFY(errorOf(outcome).startsWith(expected));
        QCOMPARE(rig.server.requests().size(), 1);
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 QStringList{QStringLiteral("API: Attempt 1 for ") + feelGood + QStringLiteral(" -> Tidal")});
    }

    void serverErrorsAreRetriedThreeTimes() {
        Rig rig;
        rig.server.setDefaultAnswer(Answer::withStatus(503, "{}"));
        const QString link = QStringLiteral("https://music.yandex.ru/track/1 Паук");
        const auto outcome = run(rig.service.convert(link, Platform::yandexMusic));

        QCOMPARE(errorOf(outcome), QStringLiteral("serverError(503)"));
        QCOMPARE(outcome.error->errorDescription(), QStringLiteral("Service unavailable"));
        QCOMPARE(outcome.error->recoverySuggestion(), QStringLiteral("Try again later"));
        const QList<FakeSongLinkServer::Request> requests = rig.server.requests();
        QCOMPARE(requests.size(), 3);
        const qint64 firstWait = requests.at(1).arrivedMs - requests.at(0).arrivedMs;
        const qint64 secondWait = requests.at(2).arrivedMs - requests.at(1).arrivedMs;
        QVERIFY2(firstWait >= 500 && firstWait < 750, qPrintable(QString::number(firstWait)));
        QVERIFY2(secondWait >= 1000 && secondWait < 1250, qPrintable(QString::number(secondWait)));

        QStringList expected;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            expected << QStringLiteral("API: Attempt %1 for ").arg(attempt) + link +
                            QStringLiteral(" -> Yandex Music")
                     << QStringLiteral("API: Got server error 503, retrying...");
        }
        QCOMPARE(TestEnvironment::debugLogMessages(), expected);
    }

    void serverErrorThenAnswer() {
        Rig rig;
        rig.server.enqueue(Answer::withStatus(502, "{}"));
        rig.server.enqueue(Answer::recorded(QStringLiteral("spotify-babymetal-death-jp.json")));
        const QString link = QStringLiteral("https://open.spotify.com/track/0BKR0dFPDmhREewiiqGArC");
        const auto outcome = run(rig.service.convert(link, Platform::yandexMusic));

        QVERIFY(outcome.value);
        QCOMPARE(outcome.value->targetURL, QStringLiteral("https://music.yandex.ru/track/25763314"));
        const QList<FakeSongLinkServer::Request> requests = rig.server.requests();
        QCOMPARE(requests.size(), 2);
        QVERIFY(requests.at(1).arrivedMs - requests.at(0).arrivedMs >= 500);
        QCOMPARE(
            TestEnvironment::debugLogMessages(),
            (QStringList{QStringLiteral("API: Attempt 1 for ") + link + QStringLiteral(" -> Yandex Music"),
                         QStringLiteral("API: Got server error 502, retrying..."),
                         QStringLiteral("API: Attempt 2 for ") + link + QStringLiteral(" -> Yandex Music")}));
    }

    void transferFailures_data() {
        QTest::addColumn<Answer>("answer");
        QTest::newRow("time-out")
            << Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")).after(3s);
        QTest::newRow("dropped") << Answer::dropped();
        QTest::newRow("cut short 200")
            << Answer::cutShort(200, json("{'pageUrl': 'https://song.link/x'}"), 10);
        QTest::newRow("cut short 404") << Answer::cutShort(404, json("{'statusCode': 404}"), 5);
    }

    void transferFailures() {
        QFETCH(Answer, answer);
        Rig rig(300ms);
        rig.server.setDefaultAnswer(answer);
        QElapsedTimer clock;
        clock.start();
        const auto outcome = run(rig.service.convert(feelGood, Platform::appleMusic));
        QCOMPARE(errorOf(outcome), QStringLiteral("networkError"));
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(TestEnvironment::debugLogMessages().size(), 1);
    }

    // An answer without end over TLS, in its head or its body, is dropped at the deadline or the
    // cap, its connection with it: nothing more is read, and the next request is answered.
    void endlessAnswersOverTlsEnd_data() {
        QTest::addColumn<Answer>("answer");
        QTest::newRow("one endless header line")
            << Answer::endlessRaw("HTTP/1.1 200 OK\r\nX-Padding: ", QByteArray(64 * 1024, 'a'));
        QByteArray lines;
        while (lines.size() < 64 * 1024) {
            lines += "X-Padding: aaaaaaaaaaaaaaaa\r\n";
        }
        QTest::newRow("header lines without end") << Answer::endlessRaw("HTTP/1.1 200 OK\r\n", lines);
        QTest::newRow("body without end") << Answer::endless(200, "{\"pageUrl\":\"" + QByteArray(4096, 'x'));
    }

    void endlessAnswersOverTlsEnd() {
        QFETCH(Answer, answer);
        TlsRig rig;
        QVERIFY(rig.tls);
        rig.server.enqueue(answer);
        rig.server.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")));
        QElapsedTimer clock;
        clock.start();
        const auto failed = run(rig.service.getUniversalLink(feelGood));
        QCOMPARE(errorOf(failed), QStringLiteral("networkError"));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(rig.server.endlessBytesSent() > 0);
        const auto answered = run(rig.service.getUniversalLink(feelGood));
        QVERIFY2(answered.value, qPrintable(errorOf(answered)));
        QCOMPARE(rig.server.requests().size(), 2);
        const qint64 sent = rig.server.endlessBytesSent();
        QTest::qWait(300);
        QCOMPARE(rig.server.endlessBytesSent(), sent);
    }

    // Plain HTTP reaches only this machine's loopback, however the address comes: as the service's
    // own, or as a redirect.
    void plainHttpOnlyOnLoopback() {
        OutsideListener outside;
        if (!outside.isListening()) {
            QSKIP("this machine has no address besides loopback");
        }
        const QString elsewhere = outside.url(QStringLiteral("/v1-alpha.1/links"));

        QNetworkAccessManager network;
        SongLinkService direct(&network, elsewhere, 1s);
        QCOMPARE(errorOf(run(direct.getUniversalLink(feelGood))), QStringLiteral("networkError"));
        QVERIFY(!outside.hasPendingConnections());

        Rig rig(1s);
        rig.server.enqueue(Answer::withStatus(302).withHeader("Location", elsewhere.toUtf8()));
        QCOMPARE(errorOf(run(rig.service.getUniversalLink(feelGood))), QStringLiteral("networkError"));
        QCOMPARE(rig.server.requests().size(), 1);
        QTest::qWait(100);
        QVERIFY(!outside.hasPendingConnections());
    }

    // The transport rule for an address asked directly, and for each redirect of a chain judged
    // against the hop before it: how many addresses of the chain are asked.
    void transportRule_data() {
        QTest::addColumn<QStringList>("chain");
        QTest::addColumn<int>("asked");
        const auto row = [](const char* name, const QStringList& chain, int asked) {
            QTest::newRow(name) << chain << asked;
        };
        row("https elsewhere", {QStringLiteral("https://example.com/x")}, 1);
        row("https in capitals", {QStringLiteral("HTTPS://example.com/x")}, 1);
        row("http 127.0.0.1 with port", {QStringLiteral("http://127.0.0.1:8080/x")}, 1);
        row("http 127.1.2.3", {QStringLiteral("http://127.1.2.3/x")}, 1);
        row("http [::1]", {QStringLiteral("http://[::1]:8080/x")}, 1);
        row("http LOCALHOST", {QStringLiteral("HTTP://LOCALHOST/x")}, 1);
        row("http elsewhere", {QStringLiteral("http://example.com/x")}, 0);
        row("http 10.0.0.1", {QStringLiteral("http://10.0.0.1/x")}, 0);
        row("http 0.0.0.0", {QStringLiteral("http://0.0.0.0/x")}, 0);
        row("http [::]", {QStringLiteral("http://[::]/x")}, 0);
        row("http name under localhost", {QStringLiteral("http://localhost.example.com/x")}, 0);
        row("http name starting 127", {QStringLiteral("http://127.0.0.1.example.com/x")}, 0);
        row("ftp", {QStringLiteral("ftp://127.0.0.1/x")}, 0);
        row("file", {QStringLiteral("file:///etc/passwd")}, 0);
        row("https without host", {QStringLiteral("https:///x")}, 0);

        const QString a = QStringLiteral("https://a.example/1");
        const QString b = QStringLiteral("https://b.example/2");
        const QString c = QStringLiteral("https://127.0.0.1:4/3");
        const QString d = QStringLiteral("https://d.example/4");
        row("https to http on loopback", {c, QStringLiteral("http://127.0.0.1:5/x")}, 1);
        row("https to http localhost", {a, QStringLiteral("http://localhost/x")}, 1);
        row("http on loopback to https", {QStringLiteral("http://127.0.0.1:5/x"), a}, 2);
        row("http on loopback to another port",
            {QStringLiteral("http://127.0.0.1:5/x"), QStringLiteral("http://localhost:6/y")}, 2);
        row("http on loopback to http elsewhere",
            {QStringLiteral("http://127.0.0.1:5/x"), QStringLiteral("http://example.com/y")}, 1);
        row("3-hop https chain", {a, b, c, d}, 4);
        row("https chain then down to http", {a, b, c, QStringLiteral("http://127.0.0.1:5/x")}, 3);
        row("5 hops", {a, b, c, d, a, b}, 6);
        row("6 hops", {a, b, c, d, a, b, c}, 6);
    }

    void transportRule() {
        QFETCH(QStringList, chain);
        QFETCH(int, asked);
        int count = TransportRule::allows(QUrl(chain.first())) ? 1 : 0;
        for (int hop = 1; count == hop && hop < chain.size(); ++hop) {
            count += TransportRule::allowsRedirect(QUrl(chain.at(hop - 1)), QUrl(chain.at(hop)), hop);
        }
        QCOMPARE(count, asked);
    }

    // A hop the rule refuses is never asked, even while its reply lives on: here the sixth
    // redirect of a chain on this machine.
    void refusedHopIsNeverAsked() {
        FakeSongLinkServer chain;
        FakeSongLinkServer beyond;
        const QString origin = QStringLiteral("http://127.0.0.1:%1/x?url=").arg(chain.port());
        for (int hop = 0; hop < 5; ++hop) {
            chain.setAnswer(QStringLiteral("hop%1").arg(hop),
                            Answer::withStatus(302).withHeader(
                                "Location", (origin + QStringLiteral("hop%1").arg(hop + 1)).toUtf8()));
        }
        chain.setAnswer(QStringLiteral("hop5"),
                        Answer::withStatus(302).withHeader("Location", beyond.baseURL().toUtf8()));
        QNetworkAccessManager network;
        std::unique_ptr<QNetworkReply> reply(
            network.get(TransportRule::request(QUrl(origin + QStringLiteral("hop0")))));
        TransportRule::guard(reply.get());
        QTRY_VERIFY(reply->isFinished());
        QTest::qWait(200);
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QCOMPARE(chain.requests().size(), 6);
        QCOMPARE(beyond.requests().size(), 0);
    }

    // Over TLS, the redirects Qt follows are each held to the rule: down to plain HTTP on this
    // machine is refused before the plain port is asked; a chain of HTTPS hops is answered.
    void redirectsOverTls() {
        TlsRig rig;
        QVERIFY(rig.tls);
        FakeSongLinkServer plain;
        plain.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")));
        rig.server.enqueue(Answer::withStatus(302).withHeader("Location", plain.baseURL().toUtf8()));
        const QString refused = errorOf(run(rig.service.getUniversalLink(feelGood)));
        QVERIFY2(refused.startsWith(QLatin1String("networkError")), qPrintable(refused));
        QTest::qWait(100);
        QCOMPARE(plain.requests().size(), 0);
        QCOMPARE(rig.server.requests().size(), 1);

        // Each hop answered by its address: Qt now and then asks a hop again on a new connection
        // when the server closes the last one, which must not move the chain along.
        const QByteArray origin = "https://127.0.0.1:" + QByteArray::number(rig.server.port());
        const QStringList hops{QStringLiteral("hop1"), QStringLiteral("hop2"), QStringLiteral("hop3")};
        rig.server.enqueue(Answer::withStatus(302).withHeader("Location", origin + "/hop1?url=hop1"));
        for (qsizetype i = 0; i + 1 < hops.size(); ++i) {
            const QByteArray next = hops.at(i + 1).toLatin1();
            rig.server.setAnswer(hops.at(i), Answer::withStatus(302).withHeader(
                                                 "Location", origin + '/' + next + "?url=" + next));
        }
        rig.server.setAnswer(hops.last(), Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")));
        rig.server.clearRequests();
        const auto answered = run(rig.service.getUniversalLink(feelGood));
        QVERIFY2(answered.value, qPrintable(errorOf(answered)));
        QStringList asked;
        for (const FakeSongLinkServer::Request& request : rig.server.requests().mid(1)) {
            if (asked.isEmpty() || asked.last() != request.link) {
                asked << request.link.value_or(QString());
            }
        }
        QCOMPARE(asked, hops);
    }

    void recordedAnswers_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<Platform>("platform");
        // convert: target link; universal: page; metadata: the metadata.
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");

        QTest::newRow("Spotify to Apple Music") << "spotify-bum-bum-eis-de.json"
                                                << "convert" << Platform::appleMusic
                                                << "https://geo.music.apple.com/de/album/_/"
                                                   "1560859042?i=1560859189&mt=1&app=music&ls=1&at=1000lHKX"
                                                   "&ct=api_http&itscg=30200&itsct=odsl_m"
                                                << "Bum Bum Eis|FiNCH, Esther Graf|spotify|"
                                                << "Bum Bum Eis|FiNCH & Esther Graf|appleMusic|";
        QTest::newRow("to Yandex Music under yandex")
            << "spotify-babymetal-death-jp.json"
            << "convert" << Platform::yandexMusic << "https://music.yandex.ru/track/25763314"
            << "BABYMETAL DEATH|BABYMETAL|spotify|"
            << "BABYMETAL DEATH|Babymetal|yandexMusic|";
        QTest::newRow("source from itunes")
            << "applemusic-kitchen-kid-cudi-docs.json"
            << "convert" << Platform::spotify << "https://open.spotify.com/track/0Jcij1eWd5bDMU5iPbxe2i"
            << "Kitchen|Kid Cudi|appleMusic|"
            << "Kitchen|Kid Cudi|spotify|";
        // The source is the first service in the fixed order that has the song, not the one asked about.
        QTest::newRow("source is first service")
            << "youtube-here-it-goes-again-de.json"
            << "convert" << Platform::tidal << "https://listen.tidal.com/track/1391897"
            << "Here It Goes Again|OK Go|spotify|"
            << "Here It Goes Again|OK Go|tidal|";
        QTest::newRow("YouTube only")
            << "youtube-an-apple-youtube-only-de.json"
            << "convert" << Platform::youtubeMusic << "https://music.youtube.com/watch?v=0_S3ytsXlIA"
            << "none"
            << "An Apple|tykylevits|youtubeMusic|https://i.ytimg.com/vi/0_S3ytsXlIA/"
               "hqdefault.jpg";
        QTest::newRow("YouTube only, not on Apple Music")
            << "youtube-an-apple-youtube-only-de.json"
            << "convert" << Platform::appleMusic << "noTargetPlatformLink(appleMusic)"
            << ""
            << "";
        QTest::newRow("album without Spotify")
            << "applemusic-album-facing-the-end.json"
            << "convert" << Platform::spotify << "noTargetPlatformLink(spotify)"
            << ""
            << "";
        QTest::newRow("Deezer link to SoundCloud")
            << "deezer-aquila-ru.json"
            << "convert" << Platform::soundcloud << "https://soundcloud.com/sublabmusic/aquila"
            << "Aquila|Sublab, Azaleh|spotify|"
            << "Sublab & Azaleh - Aquila|Sublab|soundcloud|";
        QTest::newRow("no YouTube Music link")
            << "spotify-pauk-nikto.json"
            << "convert" << Platform::youtubeMusic << "noTargetPlatformLink(youtubeMusic)"
            << ""
            << "";
        QTest::newRow("entity id as number") << "applemusic-album-facing-the-end-bandcamp-int-id.json"
                                             << "convert" << Platform::appleMusic << "decodingError"
                                             << ""
                                             << "";
        QTest::newRow("400 not resolved") << "error-400-could-not-resolve-entity-google-com.json"
                                          << "convert" << Platform::spotify << "songNotFound"
                                          << ""
                                          << "";
        QTest::newRow("400 not fetched") << "error-400-could-not-fetch-entity-data.json"
                                         << "universal" << Platform::spotify << "songNotFound"
                                         << ""
                                         << "";
        QTest::newRow("401 deprecated") << "error-401-public-api-access-deprecated.json"
                                        << "metadata" << Platform::spotify << "refused(401)"
                                        << ""
                                        << "";
        QTest::newRow("429") << "error-429-too-many-requests-test-stub.json"
                             << "universal" << Platform::spotify << "rateLimited"
                             << ""
                             << "";

        QTest::newRow("page of an album")
            << "applemusic-album-facing-the-end.json"
            << "universal" << Platform::spotify << "https://album.link/us/i/1751932130"
            << "Facing The End|APOCRYPHAL|amazon|"
            << "";
        QTest::newRow("page, first entity")
            << "applemusic-what-we-worked-for-against-me.json"
            << "universal" << Platform::spotify << "https://song.link/us/i/44733632"
            << "What We Worked For|Against Me!|boomplay|"
            << "";
        QTest::newRow("page, only entity")
            << "youtube-an-apple-youtube-only-de.json"
            << "universal" << Platform::spotify << "https://song.link/y/0_S3ytsXlIA"
            << "An Apple|tykylevits|youtube|"
            << "";

        QTest::newRow("metadata from youtube")
            << "spotify-feel-good-inc-de.json"
            << "metadata" << Platform::youtubeMusic
            << "Gorillaz - Feel Good Inc. (Official Video)|Gorillaz|youtubeMusic|"
               "https://i.ytimg.com/vi/HyHNuVaZJ-k/hqdefault.jpg"
            << ""
            << "";
        QTest::newRow("metadata from itunes")
            << "spotify-pauk-nikto.json"
            << "metadata" << Platform::appleMusic << "Паук|Nikto|appleMusic|"
            << ""
            << "";
        QTest::newRow("metadata without thumbnail")
            << "youtube-bohemian-rhapsody-de.json"
            << "metadata" << Platform::soundcloud
            << "Queen – Bohemian Rhapsody (Official Video Remastered)|The PMP|soundcloud|-"
            << ""
            << "";
        QTest::newRow("metadata placeholder")
            << "deezer-aquila-ru.json"
            << "metadata" << Platform::yandexMusic << "Unknown|Unknown|yandexMusic|-"
            << ""
            << "";
        QTest::newRow("metadata of a live take")
            << "spotify-white-mist-live.json"
            << "metadata" << Platform::spotify << "White Mist - Live|The Pineapple Thief|spotify|"
            << ""
            << "";
    }

    // Metadata ending in "|" only checks that a thumbnail is there.
    void recordedAnswers() {
        QFETCH(QString, file);
        QFETCH(QString, operation);
        QFETCH(Platform, platform);
        QFETCH(QString, expected);
        QFETCH(QString, source);
        QFETCH(QString, target);
        Rig rig;
        rig.server.setDefaultAnswer(Answer::recorded(file));
        const QString link = feelGood;

        const auto matches = [](const std::optional<SongMetadata>& actual, const QString& wanted) {
            const QString text = describe(actual);
            if (wanted.endsWith(QLatin1Char('|'))) {
                return text.startsWith(wanted) && !text.endsWith(QLatin1String("|-"));
            }
            return text == wanted;
        };
        const bool isError =
            !expected.startsWith(QLatin1String("https://")) && operation != QLatin1String("metadata");
        if (operation == QLatin1String("convert")) {
            const auto outcome = run(rig.service.convert(link, platform));
            if (isError) {
                QVERIFY2(errorOf(outcome).startsWith(expected), qPrintable(errorOf(outcome)));
                return;
            }
            QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
            QCOMPARE(outcome.value->targetURL, expected);
            QVERIFY2(matches(outcome.value->sourceMetadata, source),
                     qPrintable(describe(outcome.value->sourceMetadata)));
            QVERIFY2(matches(outcome.value->targetMetadata, target),
                     qPrintable(describe(outcome.value->targetMetadata)));
        } else if (operation == QLatin1String("universal")) {
            const auto outcome = run(rig.service.getUniversalLink(link));
            if (isError) {
                QCOMPARE(errorOf(outcome), expected);
                return;
            }
            QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
            QCOMPARE(outcome.value->pageURL, expected);
            QVERIFY2(matches(outcome.value->metadata, source), qPrintable(describe(outcome.value->metadata)));
        } else {
            const auto outcome = run(rig.service.fetchMetadata(link, platform));
            if (expected.startsWith(QLatin1String("refused"))) {
                QCOMPARE(errorOf(outcome), expected);
                return;
            }
            QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
            QVERIFY2(matches(outcome.value, expected), qPrintable(describe(outcome.value)));
        }
    }

    void emptyAnswer() {
        Rig rig;
        rig.server.setDefaultAnswer(Answer::withStatus(200, "{}"));
        const auto converted = run(rig.service.convert(feelGood, Platform::tidal));
        QCOMPARE(errorOf(converted), QStringLiteral("noTargetPlatformLink(tidal)"));
        QCOMPARE(converted.error->errorDescription(), QStringLiteral("Not on Tidal"));
        QCOMPARE(errorOf(run(rig.service.getUniversalLink(feelGood))), QStringLiteral("songNotFound"));
        QCOMPARE(describe(run(rig.service.fetchMetadata(feelGood, Platform::soundcloud)).value),
                 QStringLiteral("Unknown|Unknown|soundcloud|-"));
        QCOMPARE(rig.server.requests().size(), 3);

        rig.server.setDefaultAnswer(Answer::withStatus(200, ""));
        QCOMPARE(errorOf(run(rig.service.fetchMetadata(feelGood))).left(13), QStringLiteral("decodingError"));
    }

    void shorthandForms() {
        Rig rig;
        rig.server.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-pauk-nikto.json")));
        const auto converted = run(rig.service.convert(feelGood));
        QVERIFY(converted.value);
        QVERIFY(converted.value->targetURL.startsWith(QLatin1String("https://geo.music.apple.com/")));
        QCOMPARE(describe(run(rig.service.fetchMetadata(feelGood)).value).section(QLatin1Char('|'), 0, 2),
                 QStringLiteral("Паук|Nikto|spotify"));
    }

    void answersBuiltForEdgeCases_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("expected");
        const QByteArray appleLink =
            "'linksByPlatform': {'appleMusic': {'url': 'https://music.apple.com/us/song/1'}}";
        QTest::newRow("target link null")
            << json("{'linksByPlatform': {'appleMusic': {'url': null}}}") << "convert"
            << "noTargetPlatformLink(appleMusic)";
        QTest::newRow("link without entity")
            << json("{" + appleLink +
                    ", 'entitiesByUniqueId': {'S': {'apiProvider': 'spotify', 'title': 'T'}}}")
            << "convert"
            << "https://music.apple.com/us/song/1 source=T|Unknown|spotify|- target=none";
        QTest::newRow("untitled, bad thumbnail")
            << json("{" + appleLink +
                    ", 'entitiesByUniqueId': {'I': {'apiProvider': 'itunes', 'artistName': 'A',"
                    " 'thumbnailUrl': 'http://exa mple/x.jpg'}}}")
            << "convert"
            << "https://music.apple.com/us/song/1 source=none target=Unknown|A|appleMusic|-";
        QTest::newRow("provider case matters")
            << json("{" + appleLink +
                    ", 'entitiesByUniqueId': {'I': {'apiProvider': 'iTunes', 'title': 'T'}}}")
            << "convert"
            << "https://music.apple.com/us/song/1 source=none target=none";
        QTest::newRow("page, itunes first")
            << json("{'pageUrl': 'https://song.link/i/1', 'entitiesByUniqueId': {"
                    "'B': {'apiProvider': 'spotify', 'title': 'S'},"
                    "'A': {'apiProvider': 'itunes', 'title': 'I', 'thumbnailUrl': 'https://t/1.jpg'}}}")
            << "universal"
            << "https://song.link/i/1 I|Unknown|itunes|https://t/1.jpg";
        QTest::newRow("page, no provider")
            << json("{'pageUrl': 'https://song.link/i/1', 'entitiesByUniqueId': {'A': {'title': 'T'}}}")
            << "universal"
            << "https://song.link/i/1 T|Unknown|unknown|-";
        QTest::newRow("page, no entities")
            << json("{'pageUrl': 'https://song.link/i/1', 'entitiesByUniqueId': {}}") << "universal"
            << "https://song.link/i/1 none";
        QTest::newRow("page null") << json("{'pageUrl': null, 'PageUrl': 'https://song.link/i/1'}")
                                   << "universal"
                                   << "songNotFound";
        QTest::newRow("page as number") << json("{'pageUrl': 1}") << "universal"
                                        << "decodingError";
    }

    void answersBuiltForEdgeCases() {
        QFETCH(QByteArray, body);
        QFETCH(QString, operation);
        QFETCH(QString, expected);
        Rig rig;
        rig.server.setDefaultAnswer(Answer::withStatus(200, body));
        QString actual;
        if (operation == QLatin1String("convert")) {
            const auto outcome = run(rig.service.convert(feelGood, Platform::appleMusic));
            actual = outcome.value ? outcome.value->targetURL + QStringLiteral(" source=") +
                                         describe(outcome.value->sourceMetadata) +
                                         QStringLiteral(" target=") + describe(outcome.value->targetMetadata)
                                   : errorOf(outcome);
        } else {
            const auto outcome = run(rig.service.getUniversalLink(feelGood));
            actual = outcome.value
                         ? outcome.value->pageURL + QLatin1Char(' ') + describe(outcome.value->metadata)
                         : errorOf(outcome).section(QLatin1Char('('), 0, 0);
        }
        QCOMPARE(actual, expected);
    }

    // A local file is no HTTP answer: read as if the status were 200.
    void answerWithoutHTTPStatusIsDecoded() {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("links")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(FakeSongLinkServer::recordedBody(QStringLiteral("spotify-feel-good-inc-de.json")).value());
        file.close();
        QNetworkAccessManager network;
        SongLinkService service(&network, QUrl::fromLocalFile(file.fileName()).toString());
        const auto outcome = run(service.getUniversalLink(feelGood));
        QVERIFY2(outcome.value, qPrintable(errorOf(outcome)));
        QCOMPARE(outcome.value->pageURL, QStringLiteral("https://song.link/s/0d28khcov6AiegSCpG5TuT"));
    }

    // The answers come a minute late: an end that waited for them would show, however slow the
    // machine.
    void cancellingAbortsMetadataFetch() {
        Rig rig(120s);
        rig.server.setDefaultAnswer(
            Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")).after(60s));
        CancellationToken token;
        std::optional<Outcome<SongMetadata>> outcome;
        QCoro::connect(capture(rig.service.fetchMetadata(feelGood, Platform::spotify, token)), this,
                       [&](Outcome<SongMetadata> got) { outcome = std::move(got); });
        QTRY_COMPARE(rig.server.requests().size(), 1);
        token.cancel();
        // The operation fails later, never inside cancel().
        QVERIFY(!outcome);
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 20000);
        QCOMPARE(errorOf(*outcome), QStringLiteral("networkError"));

        // Cancelled before it starts: nothing is sent.
        const auto early = run(rig.service.fetchMetadata(feelGood, Platform::spotify, token));
        QCOMPARE(errorOf(early), QStringLiteral("networkError"));
        QCOMPARE(rig.server.requests().size(), 1);
    }

    void destroyingServiceEndsRunningOperations() {
        FakeSongLinkServer server;
        server.setDefaultAnswer(Answer::recorded(QStringLiteral("spotify-feel-good-inc-de.json")).after(60s));
        auto service = std::make_unique<SongLinkService>(nullptr, server.baseURL(), 120s);
        std::optional<Outcome<SongMetadata>> fetched;
        QCoro::connect(capture(service->fetchMetadata(feelGood)), this,
                       [&](Outcome<SongMetadata> got) { fetched = std::move(got); });
        QTRY_COMPARE(server.requests().size(), 1);
        service.reset();
        QTRY_VERIFY_WITH_TIMEOUT(fetched.has_value(), 20000);
        QCOMPARE(errorOf(*fetched), QStringLiteral("networkError"));

        // Gone during the wait between attempts: no further attempt.
        server.reset();
        server.setDefaultAnswer(Answer::withStatus(503, "{}"));
        service = std::make_unique<SongLinkService>(nullptr, server.baseURL());
        std::optional<Outcome<ConversionResult>> converted;
        QCoro::connect(capture(service->convert(feelGood, Platform::tidal)), this,
                       [&](Outcome<ConversionResult> got) { converted = std::move(got); });
        QTRY_COMPARE(TestEnvironment::debugLogMessages().size(), 2);
        service.reset();
        QTRY_VERIFY_WITH_TIMEOUT(converted.has_value(), 20000);
        QCOMPARE(errorOf(*converted), QStringLiteral("networkError"));
        QCOMPARE(server.requests().size(), 1);
    }
};

ONDARI_TEST_MAIN(TestSongLinkService)
#include "tst_songlinkservice.moc"
