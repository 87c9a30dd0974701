#include "ConversionRequest.h"
#include "Platform.h"
#include "SettingOptions.h"
#include "TestEnvironment.h"
#include "TextCounting.h"
#include "ToastState.h"

#include <QObject>
#include <QSet>
#include <QTest>

#include <cmath>
#include <limits>

class TestCoreValues : public QObject {
    Q_OBJECT

private slots:
    void platformFromRawValue_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("expected"); // raw value of the result, or "none"
        for (const char* raw :
             {"spotify", "appleMusic", "youtubeMusic", "yandexMusic", "tidal", "soundcloud"}) {
            QTest::newRow(raw) << raw << raw;
        }
        for (const char* raw : {"Spotify", " spotify", "spotify ", "", "yandex", "itunes", "youtube",
                                "Apple Music", "applemusic", "SOUNDCLOUD", "spotify\n"}) {
            QTest::addRow("not '%s'", raw) << raw << "none";
        }
        QTest::newRow("embedded nul") << QString::fromUtf16(u"tidal\u0000", 6) << "none";
    }

    void platformFromRawValue() {
        QFETCH(QString, raw);
        QFETCH(QString, expected);
        const std::optional<Platform> p = Platforms::fromRawValue(raw);
        QCOMPARE(p ? Platforms::rawValue(*p) : QStringLiteral("none"), expected);
    }

    void platformOrderAndRoundTrip() {
        const auto& all = Platforms::allCases();
        QCOMPARE(all.size(), size_t(6));
        QCOMPARE(all.front(), Platform::spotify);
        QCOMPARE(all.back(), Platform::soundcloud);
        QSet<size_t> hashes;
        for (Platform p : all) {
            QCOMPARE(Platforms::fromRawValue(Platforms::rawValue(p)), p);
            QCOMPARE(qHash(p, 7), qHash(Platforms::rawValue(p), 7));
            hashes.insert(qHash(p));
        }
        QCOMPARE(hashes.size(), 6);
    }

    void optionsFromRawValue_data() {
        QTest::addColumn<QString>("enumeration");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("accepted");
        auto add = [](const char* e, const char* raw, bool ok) {
            QTest::addRow("%s '%s'", e, raw) << e << raw << ok;
        };
        add("mode", "default", true);
        add("mode", "Default", false);
        add("mode", "silent", true);
        add("mode", "automatic", true);
        add("mode", "Automatic", false);
        add("mode", "default_", false);
        add("mode", "", false);
        add("pair", "youTubeMusicYandexMusic", true);
        add("pair", "youtubeMusicYandexMusic", false);
        add("pair", "spotifyYouTubeMusic", true);
        add("pair", "spotifyYoutubeMusic", false);
        add("pair", "askEachTime", true);
        add("pair", "Ask Each Time", false);
        add("source", "anyService", true);
        add("source", "askEachTime", false);
        add("source", "universalLink", false);
        add("source", "AnyService", false);
        add("source", "soundcloud", true);
        add("source", "soundCloud", false);
        add("target", "askEachTime", true);
        add("target", "universalLink", true);
        add("target", "anyService", false);
        add("target", "tidal", true);
        add("target", "tidal ", false);
    }

    void optionsFromRawValue() {
        QFETCH(QString, enumeration);
        QFETCH(QString, raw);
        QFETCH(bool, accepted);
        std::optional<QString> back;
        if (enumeration == QLatin1String("mode")) {
            if (auto o = SettingOptions::fromRawValue<ConversionMode>(raw)) {
                back = SettingOptions::rawValue(*o);
            }
        } else if (enumeration == QLatin1String("pair")) {
            if (auto o = SettingOptions::fromRawValue<StreamingServicePair>(raw)) {
                back = SettingOptions::rawValue(*o);
            }
        } else if (enumeration == QLatin1String("source")) {
            if (auto o = SettingOptions::fromRawValue<SourceServiceOption>(raw)) {
                back = SettingOptions::rawValue(*o);
            }
        } else if (auto o = SettingOptions::fromRawValue<TargetServiceOption>(raw)) {
            back = SettingOptions::rawValue(*o);
        }
        QCOMPARE(back.has_value(), accepted);
        if (accepted) {
            QCOMPARE(*back, raw);
        }
    }

    void timeoutFromRawValue_data() {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("5") << 5.0 << "5 seconds";
        QTest::newRow("10") << 10.0 << "10 seconds";
        QTest::newRow("15") << 15.0 << "15 seconds";
        QTest::newRow("7.5") << 7.5 << "none";
        QTest::newRow("10 and a bit") << std::nextafter(10.0, 11.0) << "none";
        QTest::newRow("0") << 0.0 << "none";
        QTest::newRow("-5") << -5.0 << "none";
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << "none";
        QTest::newRow("inf") << std::numeric_limits<double>::infinity() << "none";
    }

    void timeoutFromRawValue() {
        QFETCH(double, seconds);
        QFETCH(QString, expected);
        const auto option = SettingOptions::timeoutFromRawValue(seconds);
        QCOMPARE(option ? SettingOptions::displayName(*option) : QStringLiteral("none"), expected);
        if (option) {
            QCOMPARE(SettingOptions::rawValue(*option), seconds);
        }
    }

    void optionCounts() {
        QCOMPARE(SettingOptions::allCases<TimeoutOption>().size(), size_t(3));
        QCOMPARE(SettingOptions::allCases<ConversionMode>().size(), size_t(3));
        QCOMPARE(SettingOptions::allCases<StreamingServicePair>().size(), size_t(7));
        QCOMPARE(SettingOptions::allCases<SourceServiceOption>().size(), size_t(7));
        QCOMPARE(SettingOptions::allCases<TargetServiceOption>().size(), size_t(8));
    }

    // The service options name the services in the same order, with the same texts.
    void serviceOptionsMapToServices() {
        const auto& sources = SettingOptions::allCases<SourceServiceOption>();
        const auto& targets = SettingOptions::allCases<TargetServiceOption>();
        for (size_t i = 0; i < 6; ++i) {
            const Platform p = Platforms::allCases()[i];
            QCOMPARE(SettingOptions::platform(sources[i]), p);
            QCOMPARE(SettingOptions::platform(targets[i]), p);
            QCOMPARE(SettingOptions::rawValue(sources[i]), Platforms::rawValue(p));
            QCOMPARE(SettingOptions::rawValue(targets[i]), Platforms::rawValue(p));
            QCOMPARE(SettingOptions::displayName(sources[i]), Platforms::displayName(p));
            QCOMPARE(SettingOptions::displayName(targets[i]), Platforms::displayName(p));
            QCOMPARE(SettingOptions::subtitle(targets[i]), std::nullopt);
            QCOMPARE(SettingOptions::sourceOption(p), sources[i]);
            QCOMPARE(SettingOptions::targetOption(p), targets[i]);
            QCOMPARE(SettingOptions::sourceOption(*SettingOptions::platform(sources[i])), sources[i]);
        }
        QCOMPARE(SettingOptions::platform(SourceServiceOption::anyService), std::nullopt);
        QCOMPARE(SettingOptions::platform(TargetServiceOption::askEachTime), std::nullopt);
        QCOMPARE(SettingOptions::platform(TargetServiceOption::universalLink), std::nullopt);
    }

    // The short form: Spotify to Apple Music, not a universal page.
    void conversionRequestShortForm() {
        const ConversionRequest shortForm(QUuid::createUuid(), QStringLiteral("u"),
                                          ConversionRequest::ConversionState::success(), true);
        QCOMPARE(shortForm.sourcePlatform, Platform::spotify);
        QCOMPARE(shortForm.targetPlatform, Platform::appleMusic);
        QCOMPARE(shortForm.isUniversalLink, false);
        QCOMPARE(shortForm.autoConvert, true);
    }

    void conversionStateEquality() {
        using S = ConversionRequest::ConversionState;
        const QList<std::pair<const char*, S>> states = {
            {"pending", S::pending()},    {"converting", S::converting()},
            {"success", S::success()},    {"failed a", S::failed("a")},
            {"failed b", S::failed("b")}, {"failed empty", S::failed(QString())},
        };
        for (const auto& [nameA, a] : states) {
            for (const auto& [nameB, b] : states) {
                const bool same = QByteArray(nameA) == nameB;
                QVERIFY2((a == b) == same, qPrintable(QStringLiteral("%1 vs %2").arg(nameA, nameB)));
            }
        }
        QVERIFY(S::failed("a") == S::failed("a"));
    }

    void toastStateEquality() {
        const QList<std::pair<const char*, ToastState>> states = {
            {"prompt", ToastState::prompt()},
            {"loading", ToastState::loading()},
            {"success", ToastState::success()},
            {"error a", ToastState::error("a", std::nullopt)},
            {"error a with empty details", ToastState::error("a", QString())},
            {"error a with x", ToastState::error("a", QStringLiteral("x"))},
            {"error a with y", ToastState::error("a", QStringLiteral("y"))},
            {"error b", ToastState::error("b", std::nullopt)},
            {"error empty", ToastState::error(QString(), std::nullopt)},
        };
        for (const auto& [nameA, a] : states) {
            for (const auto& [nameB, b] : states) {
                const bool same = QByteArray(nameA) == nameB;
                QVERIFY2((a == b) == same, qPrintable(QStringLiteral("%1 vs %2").arg(nameA, nameB)));
            }
        }
        QVERIFY(ToastState::error("a", std::nullopt) == ToastState::error("a", std::nullopt));
        QVERIFY(ToastState() == ToastState::prompt());
    }

    void characterCounting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("characters");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("ascii") << QStringLiteral("abc") << 3;
        QTest::newRow("combining accent") << QStringLiteral("e\u0301") << 1;
        QTest::newRow("two combining marks") << QStringLiteral("a\u0308\u0301b") << 2;
        QTest::newRow("astral emoji") << QStringLiteral("🎵") << 1;
        QTest::newRow("skin tone") << QStringLiteral("👍🏽") << 1;
        QTest::newRow("family") << QStringLiteral("👨‍👩‍👧‍👦") << 1;
        QTest::newRow("flag") << QStringLiteral("🇩🇪") << 1;
        QTest::newRow("two flags") << QStringLiteral("🇩🇪🇫🇷") << 2;
        QTest::newRow("keycap") << QStringLiteral("1\ufe0f\u20e3") << 1;
        QTest::newRow("hangul jamo") << QStringLiteral("\u1100\u1161\u11a8") << 1;
        QTest::newRow("crlf") << QStringLiteral("a\r\nb") << 3;
        QTest::newRow("mixed") << QStringLiteral("Ünïcødé 👍🏽!") << 10;
    }

    void characterCounting() {
        QFETCH(QString, text);
        QFETCH(int, characters);
        QCOMPARE(TextCounting::characterCount(text), qsizetype(characters));
        QCOMPARE(TextCounting::exceeds(text, characters), false);
        if (characters > 0) {
            QCOMPARE(TextCounting::exceeds(text, characters - 1), true);
        }
        QCOMPARE(TextCounting::prefix(text, characters), text);
        QCOMPARE(TextCounting::prefix(text, characters + 5), text);
        // Laid out as it is, but for a character no font has.
        const auto drawable = [](char32_t c) { return c != 0x10FFFD; };
        QCOMPARE(TextCounting::forLayout(QStringLiteral("\U0010FFFD") + text, drawable), text);
    }

    void layoutStopsAtTheSeventhScript() {
        const QString six = QStringLiteral("a \u0431\u03b3\u05d0\u0639 1\u0915");
        QCOMPARE(TextCounting::forLayout(six + QStringLiteral("\u0e01\u0915"), [](char32_t) { return true; }),
                 six + QChar(0x2026));
    }

    // Where the clipboard limit bites: counted in characters, not in UTF-16 units.
    void limitCountsCharacters_data() {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("units");
        QTest::addColumn<bool>("exceeds");
        QTest::newRow("2000 letters") << QStringLiteral("a") << 2000 << false;
        QTest::newRow("2001 letters") << QStringLiteral("a") << 2001 << true;
        QTest::newRow("2000 accented") << QStringLiteral("e\u0301") << 2000 << false;
        QTest::newRow("2001 accented") << QStringLiteral("e\u0301") << 2001 << true;
        QTest::newRow("2000 emoji") << QStringLiteral("👍🏽") << 2000 << false;
        QTest::newRow("2000 families") << QStringLiteral("👨‍👩‍👧‍👦") << 2000 << false;
        QTest::newRow("2001 families") << QStringLiteral("👨‍👩‍👧‍👦") << 2001 << true;
    }

    void limitCountsCharacters() {
        QFETCH(QString, unit);
        QFETCH(int, units);
        QFETCH(bool, exceeds);
        QCOMPARE(TextCounting::exceeds(unit.repeated(units), 2000), exceeds);
    }

    void prefixNeverSplitsACharacter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << QStringLiteral("abc") << 0 << QString();
        QTest::newRow("negative") << QStringLiteral("abc") << -1 << QString();
        QTest::newRow("accent kept") << QStringLiteral("ae\u0301b") << 2 << QStringLiteral("ae\u0301");
        QTest::newRow("emoji kept") << QStringLiteral("x👍🏽y") << 2 << QStringLiteral("x👍🏽");
        QTest::newRow("family kept") << QStringLiteral("👨‍👩‍👧‍👦👨‍👩‍👧‍👦")
                                     << 1 << QStringLiteral("👨‍👩‍👧‍👦");
        QTest::newRow("flag pair") << QStringLiteral("🇩🇪🇫🇷") << 1 << QStringLiteral("🇩🇪");
        QTest::newRow("crlf kept") << QStringLiteral("a\r\nb") << 2 << QStringLiteral("a\r\n");
    }

    void prefixNeverSplitsACharacter() {
        QFETCH(QString, text);
        QFETCH(int, n);
        QFETCH(QString, expected);
        QCOMPARE(TextCounting::prefix(text, n), expected);
    }
};

ONDARI_TEST_MAIN(TestCoreValues)
#include "tst_corevalues.moc"
