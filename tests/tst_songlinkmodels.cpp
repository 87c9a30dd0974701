#include "SongLinkModels.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
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

// JSON written with ' for ", where a raw string would hold "//", which moc cannot read.
QByteArray quoted(const char* text) {
    return QByteArray(text).replace('\'', '"');
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
        QTest::newRow("top fields")
            << quoted("{'entityUniqueId':'A','userCountry':'US','pageUrl':'https://song.link/s/P'}")
            << "A US https://song.link/s/P ~ ~";
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"statusCode":400,"code":"x","extra":[1,null,{}],"n":null,"o":{"pageUrl":3}})")
            << allAbsent;
        QTest::newRow("key case matters") << QByteArray(R"({"PageUrl":"P","pageURL":"Q"})") << allAbsent;
        QTest::newRow("key case beside real key")
            << quoted("{'PageUrl':7,'pageUrl':'https://song.link/s/P'}") << "~ ~ https://song.link/s/P ~ ~";
        QTest::newRow("escaped text")
            << QByteArray("{\"userCountry\":\"a\\/b \\u00e9\\ud83c\\udfb5 \\\"q\\\"\"}")
            << "~ a/b é🎵 \"q\" ~ ~ ~";
        QTest::newRow("empty text") << QByteArray(R"({"userCountry":""})") << "~  ~ ~ ~";

        QTest::newRow("text as number") << QByteArray(R"({"pageUrl":1})") << failed;
        QTest::newRow("text as boolean") << QByteArray(R"({"userCountry":true})") << failed;
        QTest::newRow("text as object") << QByteArray(R"({"entityUniqueId":{}})") << failed;
        QTest::newRow("text as array") << QByteArray(R"({"pageUrl":["P"]})") << failed;

        QTest::newRow("empty maps") << QByteArray(R"({"linksByPlatform":{},"entitiesByUniqueId":{}})")
                                    << "~ ~ ~ {} {}";
        QTest::newRow("empty link entry")
            << QByteArray(R"({"linksByPlatform":{"spotify":{}}})") << "~ ~ ~ {spotify:~,~,~,~} ~";
        QTest::newRow("full link entry")
            << quoted("{'linksByPlatform':{'yandex':{'url':'https://music.yandex.ru/track/1',"
                      "'nativeAppUriMobile':'M','nativeAppUriDesktop':'D','entityUniqueId':'I','country':'RU'"
                      "}}}")
            << "~ ~ ~ {yandex:https://music.yandex.ru/track/1,M,D,I} ~";
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
            << entity(quoted(
                   "'id':'1','type':'song','title':'T','artistName':'A','thumbnailUrl':'https://i.scdn.co/U',"
                   "'thumbnailWidth':640,'thumbnailHeight':-1,'apiProvider':'itunes','platforms':['a','b'],"
                   "'unknown':{'deep':[null]}"))
            << "~ ~ ~ ~ {E:1,song,T,A,https://i.scdn.co/U,640,-1,itunes,[a|b]}";
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

    // Converted links, song pages and artwork are used only when they are web addresses of sane
    // length; the same rule holds for all three fields.
    void linkRule_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("usable");
        const QString base = QStringLiteral("https://music.apple.com/");
        QTest::newRow("https") << base + QStringLiteral("us/song/1?i=2&l=en") << true;
        QTest::newRow("http with port") << QStringLiteral("http://127.0.0.1:8080/x") << true;
        QTest::newRow("scheme in capitals") << QStringLiteral("HTTPS://music.apple.com/x") << true;
        QTest::newRow("letters beyond ASCII") << QStringLiteral("https://music.yandex.ru/трек/1") << true;
        QTest::newRow("2,048 bytes") << base + QString(2048 - base.size(), QLatin1Char('a')) << true;
        QTest::newRow("2,049 bytes") << base + QString(2049 - base.size(), QLatin1Char('a')) << false;
        // Counted in UTF-8 bytes: 1,100 letters of two bytes each.
        QTest::newRow("2,224 bytes in fewer units") << base + QString(1100, QChar(0x0436)) << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("trailing line break") << base + QStringLiteral("x\n") << false;
        QTest::newRow("no-break space") << base + QStringLiteral("a\u00A0b") << false;
        QTest::newRow("control character") << base + QStringLiteral("a\u0007") << false;
        QTest::newRow("zero-width space") << base + QStringLiteral("a\u200Bb") << false;
        QTest::newRow("lone surrogate") << base + QChar(0xD800) << false;
        QTest::newRow("no host") << QStringLiteral("https:///x") << false;
        QTest::newRow("scheme only") << QStringLiteral("https:x") << false;
        QTest::newRow("relative") << QStringLiteral("//music.apple.com/x") << false;
        QTest::newRow("local file") << QStringLiteral("file:///etc/passwd") << false;
        QTest::newRow("script") << QStringLiteral("javascript:alert(1)") << false;
        QTest::newRow("not a URL") << base + QStringLiteral("a\"b") << false;
    }

    void linkRule() {
        QFETCH(QString, link);
        QFETCH(bool, usable);
        QCOMPARE(SongLinkResponse::isUsableLink(link), usable);
        QJsonObject entity{{QStringLiteral("thumbnailUrl"), link}};
        QJsonObject root{
            {QStringLiteral("pageUrl"), link},
            {QStringLiteral("linksByPlatform"),
             QJsonObject{{QStringLiteral("appleMusic"), QJsonObject{{QStringLiteral("url"), link}}}}},
            {QStringLiteral("entitiesByUniqueId"), QJsonObject{{QStringLiteral("E"), entity}}}};
        const auto response = SongLinkResponse::decode(QJsonDocument(root).toJson());
        QVERIFY(response);
        const std::optional<QString> expected = usable ? std::optional<QString>(link) : std::nullopt;
        QCOMPARE(response->pageUrl, expected);
        QCOMPARE(response->linksByPlatform->value(QStringLiteral("appleMusic")).url, expected);
        QCOMPARE(response->entitiesByUniqueId->value(QStringLiteral("E")).thumbnailUrl, expected);
    }

    // Every other text is cut to 500 user-perceived characters, never inside one.
    void textsAreCut_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cut");
        const QString a499(499, QLatin1Char('a'));
        QTest::newRow("500 stay") << a499 + QLatin1Char('b') << a499 + QLatin1Char('b');
        QTest::newRow("501 lose one") << a499 + QStringLiteral("bc") << a499 + QLatin1Char('b');
        QTest::newRow("emoji at the cut")
            << a499 + QStringLiteral("👍🏽x") << a499 + QStringLiteral("👍🏽");
        QTest::newRow("accent at the cut")
            << a499 + QStringLiteral("e\u0301x") << a499 + QStringLiteral("e\u0301");
        QTest::newRow("two megabytes") << QString(1 << 20, QChar(0x00E9)) << QString(500, QChar(0x00E9));
        // Also at most 2,000 UTF-16 units: at the last character boundary within them, or right
        // there when one character takes them all.
        const QString zalgo = QLatin1Char('z') + QString(5000, QChar(0x0301));
        const QString y498(498, QLatin1Char('y'));
        QTest::newRow("one long character") << zalgo + y498 + QStringLiteral("ab") << zalgo.left(2000);
        const QString accented = QStringLiteral("e\u0301\u0301\u0301\u0301").repeated(399);
        QTest::newRow("character across the length cut")
            << accented + QLatin1Char('e') + QString(10, QChar(0x0301)) + QLatin1Char('x') << accented;
    }

    void textsAreCut() {
        QFETCH(QString, text);
        QFETCH(QString, cut);
        QJsonObject entity{{QStringLiteral("title"), text},
                           {QStringLiteral("artistName"), text},
                           {QStringLiteral("apiProvider"), text}};
        QJsonObject root{{QStringLiteral("userCountry"), text},
                         {QStringLiteral("entitiesByUniqueId"), QJsonObject{{QStringLiteral("E"), entity}}}};
        QElapsedTimer timer;
        timer.start();
        const auto response = SongLinkResponse::decode(QJsonDocument(root).toJson());
        qInfo("decoded in %lld ms", timer.elapsed());
        QVERIFY(response);
        QCOMPARE(*response->userCountry, cut);
        const SongEntity decoded = response->entitiesByUniqueId->value(QStringLiteral("E"));
        QCOMPARE(*decoded.title, cut);
        QCOMPARE(*decoded.artistName, cut);
        QCOMPARE(*decoded.apiProvider, cut);
    }
};

ONDARI_TEST_MAIN(TestSongLinkModels)
#include "tst_songlinkmodels.moc"
