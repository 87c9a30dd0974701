#include "SongLinkModels.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QTest>

namespace {

QString opt(const std::optional<QString>& value) {
    return value ? *value : QStringLiteral("~");
}
QString opt(const std::optional<qint64>& value) {
    return value ? QString::number(*value) : QStringLiteral("~");
}

// One canonical line per answer: every field in order, "~" for an absent one.
QString dump(const SongLinkResponse& r) {
    QStringList parts{opt(r.entityUniqueId), opt(r.userCountry), opt(r.pageUrl)};
    if (!r.linksByPlatform) {
        parts << QStringLiteral("~");
    } else {
        QStringList links;
        for (auto it = r.linksByPlatform->cbegin(); it != r.linksByPlatform->cend(); ++it) {
            const PlatformLink& l = it.value();
            links << it.key() + QLatin1Char(':') +
                         QStringList{opt(l.url), opt(l.nativeAppUriMobile), opt(l.nativeAppUriDesktop),
                                     opt(l.entityUniqueId)}
                             .join(QLatin1Char(','));
        }
        parts << QLatin1Char('{') + links.join(QLatin1Char(' ')) + QLatin1Char('}');
    }
    if (!r.entitiesByUniqueId) {
        parts << QStringLiteral("~");
    } else {
        QStringList entities;
        for (auto it = r.entitiesByUniqueId->cbegin(); it != r.entitiesByUniqueId->cend(); ++it) {
            const SongEntity& e = it.value();
            entities << it.key() + QLatin1Char(':') +
                            QStringList{opt(e.id),
                                        opt(e.type),
                                        opt(e.title),
                                        opt(e.artistName),
                                        opt(e.thumbnailUrl),
                                        opt(e.thumbnailWidth),
                                        opt(e.thumbnailHeight),
                                        opt(e.apiProvider),
                                        e.platforms ? QLatin1Char('[') + e.platforms->join(QLatin1Char('|')) +
                                                          QLatin1Char(']')
                                                    : QStringLiteral("~")}
                                .join(QLatin1Char(','));
        }
        parts << QLatin1Char('{') + entities.join(QLatin1Char(' ')) + QLatin1Char('}');
    }
    return parts.join(QLatin1Char(' '));
}

QString decodeToText(const QByteArray& body) {
    SongLinkResponse::DecodingError error;
    const auto response = SongLinkResponse::decode(body, &error);
    if (!response) {
        return error.message.isEmpty() ? QStringLiteral("FAILED without a reason") : QStringLiteral("FAILED");
    }
    return dump(*response);
}

const QString allAbsent = QStringLiteral("~ ~ ~ ~ ~");

QByteArray entity(const QByteArray& fields) {
    return R"({"entitiesByUniqueId": {"E": {)" + fields + "}}}";
}

} // namespace

