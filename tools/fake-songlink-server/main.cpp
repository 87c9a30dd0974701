// Serves the recorded link-conversion answers on 127.0.0.1, so the program can be run and tried
// without the real web service: ONDARI_API_BASE_URL=http://127.0.0.1:<port>/v1-alpha.1/links.

#include "FakeSongLinkServer.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>

#include <cstdio>

namespace {

struct Mapping {
    QString link;
    QString file;
    int status = 200;
};

bool isPlainLink(const QString& text) {
    static const QRegularExpression whiteSpace(QStringLiteral("\\s"));
    return (text.startsWith(QLatin1String("https://")) || text.startsWith(QLatin1String("http://"))) &&
           !text.contains(whiteSpace);
}

int recordedStatus(const QString& file) {
    for (const FakeSongLinkServer::RecordedEntry& entry : FakeSongLinkServer::recordedIndex()) {
        if (entry.file == file) {
            return entry.status;
        }
    }
    return 200;
}

// The index rows that name a real link; the others describe the link in words.
QList<Mapping> indexMapping() {
    QList<Mapping> mapping;
    for (const FakeSongLinkServer::RecordedEntry& entry : FakeSongLinkServer::recordedIndex()) {
        if (isPlainLink(entry.linkSent)) {
            mapping.append({entry.linkSent, entry.file, entry.status});
        }
    }
    return mapping;
}

// Lines of link, file name and optionally the status, separated by tabs; "#" starts a comment.
std::optional<QList<Mapping>> fileMapping(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QList<Mapping> mapping;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 2) {
            continue;
        }
        bool ok = false;
        const int status = fields.size() >= 3 ? fields.at(2).trimmed().toInt(&ok) : 0;
        mapping.append(
            {fields.at(0).trimmed(), fields.at(1).trimmed(), ok ? status : recordedStatus(fields.at(1))});
    }
    return mapping;
}

// Every service's link in a found song's answer leads to that same answer.
QStringList serviceLinks(const QByteArray& body) {
    QStringList links;
    const QJsonObject byPlatform =
        QJsonDocument::fromJson(body).object().value(QLatin1String("linksByPlatform")).toObject();
    for (auto it = byPlatform.begin(); it != byPlatform.end(); ++it) {
        const QString url = it.value().toObject().value(QLatin1String("url")).toString();
        if (!url.isEmpty()) {
            links.append(url);
        }
    }
    return links;
}

// The id of the entity that a found song's answer gives for a service, e.g. "appleMusic".
QByteArray entityId(const QByteArray& body, const QString& service) {
    const QJsonObject root = QJsonDocument::fromJson(body).object();
    const QString key = root.value(QLatin1String("linksByPlatform"))
                            .toObject()
                            .value(service)
                            .toObject()
                            .value(QLatin1String("entityUniqueId"))
                            .toString();
    return root.value(QLatin1String("entitiesByUniqueId"))
        .toObject()
        .value(key)
        .toObject()
        .value(QLatin1String("id"))
        .toString()
        .toUtf8();
}

// Made-up answers for Spotify links nobody recorded: a recorded answer with the Spotify id and
// the Apple Music id swapped for new ones, so that every link gets a song (and a link) of its own.
class SpotifySynthesizer {
public:
    explicit SpotifySynthesizer(QByteArray templateBody)
        : m_template(std::move(templateBody)), m_spotifyId(entityId(m_template, QStringLiteral("spotify"))),
          m_appleId(entityId(m_template, QStringLiteral("appleMusic"))) {}

    bool isValid() const { return !m_spotifyId.isEmpty() && !m_appleId.isEmpty(); }

    std::optional<QByteArray> answerFor(const QString& link) {
        static const QRegularExpression track(
            QStringLiteral("^https://open\\.spotify\\.com/track/([A-Za-z0-9]+)$"));
        const QRegularExpressionMatch match = track.match(link);
        if (!match.hasMatch()) {
            return std::nullopt;
        }
        QByteArray body = m_template;
        body.replace(m_spotifyId, match.captured(1).toUtf8());
        body.replace(m_appleId, QByteArray::number(++m_made + 900000000));
        return body;
    }

private:
    QByteArray m_template;
    QByteArray m_spotifyId;
    QByteArray m_appleId;
    qint64 m_made = 0;
};

