// Serves the recorded link-conversion answers on 127.0.0.1, so the program can be run and tried
// without the real web service: ONDARI_API_BASE_URL=http://127.0.0.1:<port>/v1-alpha.1/links.

#include "FakeSongLinkServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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
    parser.addOptions({portOption, dataOption, mappingOption, verboseOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "invalid port: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }
    FakeSongLinkServer::setRecordedDir(parser.value(dataOption));

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
    QSet<QString> mapped;
    QList<std::pair<QString, FakeSongLinkServer::Answer>> derived;
    for (const Mapping& entry : mapping) {
        const std::optional<QByteArray> body = FakeSongLinkServer::recordedBody(entry.file);
        if (!body) {
            std::fprintf(stderr, "missing recorded answer %s\n", qPrintable(entry.file));
            return 2;
        }
        const auto answer = FakeSongLinkServer::Answer::withStatus(entry.status, *body);
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

    if (!server.listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
        return 1;
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
