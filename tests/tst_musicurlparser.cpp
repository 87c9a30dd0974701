#include "MusicPatterns.h"
#include "MusicURLParser.h"
#include "TestEnvironment.h"

#include <QObject>
#include <QTest>

namespace {

struct LinkRow {
    QString text;
    QString service; // a raw value, or "none"
    QString link;
};

QList<LinkRow> recordedRows() {
    const QString table = QString::fromUtf8(TestEnvironment::readTestData(QStringLiteral("track-links.tsv")));
    QList<LinkRow> rows;
    const QStringList lines = table.split(QLatin1Char('\n'));
    for (qsizetype i = 1; i < lines.size(); ++i) { // line 0 is the header
        if (lines[i].isEmpty()) {
            continue;
        }
        const QStringList cells = lines[i].split(QLatin1Char('\t'));
        if (cells.size() != 3) {
            qFatal("malformed track-links.tsv line %lld", static_cast<long long>(i + 1));
        }
        rows.append({cells[0], cells[1], cells[2]});
    }
    return rows;
}

// Result as one comparable text, so a mismatch shows both service and link.
QString describe(const std::optional<MusicURLParser::Match>& match) {
    return match ? Platforms::rawValue(match->platform) + QLatin1Char(' ') + match->url
                 : QStringLiteral("none");
}

QString expected(const QString& service, const QString& link) {
    return service == QLatin1String("none") ? QStringLiteral("none") : service + QLatin1Char(' ') + link;
}

} // namespace