class TestSongLinkModels : public QObject {
    Q_OBJECT

private slots:
    void recordedAnswers_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("status");
        const QList<QByteArray> lines =
            TestEnvironment::readTestData(QStringLiteral("api-responses/index.tsv")).split('\n');
        QStringList listed;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> cells = lines[i].split('\t');
            if (cells.size() < 2) {
                continue;
            }
            listed << QString::fromUtf8(cells[0]);
            QTest::newRow(cells[0].constData()) << QString::fromUtf8(cells[0]) << cells[1].toInt();
        }
        // The index covers every recorded answer.
        const QStringList present = QDir(TestEnvironment::testDataDir() + QStringLiteral("/api-responses"))
                                        .entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
        listed.sort();
        QCOMPARE(listed, present);
    }

    void recordedAnswers() {
        QFETCH(QString, file);
        QFETCH(int, status);
        const QByteArray body = TestEnvironment::readTestData(QStringLiteral("api-responses/") + file);
        const auto response = SongLinkResponse::decode(body);

        // One entity's "id" is a number there: the whole answer is unusable.
        if (file == QLatin1String("applemusic-album-facing-the-end-bandcamp-int-id.json")) {
            QVERIFY(!response);
            return;
        }
        QVERIFY(response);
        if (status != 200) {
            // {"statusCode": N, "code": "..."}: nothing we know, so every field is absent.
            QCOMPARE(dump(*response), allAbsent);
            return;
        }

        // Compare with a plain reading of the same JSON.
        const QJsonObject json = QJsonDocument::fromJson(body).object();
        QCOMPARE(opt(response->pageUrl), json.value(QLatin1String("pageUrl")).toString());
        QCOMPARE(opt(response->entityUniqueId), json.value(QLatin1String("entityUniqueId")).toString());
        QCOMPARE(opt(response->userCountry), json.value(QLatin1String("userCountry")).toString());
        const QJsonObject links = json.value(QLatin1String("linksByPlatform")).toObject();
        QVERIFY(response->linksByPlatform);
        QCOMPARE(response->linksByPlatform->keys(), links.keys());
        for (auto it = links.begin(); it != links.end(); ++it) {
            const PlatformLink& link = response->linksByPlatform->value(it.key());
            QCOMPARE(opt(link.url), it.value().toObject().value(QLatin1String("url")).toString());
            QCOMPARE(link.entityUniqueId.has_value(),
                     it.value().toObject().contains(QLatin1String("entityUniqueId")));
        }
        const QJsonObject entities = json.value(QLatin1String("entitiesByUniqueId")).toObject();
        QVERIFY(response->entitiesByUniqueId);
        QCOMPARE(response->entitiesByUniqueId->keys(), entities.keys());
        for (auto it = entities.begin(); it != entities.end(); ++it) {
            const SongEntity& e = response->entitiesByUniqueId->value(it.key());
            const QJsonObject o = it.value().toObject();
            QCOMPARE(e.title.has_value(), o.contains(QLatin1String("title")));
            QCOMPARE(e.title.value_or(QString()), o.value(QLatin1String("title")).toString());
            QCOMPARE(e.artistName.value_or(QString()), o.value(QLatin1String("artistName")).toString());
            QCOMPARE(e.apiProvider.value_or(QString()), o.value(QLatin1String("apiProvider")).toString());
            QCOMPARE(e.thumbnailUrl.value_or(QString()), o.value(QLatin1String("thumbnailUrl")).toString());
            QCOMPARE(e.thumbnailWidth.value_or(-1), o.value(QLatin1String("thumbnailWidth")).toInteger(-1));
            QCOMPARE(e.thumbnailHeight.value_or(-1), o.value(QLatin1String("thumbnailHeight")).toInteger(-1));
            QCOMPARE(e.platforms.value_or(QStringList()).size(),
                     o.value(QLatin1String("platforms")).toArray().size());
        }
    }

    void recordedAnswerDetails() {
        const auto answer = SongLinkResponse::decode(
            TestEnvironment::readTestData("api-responses/youtube-an-apple-youtube-only-de.json"));
        QVERIFY(answer);
        QCOMPARE(
            dump(*answer),
            QStringLiteral(
                "YOUTUBE_VIDEO::0_S3ytsXlIA DE https://song.link/y/0_S3ytsXlIA "
                "{youtube:https://www.youtube.com/watch?v=0_S3ytsXlIA,~,~,YOUTUBE_VIDEO::0_S3ytsXlIA "
                "youtubeMusic:https://music.youtube.com/watch?v=0_S3ytsXlIA,~,~,YOUTUBE_VIDEO::0_S3ytsXlIA} "
                "{YOUTUBE_VIDEO::0_S3ytsXlIA:0_S3ytsXlIA,song,An Apple,tykylevits,"
                "https://i.ytimg.com/vi/0_S3ytsXlIA/hqdefault.jpg,480,360,youtube,[youtube|youtubeMusic]}"));
    }

    void decodingRules_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QString failed = QStringLiteral("FAILED");

        QTest::newRow("empty object") << QByteArray("{}") << allAbsent;
        QTest::newRow("white space around") << QByteArray(" \n{}\r\n ") << allAbsent;
        QTest::newRow("nulls equal absent")
            << QByteArray(R"({"entityUniqueId":null,"userCountry":null,"pageUrl":null,"linksByPlatform":null,
                              "entitiesByUniqueId":null})")
            << allAbsent;
        QTest::newRow("top fields") << QByteArray(
                                           R"({"entityUniqueId":"A","userCountry":"US","pageUrl":"P"})")
                                    << "A US P ~ ~";
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"statusCode":400,"code":"x","extra":[1,null,{}],"n":null,"o":{"pageUrl":3}})")
            << allAbsent;
        QTest::newRow("key case matters") << QByteArray(R"({"PageUrl":"P","pageURL":"Q"})") << allAbsent;
        QTest::newRow("key case beside real key")
            << QByteArray(R"({"PageUrl":7,"pageUrl":"P"})") << "~ ~ P ~ ~";
        QTest::newRow("escaped text") << QByteArray("{\"pageUrl\":\"a\\/b \\u00e9\\ud83c\\udfb5 \\\"q\\\"\"}")
                                      << "~ ~ a/b é🎵 \"q\" ~ ~";
        QTest::newRow("empty text") << QByteArray(R"({"pageUrl":""})") << "~ ~  ~ ~";

        QTest::newRow("text as number") << QByteArray(R"({"pageUrl":1})") << failed;
        QTest::newRow("text as boolean") << QByteArray(R"({"userCountry":true})") << failed;
        QTest::newRow("text as object") << QByteArray(R"({"entityUniqueId":{}})") << failed;
        QTest::newRow("text as array") << QByteArray(R"({"pageUrl":["P"]})") << failed;

        QTest::newRow("empty maps") << QByteArray(R"({"linksByPlatform":{},"entitiesByUniqueId":{}})")
                                    << "~ ~ ~ {} {}";
        QTest::newRow("empty link entry")
            << QByteArray(R"({"linksByPlatform":{"spotify":{}}})") << "~ ~ ~ {spotify:~,~,~,~} ~";
        QTest::newRow("full link entry")
            << QByteArray(R"({"linksByPlatform":{"yandex":{"url":"U","nativeAppUriMobile":"M",
                            "nativeAppUriDesktop":"D","entityUniqueId":"I","country":"RU"}}})")
            << "~ ~ ~ {yandex:U,M,D,I} ~";
        QTest::newRow("link entry null") << QByteArray(R"({"linksByPlatform":{"spotify":null}})") << failed;
        QTest::newRow("link entry text") << QByteArray(R"({"linksByPlatform":{"spotify":"U"}})") << failed;
        QTest::newRow("link entry array") << QByteArray(R"({"linksByPlatform":{"spotify":[]}})") << failed;
        QTest::newRow("link url number")
            << QByteArray(R"({"linksByPlatform":{"spotify":{"url":5}}})") << failed;
        QTest::newRow("link map as array") << QByteArray(R"({"linksByPlatform":[{"url":"U"}]})") << failed;
        QTest::newRow("entity map as text") << QByteArray(R"({"entitiesByUniqueId":"E"})") << failed;
        QTest::newRow("entity null") << QByteArray(R"({"entitiesByUniqueId":{"E":null}})") << failed;
        QTest::newRow("one bad entity among good")
            << QByteArray(
                   R"({"pageUrl":"P","entitiesByUniqueId":{"A":{"title":"t"},"B":{"title":2},"C":{}}})")
            << failed;

        QTest::newRow("entity fields")
            << entity(R"("id":"1","type":"song","title":"T","artistName":"A","thumbnailUrl":"U",
                         "thumbnailWidth":640,"thumbnailHeight":-1,"apiProvider":"itunes","platforms":["a","b"],
                         "unknown":{"deep":[null]})")
            << "~ ~ ~ ~ {E:1,song,T,A,U,640,-1,itunes,[a|b]}";
        QTest::newRow("entity all null")
            << entity(R"("id":null,"type":null,"title":null,"artistName":null,"thumbnailUrl":null,
                         "thumbnailWidth":null,"thumbnailHeight":null,"apiProvider":null,"platforms":null)")
            << "~ ~ ~ ~ {E:~,~,~,~,~,~,~,~,~}";
        QTest::newRow("entity id number") << entity(R"("id":123)") << failed;
        QTest::newRow("width as text") << entity(R"("thumbnailWidth":"640")") << failed;
        QTest::newRow("width as boolean") << entity(R"("thumbnailWidth":false)") << failed;
        QTest::newRow("width with fraction") << entity(R"("thumbnailWidth":1.5)") << failed;
        QTest::newRow("height beyond 64 bits")
            << entity(R"("thumbnailHeight":9223372036854775808)") << failed;
        QTest::newRow("height far beyond 64 bits") << entity(R"("thumbnailHeight":1e300)") << failed;
        QTest::newRow("height below 64 bits")
            << entity(R"("thumbnailHeight":-9223372036854775809)") << failed;
        QTest::newRow("largest height") << entity(R"("thumbnailHeight":9223372036854775807)")
                                        << "~ ~ ~ ~ {E:~,~,~,~,~,~,9223372036854775807,~,~}";
        QTest::newRow("smallest width") << entity(R"("thumbnailWidth":-9223372036854775808)")
                                        << "~ ~ ~ ~ {E:~,~,~,~,~,-9223372036854775808,~,~,~}";
        QTest::newRow("zero width") << entity(R"("thumbnailWidth":0)") << "~ ~ ~ ~ {E:~,~,~,~,~,0,~,~,~}";
        // Numbers the parser would round to a plausible integer.
        QTest::newRow("height just below 64 bits")
            << entity(R"("thumbnailHeight":-9223372036854776000)") << failed;
        QTest::newRow("large width with fraction")
            << entity(R"("thumbnailWidth":1000000000000000000.5)") << failed;
        QTest::newRow("exponent beyond 64 bits")
            << entity(R"("thumbnailWidth":9.223372036854775808e18)") << failed;
        QTest::newRow("negative exponent fraction") << entity(R"("thumbnailWidth":12e-1)") << failed;
        QTest::newRow("escaped key still checked")
            << entity(R"("thumbnail\u0057idth":1000000000000000000.5)") << failed;
        // Other spellings of a whole number are taken as that number.
        QTest::newRow("whole number forms") << entity(R"("thumbnailWidth":640.0,"thumbnailHeight":6.4E2)")
                                            << "~ ~ ~ ~ {E:~,~,~,~,~,640,640,~,~}";
        QTest::newRow("large whole number as exponent")
            << entity(R"("thumbnailWidth":9.223372036854775e18)") << failed;
        QTest::newRow("negative exponent whole")
            << entity(R"("thumbnailWidth":120e-1,"thumbnailHeight":-0.0)")
            << "~ ~ ~ ~ {E:~,~,~,~,~,12,0,~,~}";
        // The same names elsewhere are unknown keys and take any value.
        QTest::newRow("same names elsewhere")
            << QByteArray(R"({"x":{"thumbnailWidth":1.5},"linksByPlatform":{"a":{"thumbnailWidth":0.5}},)"
                          "\"entitiesByUniqueId\":{\"E\":{\"extra\":{\"thumbnailHeight\":1e300},"
                          "\"title\":\"\\\"thumbnailWidth\\\":1.5\"}}}")
            << "~ ~ ~ {a:~,~,~,~} {E:~,~,\"thumbnailWidth\":1.5,~,~,~,~,~,~}";
        QTest::newRow("empty platforms") << entity(R"("platforms":[])") << "~ ~ ~ ~ {E:~,~,~,~,~,~,~,~,[]}";
        QTest::newRow("platforms with null") << entity(R"("platforms":["a",null])") << failed;
        QTest::newRow("platforms with number") << entity(R"("platforms":[1])") << failed;
        QTest::newRow("platforms nested") << entity(R"("platforms":[["a"]])") << failed;
        QTest::newRow("platforms as text") << entity(R"("platforms":"a")") << failed;

        QTest::newRow("empty body") << QByteArray() << failed;
        QTest::newRow("top-level array") << QByteArray("[]") << failed;
        QTest::newRow("top-level array of answer") << QByteArray(R"([{"pageUrl":"P"}])") << failed;
        QTest::newRow("top-level null") << QByteArray("null") << failed;
        QTest::newRow("top-level text") << QByteArray(R"("P")") << failed;
        QTest::newRow("top-level number") << QByteArray("42") << failed;
        QTest::newRow("cut short") << QByteArray(R"({"pageUrl":"P")") << failed;
        QTest::newRow("trailing garbage") << QByteArray(R"({"pageUrl":"P"} x)") << failed;
        QTest::newRow("trailing comma") << QByteArray(R"({"pageUrl":"P",})") << failed;
        QTest::newRow("html error page") << QByteArray("<html><body>502 Bad Gateway</body></html>") << failed;
    }

    void decodingRules() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(decodeToText(body), expected);
    }

    void songMetadataEquality_data() {
        QTest::addColumn<SongMetadata>("a");
        QTest::addColumn<SongMetadata>("b");
        QTest::addColumn<bool>("equal");
        const QUrl art(QStringLiteral("https://i.scdn.co/image/ab67616d0000b273"));
        const SongMetadata base{QStringLiteral("Song"), QStringLiteral("Artist"), art,
                                QStringLiteral("spotify")};
        auto with = [&](auto change) {
            SongMetadata m = base;
            change(m);
            return m;
        };
        QTest::newRow("same") << base << base << true;
        QTest::newRow("both without artwork")
            << with([](SongMetadata& m) { m.thumbnailURL.reset(); })
            << with([](SongMetadata& m) { m.thumbnailURL.reset(); }) << true;
        QTest::newRow("artwork only on one side")
            << base << with([](SongMetadata& m) { m.thumbnailURL.reset(); }) << false;
        QTest::newRow("other artwork") << base << with([](SongMetadata& m) {
            m.thumbnailURL = QUrl(QStringLiteral("https://i.scdn.co/x"));
        }) << false;
        QTest::newRow("other title") << base
                                     << with([](SongMetadata& m) { m.title = QStringLiteral("song"); })
                                     << false;
        QTest::newRow("other artist")
            << base << with([](SongMetadata& m) { m.artist = QStringLiteral("Unknown"); }) << false;
        QTest::newRow("provider text against raw value")
            << with([](SongMetadata& m) { m.platform = QStringLiteral("itunes"); })
            << with([](SongMetadata& m) { m.platform = QStringLiteral("appleMusic"); }) << false;
        QTest::newRow("empty against absent-looking text")
            << with([](SongMetadata& m) { m.title.clear(); })
            << with([](SongMetadata& m) { m.title = QStringLiteral("Unknown"); }) << false;
    }

    void songMetadataEquality() {
        QFETCH(SongMetadata, a);
        QFETCH(SongMetadata, b);
        QFETCH(bool, equal);
        QCOMPARE(a == b, equal);
        QCOMPARE(b == a, equal);
        QCOMPARE(a != b, !equal);
    }
};

ONDARI_TEST_MAIN(TestSongLinkModels)
#include "tst_songlinkmodels.moc"