// A cover-sized image, so that the song preview decodes something real.
QByteArray thumbnailPng() {
    QImage image(300, 300, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 300, 300);
    gradient.setColorAt(0, QColor(0x2b, 0x5f, 0x8a));
    gradient.setColorAt(1, QColor(0xe0, 0x8a, 0x3c));
    painter.fillRect(image.rect(), gradient);
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fake-songlink-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Answers link-conversion requests on 127.0.0.1 with recorded answers, chosen by the "
                       "request's url value. Prints the port it listens on."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on (0: any free one)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption dataOption(
        QStringLiteral("data"), QStringLiteral("Folder of the recorded answers."), QStringLiteral("dir"),
        qEnvironmentVariable("ONDARI_TESTDATA_DIR", QStringLiteral(ONDARI_TESTDATA_DIR)) +
            QStringLiteral("/api-responses"));
    const QCommandLineOption mappingOption(
        QStringLiteral("mapping"),
        QStringLiteral("Tab-separated lines: link, answer file, optional status (default: from index.tsv)."),
        QStringLiteral("file"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Print each request."));
    const QCommandLineOption synthesizeOption(
        QStringLiteral("synthesize-spotify"),
        QStringLiteral("Answer Spotify track links without a recorded answer with a made-up found song."));
    const QCommandLineOption thumbnailsOption(
        QStringLiteral("local-thumbnails"),
        QStringLiteral("Point every thumbnail address in the answers at an image this server serves."));
    parser.addOptions(
        {portOption, dataOption, mappingOption, verboseOption, synthesizeOption, thumbnailsOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "invalid port: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }
    FakeSongLinkServer::setRecordedDir(parser.value(dataOption));

    std::optional<SpotifySynthesizer> synthesizer;
    if (parser.isSet(synthesizeOption)) {
        const QString templateFile = QStringLiteral("spotify-feel-good-inc-de.json");
        const std::optional<QByteArray> body = FakeSongLinkServer::recordedBody(templateFile);
        if (body) {
            synthesizer.emplace(*body);
        }
        if (!synthesizer || !synthesizer->isValid()) {
            std::fprintf(stderr, "cannot make answers from %s\n", qPrintable(templateFile));
            return 2;
        }
    }

    QList<Mapping> mapping;
    if (parser.isSet(mappingOption)) {
        const std::optional<QList<Mapping>> fromFile = fileMapping(parser.value(mappingOption));
        if (!fromFile) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(parser.value(mappingOption)));
            return 2;
        }
        mapping = *fromFile;
    } else {
        mapping = indexMapping();
    }
    if (mapping.isEmpty()) {
        std::fprintf(stderr, "no recorded answers found in %s\n",
                     qPrintable(FakeSongLinkServer::recordedDir()));
        return 2;
    }

    FakeSongLinkServer server;
    if (!server.listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    // The image's address carries a url value of its own, which is how this server picks answers.
    const QString thumbnailLink = QStringLiteral("ondari-thumbnail");
    const QByteArray thumbnailUrl = QStringLiteral("http://127.0.0.1:%1/thumbnail.png?url=%2")
                                        .arg(server.port())
                                        .arg(thumbnailLink)
                                        .toUtf8();
    const bool localThumbnails = parser.isSet(thumbnailsOption);
    const auto localized = [&](QByteArray body) {
        if (localThumbnails) {
            static const QRegularExpression field(QStringLiteral(R"("thumbnailUrl"\s*:\s*"[^"]*")"));
            body =
                QString::fromUtf8(body)
                    .replace(field,
                             QStringLiteral("\"thumbnailUrl\": \"%1\"").arg(QString::fromUtf8(thumbnailUrl)))
                    .toUtf8();
        }
        return body;
    };
    if (localThumbnails) {
        server.setAnswer(thumbnailLink, FakeSongLinkServer::Answer::withStatus(200, thumbnailPng()));
    }

    QSet<QString> mapped;
    QList<std::pair<QString, FakeSongLinkServer::Answer>> derived;
    for (const Mapping& entry : mapping) {
        const std::optional<QByteArray> body = FakeSongLinkServer::recordedBody(entry.file);
        if (!body) {
            std::fprintf(stderr, "missing recorded answer %s\n", qPrintable(entry.file));
            return 2;
        }
        const auto answer = FakeSongLinkServer::Answer::withStatus(entry.status, localized(*body));
        server.setAnswer(entry.link, answer);
        mapped.insert(entry.link);
        if (entry.status == 200) {
            for (const QString& link : serviceLinks(*body)) {
                derived.append({link, answer});
            }
        }
    }
    // The links named in the mapping win over those found inside answers.
    for (const auto& [link, answer] : derived) {
        if (!mapped.contains(link)) {
            server.setAnswer(link, answer);
            mapped.insert(link);
        }
    }
    const QString notFound = QStringLiteral("error-400-could-not-resolve-entity-google-com.json");
    if (const std::optional<QByteArray> body = FakeSongLinkServer::recordedBody(notFound)) {
        server.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(404, *body));
    }

    if (synthesizer) {
        // Connected before any other receiver: the answer is chosen right after this signal.
        QObject::connect(
            &server, &FakeSongLinkServer::requestReceived, [&](const FakeSongLinkServer::Request& request) {
                if (!request.link || mapped.contains(*request.link)) {
                    return;
                }
                if (const std::optional<QByteArray> body = synthesizer->answerFor(*request.link)) {
                    server.setAnswer(*request.link,
                                     FakeSongLinkServer::Answer::withStatus(200, localized(*body)));
                    mapped.insert(*request.link);
                }
            });
    }
    if (parser.isSet(verboseOption)) {
        QObject::connect(
            &server, &FakeSongLinkServer::requestReceived, [](const FakeSongLinkServer::Request& request) {
                std::fprintf(stderr, "%s %s\n", request.method.constData(), request.target.constData());
            });
    }
    std::printf("%u\n", server.port());
    std::fflush(stdout);
    std::fprintf(stderr, "serving %lld links at %s\n", static_cast<long long>(mapped.size()),
                 qPrintable(server.baseURL()));
    return app.exec();
}