class TestMusicURLParser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(recordedRows().size() >= 60); }

    void patternsCompile() {
        for (Platform platform : Platforms::allCases()) {
            const QRegularExpression& re = MusicPatterns::regex(platform);
            QVERIFY2(re.isValid(),
                     qPrintable(Platforms::rawValue(platform) + QLatin1String(": ") + re.errorString()));
            // Built once and kept.
            QCOMPARE(&MusicPatterns::regex(platform), &re);
        }
    }

    void recordedLinks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        int n = 0;
        for (const LinkRow& row : recordedRows()) {
            QTest::addRow("%d %s", ++n, qPrintable(row.text)) << row.text << expected(row.service, row.link);
        }
    }

    void recordedLinks() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(describe(MusicURLParser::parse(text)), expected);
    }

    // The same links inside longer texts. Only embeddings that cannot change the match are used:
    // white space on both sides ends every pattern's last path segment; trailing punctuation is
    // used only where the link ends in a character class that excludes it (every service but
    // SoundCloud, whose slug takes any character but "/" and white space).
    void embeddedLinks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        struct Embedding {
            const char* name;
            QString before;
            QString after;
            bool punctuation;
        };
        const QList<Embedding> embeddings = {
            {"sentence", QStringLiteral("Listen to this: "), QStringLiteral(" it is great"), false},
            {"lines", QStringLiteral("first line\n"), QStringLiteral("\nlast line\n"), false},
            {"crlf lines", QStringLiteral("Hi,\r\n\r\n"), QStringLiteral("\r\nBye"), false},
            {"tabs", QStringLiteral("a\t"), QStringLiteral("\tb"), false},
            {"no-break spaces", QStringLiteral("song\u00a0"), QStringLiteral("\u00a0more"), false},
            {"ideographic spaces", QStringLiteral("曲\u3000"), QStringLiteral("\u3000です"), false},
            {"line separators", QStringLiteral("x\u2028"), QStringLiteral("\u2028y"), false},
            {"next line", QStringLiteral("x\u0085"), QStringLiteral("\u0085y"), false},
            {"emoji around", QStringLiteral("🎵 "), QStringLiteral(" 🔥👍🏽"), false},
            {"full stop", QStringLiteral("Try "), QStringLiteral("."), true},
            {"parentheses", QStringLiteral("(see "), QStringLiteral("), thanks"), true},
            {"comma", QStringLiteral("one: "), QStringLiteral(", two"), true},
        };
        int n = 0;
        for (const LinkRow& row : recordedRows()) {
            ++n;
            if (row.service == QLatin1String("none")) {
                continue;
            }
            for (const Embedding& e : embeddings) {
                if (e.punctuation && row.service == QLatin1String("soundcloud")) {
                    continue;
                }
                QTest::addRow("%d %s", n, e.name)
                    << e.before + row.text + e.after << expected(row.service, row.link);
            }
        }
        // Links that are not recognised stay unrecognised in a text.
        n = 0;
        for (const LinkRow& row : recordedRows()) {
            ++n;
            if (row.service != QLatin1String("none")) {
                continue;
            }
            QTest::addRow("%d none in sentence", n)
                << QStringLiteral("Look: ") + row.text + QStringLiteral(" ok") << QStringLiteral("none");
            QTest::addRow("%d none in lines", n)
                << QStringLiteral("a\n") + row.text + QStringLiteral("\nb") << QStringLiteral("none");
        }
    }

    void embeddedLinks() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(describe(MusicURLParser::parse(text)), expected);
    }

    void edgeCases_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString spotify = QStringLiteral("https://open.spotify.com/track/4uLU6hMCjMI75M1A2tKUQC");

        QTest::newRow("empty") << QString() << "none";
        QTest::newRow("no link") << "just some words, no music"
                                 << "none";
        QTest::newRow("order beats position")
            << "first https://tidal.com/browse/track/123 then " + spotify << "spotify " + spotify;
        QTest::newRow("soundcloud before spotify")
            << "https://soundcloud.com/a/b and " + spotify << "spotify " + spotify;
        QTest::newRow("two spotify links")
            << spotify + " and https://open.spotify.com/track/0000000000000000000000"
            << "spotify " + spotify;
        QTest::newRow("si parameter in sentence") << "hey " + spotify + "?si=abc and more words"
                                                  << "spotify " + spotify;
        QTest::newRow("spotify upper case") << "HTTPS://OPEN.SPOTIFY.COM/TRACK/4uLU6hMCjMI75M1A2tKUQC"
                                            << "none";
        QTest::newRow("spotify host case") << "https://Open.Spotify.com/track/4uLU6hMCjMI75M1A2tKUQC"
                                           << "none";
        QTest::newRow("spotify path case") << "https://open.spotify.com/Track/4uLU6hMCjMI75M1A2tKUQC"
                                           << "none";
        QTest::newRow("spotify dot is literal") << "https://openxspotify.com/track/4uLU6hMC"
                                                << "none";
        QTest::newRow("spotify http") << "http://open.spotify.com/track/4uLU6hMC"
                                      << "none";
        QTest::newRow("spotify no identifier") << "https://open.spotify.com/track/?si=1"
                                               << "none";

        QTest::newRow("spotify locale")
            << "https://open.spotify.com/intl-de/track/4uLU6hMCjMI75M1A2tKUQC?si=x"
            << "spotify https://open.spotify.com/intl-de/track/4uLU6hMCjMI75M1A2tKUQC";
        QTest::newRow("spotify region locale")
            << "https://open.spotify.com/intl-pt-BR/track/4uLU6hMC"
            << "spotify https://open.spotify.com/intl-pt-BR/track/4uLU6hMC";
        QTest::newRow("spotify locale in sentence")
            << "song: https://open.spotify.com/intl-ja/track/4uLU6hMC, nice"
            << "spotify https://open.spotify.com/intl-ja/track/4uLU6hMC";
        QTest::newRow("spotify locale without name") << "https://open.spotify.com/intl-/track/4uLU6hMC"
                                                     << "none";
        QTest::newRow("spotify intl without dash") << "https://open.spotify.com/intl/track/4uLU6hMC"
                                                   << "none";
        QTest::newRow("spotify two locales") << "https://open.spotify.com/intl-de/intl-fr/track/4uLU6hMC"
                                             << "none";
        QTest::newRow("spotify other segment") << "https://open.spotify.com/embed/track/4uLU6hMC"
                                               << "none";
        QTest::newRow("spotify locale album") << "https://open.spotify.com/intl-de/album/4uLU6hMC"
                                              << "none";

        QTest::newRow("apple keeps track selector")
            << "https://music.apple.com/us/album/x/1?i=123"
            << "appleMusic https://music.apple.com/us/album/x/1?i=123";
        QTest::newRow("apple without selector") << "https://music.apple.com/de/song/abc/42"
                                                << "appleMusic https://music.apple.com/de/song/abc/42";
        QTest::newRow("apple upper storefront") << "https://music.apple.com/US/album/x/1?i=123"
                                                << "none";
        QTest::newRow("apple three-letter storefront") << "https://music.apple.com/usa/album/x/1"
                                                       << "none";
        QTest::newRow("apple playlist") << "https://music.apple.com/us/playlist/x/1"
                                        << "none";
        QTest::newRow("apple empty selector") << "https://music.apple.com/us/album/x/1?i="
                                              << "appleMusic https://music.apple.com/us/album/x/1";
        QTest::newRow("apple other query") << "https://music.apple.com/us/album/x/1?l=en"
                                           << "appleMusic https://music.apple.com/us/album/x/1";
        QTest::newRow("apple slug with unicode") << "https://music.apple.com/jp/album/日本語/55"
                                                 << "appleMusic https://music.apple.com/jp/album/日本語/55";

        QTest::newRow("youtube cut at ampersand") << "https://music.youtube.com/watch?v=abc&list=xyz"
                                                  << "youtubeMusic https://music.youtube.com/watch?v=abc";
        QTest::newRow("youtube other parameter first") << "https://music.youtube.com/watch?list=xyz&v=abc"
                                                       << "none";

        QTest::newRow("yandex other tld") << "https://music.yandex.kz/album/1/track/2"
                                          << "none";
        QTest::newRow("yandex tld prefix") << "https://music.yandex.rus/track/2"
                                           << "none";
        QTest::newRow("yandex query cut") << "https://music.yandex.ru/album/1/track/2?utm=x"
                                          << "yandexMusic https://music.yandex.ru/album/1/track/2";

        QTest::newRow("tidal listen browse") << "https://listen.tidal.com/browse/track/9?u"
                                             << "tidal https://listen.tidal.com/browse/track/9";
        QTest::newRow("tidal www") << "https://www.tidal.com/track/9"
                                   << "none";

        QTest::newRow("soundcloud query cut") << "https://soundcloud.com/artist/song?in=playlist"
                                              << "soundcloud https://soundcloud.com/artist/song";
        QTest::newRow("soundcloud profile only") << "https://soundcloud.com/artist"
                                                 << "none";
        QTest::newRow("soundcloud profile with slash") << "https://soundcloud.com/artist/"
                                                       << "none";
        QTest::newRow("soundcloud three segments") << "https://soundcloud.com/a/b/c"
                                                   << "soundcloud https://soundcloud.com/a/b";
        QTest::newRow("soundcloud empty first segment") << "https://soundcloud.com//b"
                                                        << "none";
        QTest::newRow("soundcloud query in first segment") << "https://soundcloud.com/a?x=1/b"
                                                           << "soundcloud https://soundcloud.com/a";
        // Characters that look like blanks but are not Unicode white space belong to the slug.
        QTest::newRow("soundcloud mongolian vowel separator")
            << "https://soundcloud.com/a/b\u180ec d"
            << "soundcloud https://soundcloud.com/a/b\u180ec";
        QTest::newRow("apple zero-width space") << "https://music.apple.com/us/song/x\u200by/1 z"
                                                << "appleMusic https://music.apple.com/us/song/x\u200by/1";
        QTest::newRow("soundcloud byte order mark") << "https://soundcloud.com/a\ufeffb/c"
                                                    << "soundcloud https://soundcloud.com/a\ufeffb/c";
        QTest::newRow("soundcloud slug ends at line break") << "https://soundcloud.com/a/b\nsecond line"
                                                            << "soundcloud https://soundcloud.com/a/b";
        // A few characters by count, tens of kilobytes by size.
        const QString marks(20000, QChar(0x0301));
        QTest::newRow("soundcloud slug of combining marks") << "https://soundcloud.com/a/b" + marks << "none";
        QTest::newRow("link of 2048 bytes")
            << "https://soundcloud.com/a/" + QString(2048 - 25, QLatin1Char('b'))
            << "soundcloud https://soundcloud.com/a/" + QString(2048 - 25, QLatin1Char('b'));
        QTest::newRow("link of 2049 bytes")
            << "https://soundcloud.com/a/" + QString(2049 - 25, QLatin1Char('b')) << "none";
        QTest::newRow("apple slug of 1024 two-byte letters")
            << "https://music.apple.com/us/song/" + QString(1024, QChar(0xe9)) + "/1"
            << "none";
    }

    void edgeCases() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(describe(MusicURLParser::parse(text)), expected);
    }
};

ONDARI_TEST_MAIN(TestMusicURLParser)
#include "tst_musicurlparser.moc"
