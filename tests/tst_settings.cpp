#include "LoginItem.h"
#include "SettingsManager.h"
#include "TestEnvironment.h"
#include "UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <unistd.h>

using SM = SettingsManager;

namespace {

QString freshPath(const QString& stem) {
    static int counter = 0;
    return TestEnvironment::root() + QStringLiteral("/%1-%2").arg(stem).arg(++counter);
}

// Writes a store file by hand, the way a stored file may look, without going through QSettings.
QString seededStore(const QList<std::pair<QString, QString>>& entries) {
    const QString path = freshPath(QStringLiteral("settings")) + QStringLiteral(".ini");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    QByteArray text = "[General]\n";
    for (const auto& [key, value] : entries) {
        // Blanks at either end survive only inside quotes, as the store writes them.
        const bool quote = value != value.trimmed();
        text += key.toUtf8() + "=" + (quote ? "\"" + value.toUtf8() + "\"" : value.toUtf8()) + "\n";
    }
    file.write(text);
    return path;
}

// The key=value lines of the store as they are on disk right now.
QMap<QString, QString> onDisk(const QString& path) {
    QFile file(path);
    QMap<QString, QString> result;
    if (!file.open(QIODevice::ReadOnly)) {
        return result;
    }
    bool general = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            general = line == QLatin1String("[General]");
        } else if (general && line.contains(QLatin1Char('='))) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            QString value = line.mid(eq + 1).trimmed();
            if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"'))) {
                value = value.mid(1, value.size() - 2);
            }
            result.insert(line.left(eq).trimmed(), value);
        }
    }
    return result;
}

LoginItem privateLoginItem(const QString& autostartDir) {
    return LoginItem(autostartDir, QStringLiteral("org.ondari.Test"), QStringLiteral("/opt/ondari/ondari"));
}

QString unusedAutostartDir() {
    return freshPath(QStringLiteral("autostart"));
}

// The main-group keys of a desktop entry, values unescaped by the desktop-entry string rules.
QMap<QString, QString> desktopEntry(const QString& path) {
    QFile file(path);
    QMap<QString, QString> result;
    if (!file.open(QIODevice::ReadOnly)) {
        return result;
    }
    bool main = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1Char('['))) {
            main = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!main || eq < 0) {
            continue;
        }
        QString value;
        const QString escaped = line.mid(eq + 1).trimmed();
        for (qsizetype i = 0; i < escaped.size(); ++i) {
            if (escaped[i] == QLatin1Char('\\') && i + 1 < escaped.size()) {
                const QChar next = escaped[++i];
                value += next == QLatin1Char('s')   ? QChar(QLatin1Char(' '))
                         : next == QLatin1Char('n') ? QChar(QLatin1Char('\n'))
                         : next == QLatin1Char('t') ? QChar(QLatin1Char('\t'))
                         : next == QLatin1Char('r') ? QChar(QLatin1Char('\r'))
                                                    : next;
            } else {
                value += escaped[i];
            }
        }
        result.insert(line.left(eq).trimmed(), value);
    }
    return result;
}

// Splits an (already string-unescaped) Exec value into its arguments as a launcher does: "%%"
// first, then the quoting rules.
QStringList execArguments(const QString& value) {
    QString exec;
    for (qsizetype i = 0; i < value.size(); ++i) {
        exec += value[i];
        if (value[i] == QLatin1Char('%') && i + 1 < value.size() && value[i + 1] == QLatin1Char('%')) {
            ++i;
        }
    }
    QStringList args;
    QString current;
    bool inQuotes = false;
    bool any = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (inQuotes) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                current += exec[++i];
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else {
                current += c;
            }
        } else if (c == QLatin1Char('"')) {
            inQuotes = any = true;
        } else if (c == QLatin1Char(' ')) {
            if (any) {
                args.append(current);
            }
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) {
        args.append(current);
    }
    return args;
}

// The two rules, written from their table rather than from their steps. Options are named by
// raw value; a service option's raw value is the service's.
struct RuleAnswer {
    bool detect;
    QString target; // a service raw value, or "none"
};

RuleAnswer expectedRule(const QString& source, const QString& target, bool bidirectional, const QString& p) {
    const bool targetIsService =
        target != QLatin1String("askEachTime") && target != QLatin1String("universalLink");
    const QString concreteTarget = targetIsService ? target : QStringLiteral("none");
    if (source == QLatin1String("anyService")) {
        return {!(targetIsService && p == target), concreteTarget};
    }
    if (p == source) {
        return {true, concreteTarget};
    }
    if (targetIsService && p == target) {
        return bidirectional ? RuleAnswer{true, source} : RuleAnswer{false, QStringLiteral("none")};
    }
    return {false, QStringLiteral("none")};
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

    // One store for the whole rules table: the rules read the current settings on every call.
    std::unique_ptr<UserDefaults> m_rulesDefaults;
    std::unique_ptr<SM> m_rulesSettings;

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void emptyStoreGivesDefaultsAndWritesOnlyTheServiceChoice() {
        const QString path = freshPath(QStringLiteral("empty")) + QStringLiteral(".ini");
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));

        QCOMPARE(settings.toastTimeout(), 10.0);
        QCOMPARE(settings.showURLPreview(), true);
        QCOMPARE(settings.isEnabled(), true);
        QCOMPARE(settings.conversionMode(), SM::ConversionMode::default_);
        QCOMPARE(settings.streamingServicePair(), SM::StreamingServicePair::spotifyAppleMusic);
        QCOMPARE(settings.hasSeenMenuBarTooltip(), false);
        QCOMPARE(settings.sourceService(), SM::SourceServiceOption::spotify);
        QCOMPARE(settings.targetService(), SM::TargetServiceOption::appleMusic);
        QCOMPARE(settings.isBidirectional(), true);

        const QMap<QString, QString> expected = {
            {QStringLiteral("sourceService"), QStringLiteral("spotify")},
            {QStringLiteral("targetService"), QStringLiteral("appleMusic")},
            {QStringLiteral("isBidirectional"), QStringLiteral("true")},
            {QStringLiteral("hasMigratedServiceSettings"), QStringLiteral("true")},
        };
        QCOMPARE(onDisk(path), expected);
    }

    void migrationFromLegacyPair_data() {
        QTest::addColumn<QString>("storedPair"); // empty: no key
        QTest::addColumn<QString>("flag");       // empty: no key
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("bidirectional");

        QTest::newRow("spotifyAppleMusic") << "spotifyAppleMusic"
                                           << ""
                                           << "spotify"
                                           << "appleMusic" << true;
        QTest::newRow("spotifyYouTubeMusic") << "spotifyYouTubeMusic"
                                             << ""
                                             << "spotify"
                                             << "youtubeMusic" << true;
        QTest::newRow("spotifyYandexMusic") << "spotifyYandexMusic"
                                            << ""
                                            << "spotify"
                                            << "yandexMusic" << true;
        QTest::newRow("appleMusicYouTubeMusic") << "appleMusicYouTubeMusic"
                                                << ""
                                                << "appleMusic"
                                                << "youtubeMusic" << true;
        QTest::newRow("appleMusicYandexMusic") << "appleMusicYandexMusic"
                                               << ""
                                               << "appleMusic"
                                               << "yandexMusic" << true;
        QTest::newRow("youTubeMusicYandexMusic") << "youTubeMusicYandexMusic"
                                                 << ""
                                                 << "youtubeMusic"
                                                 << "yandexMusic" << true;
        QTest::newRow("askEachTime") << "askEachTime"
                                     << ""
                                     << "anyService"
                                     << "askEachTime" << false;
        QTest::newRow("no pair") << ""
                                 << ""
                                 << "spotify"
                                 << "appleMusic" << true;
        QTest::newRow("pair in platform spelling") << "youtubeMusicYandexMusic"
                                                   << ""
                                                   << "spotify"
                                                   << "appleMusic" << true;
        QTest::newRow("flag false") << "askEachTime"
                                    << "false"
                                    << "anyService"
                                    << "askEachTime" << false;
    }

    void migrationFromLegacyPair() {
        QFETCH(QString, storedPair);
        QFETCH(QString, flag);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(bool, bidirectional);

        // A stored service choice from an older run is overwritten while the flag is not set.
        QList<std::pair<QString, QString>> entries = {
            {QStringLiteral("sourceService"), QStringLiteral("tidal")},
            {QStringLiteral("isBidirectional"), QStringLiteral("false")}};
        if (!storedPair.isEmpty()) {
            entries.append({QStringLiteral("streamingServicePair"), storedPair});
        }
        if (!flag.isEmpty()) {
            entries.append({QStringLiteral("hasMigratedServiceSettings"), flag});
        }
        const QString path = seededStore(entries);
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));

        QCOMPARE(SettingOptions::rawValue(settings.sourceService()), source);
        QCOMPARE(SettingOptions::rawValue(settings.targetService()), target);
        QCOMPARE(settings.isBidirectional(), bidirectional);

        const QMap<QString, QString> disk = onDisk(path);
        QCOMPARE(disk.value(QStringLiteral("sourceService")), source);
        QCOMPARE(disk.value(QStringLiteral("targetService")), target);
        QCOMPARE(disk.value(QStringLiteral("isBidirectional")), bidirectional ? "true" : "false");
        QCOMPARE(disk.value(QStringLiteral("hasMigratedServiceSettings")), QStringLiteral("true"));
        // The legacy key is left as it was.
        QCOMPARE(disk.contains(QStringLiteral("streamingServicePair")), !storedPair.isEmpty());
        QCOMPARE(disk.value(QStringLiteral("streamingServicePair")), storedPair);

        // Once migrated, later starts load what is stored instead.
        settings.setSourceService(SM::SourceServiceOption::soundcloud);
        settings.setStreamingServicePair(SM::StreamingServicePair::spotifyYandexMusic);
        UserDefaults again(path);
        SM later(again, privateLoginItem(unusedAutostartDir()));
        QCOMPARE(later.sourceService(), SM::SourceServiceOption::soundcloud);
        QCOMPARE(SettingOptions::rawValue(later.targetService()), target);
        QCOMPARE(later.isBidirectional(), bidirectional);
    }

    void loadingStoredServiceChoice_data() {
        QTest::addColumn<QString>("source"); // stored text; empty: no key
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("bidirectional");
        QTest::addColumn<QString>("expectSource");
        QTest::addColumn<QString>("expectTarget");
        QTest::addColumn<bool>("expectBidirectional");

        QTest::newRow("all stored") << "tidal"
                                    << "universalLink"
                                    << "false"
                                    << "tidal"
                                    << "universalLink" << false;
        QTest::newRow("nothing stored") << ""
                                        << ""
                                        << ""
                                        << "spotify"
                                        << "appleMusic" << true;
        QTest::newRow("wrong case kept on disk") << "Spotify"
                                                 << "AppleMusic"
                                                 << ""
                                                 << "spotify"
                                                 << "appleMusic" << true;
        QTest::newRow("other option's special case") << "askEachTime"
                                                     << "anyService"
                                                     << "true"
                                                     << "spotify"
                                                     << "appleMusic" << true;
        QTest::newRow("any service, ask") << "anyService"
                                          << "askEachTime"
                                          << "true"
                                          << "anyService"
                                          << "askEachTime" << true;
        QTest::newRow("surrounding blanks") << " tidal"
                                            << "tidal "
                                            << ""
                                            << "spotify"
                                            << "appleMusic" << true;
        QTest::newRow("garbage flag text") << "soundcloud"
                                           << "youtubeMusic"
                                           << "maybe"
                                           << "soundcloud"
                                           << "youtubeMusic" << false;
        QTest::newRow("numeric flag") << "yandexMusic"
                                      << "spotify"
                                      << "0"
                                      << "yandexMusic"
                                      << "spotify" << false;
    }

    void loadingStoredServiceChoice() {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(QString, bidirectional);
        QFETCH(QString, expectSource);
        QFETCH(QString, expectTarget);
        QFETCH(bool, expectBidirectional);

        QList<std::pair<QString, QString>> entries = {
            {QStringLiteral("hasMigratedServiceSettings"), QStringLiteral("true")},
            {QStringLiteral("streamingServicePair"), QStringLiteral("askEachTime")}};
        const QList<std::pair<QString, QString>> stored = {
            {QStringLiteral("sourceService"), source},
            {QStringLiteral("targetService"), target},
            {QStringLiteral("isBidirectional"), bidirectional}};
        for (const auto& entry : stored) {
            if (!entry.second.isEmpty()) {
                entries.append(entry);
            }
        }
        const QString path = seededStore(entries);
        const QMap<QString, QString> before = onDisk(path);
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));

        QCOMPARE(SettingOptions::rawValue(settings.sourceService()), expectSource);
        QCOMPARE(SettingOptions::rawValue(settings.targetService()), expectTarget);
        QCOMPARE(settings.isBidirectional(), expectBidirectional);
        QCOMPARE(settings.streamingServicePair(), SM::StreamingServicePair::askEachTime);

        // Valid values are written back as they are; invalid or missing ones are not written.
        const QMap<QString, QString> after = onDisk(path);
        for (const auto& [key, value] : stored) {
            QVERIFY2(after.contains(key) == !value.isEmpty(), qPrintable(key));
        }
        QCOMPARE(after.value(QStringLiteral("hasMigratedServiceSettings")), QStringLiteral("true"));
        // Texts that are not options stay on disk as they were (valid ones are written back unchanged).
        QCOMPARE(after.value(QStringLiteral("sourceService")), before.value(QStringLiteral("sourceService")));
        QCOMPARE(after.value(QStringLiteral("targetService")), before.value(QStringLiteral("targetService")));
        if (!bidirectional.isEmpty()) {
            QCOMPARE(after.value(QStringLiteral("isBidirectional")), expectBidirectional ? "true" : "false");
        }
    }

    void badStoredValues_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");

        QTest::newRow("timeout zero") << "toastTimeout"
                                      << "0"
                                      << "10";
        QTest::newRow("timeout negative") << "toastTimeout"
                                          << "-3"
                                          << "10";
        QTest::newRow("timeout negative zero") << "toastTimeout"
                                               << "-0.0"
                                               << "10";
        QTest::newRow("timeout nan") << "toastTimeout"
                                     << "nan"
                                     << "10";
        QTest::newRow("timeout garbage") << "toastTimeout"
                                         << "soon"
                                         << "10";
        QTest::newRow("timeout empty") << "toastTimeout"
                                       << ""
                                       << "10";
        QTest::newRow("timeout unit") << "toastTimeout"
                                      << "5s"
                                      << "10";
        QTest::newRow("timeout odd value kept") << "toastTimeout"
                                                << "7.5"
                                                << "7.5";
        QTest::newRow("timeout tiny kept") << "toastTimeout"
                                           << "0.001"
                                           << "0.001";
        QTest::newRow("timeout menu value") << "toastTimeout"
                                            << "15"
                                            << "15";

        QTest::newRow("mode wrong case") << "conversionMode"
                                         << "Automatic"
                                         << "default";
        QTest::newRow("mode blank") << "conversionMode"
                                    << ""
                                    << "default";
        QTest::newRow("mode padded") << "conversionMode"
                                     << " silent"
                                     << "default";
        QTest::newRow("mode display text") << "conversionMode"
                                           << "Silent"
                                           << "default";
        QTest::newRow("mode valid") << "conversionMode"
                                    << "automatic"
                                    << "automatic";
        QTest::newRow("mode number") << "conversionMode"
                                     << "2"
                                     << "default";

        QTest::newRow("pair wrong case") << "streamingServicePair"
                                         << "SpotifyAppleMusic"
                                         << "spotifyAppleMusic";
        QTest::newRow("pair display text") << "streamingServicePair"
                                           << "Spotify <> YouTube Music"
                                           << "spotifyAppleMusic";
        QTest::newRow("pair valid") << "streamingServicePair"
                                    << "appleMusicYandexMusic"
                                    << "appleMusicYandexMusic";

        QTest::newRow("preview false") << "showURLPreview"
                                       << "false"
                                       << "false";
        QTest::newRow("preview garbage") << "showURLPreview"
                                         << "sometimes"
                                         << "false";
        QTest::newRow("preview empty") << "showURLPreview"
                                       << ""
                                       << "false";
        QTest::newRow("preview upper TRUE") << "showURLPreview"
                                            << "TRUE"
                                            << "true";
        QTest::newRow("enabled zero") << "isEnabled"
                                      << "0"
                                      << "false";
        QTest::newRow("enabled number") << "isEnabled"
                                        << "2"
                                        << "true";
        QTest::newRow("enabled yes") << "isEnabled"
                                     << "YES"
                                     << "true";
        QTest::newRow("enabled no") << "isEnabled"
                                    << "no"
                                    << "false";
        QTest::newRow("tooltip true") << "hasSeenMenuBarTooltip"
                                      << "true"
                                      << "true";
        QTest::newRow("tooltip garbage") << "hasSeenMenuBarTooltip"
                                         << "seen"
                                         << "false";
    }

    void badStoredValues() {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        const QString path =
            seededStore({{key, stored}, {QStringLiteral("hasMigratedServiceSettings"), "true"}});
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));

        const QMap<QString, std::function<QString()>> read = {
            {QStringLiteral("toastTimeout"), [&] { return QString::number(settings.toastTimeout()); }},
            {QStringLiteral("conversionMode"),
             [&] { return SettingOptions::rawValue(settings.conversionMode()); }},
            {QStringLiteral("streamingServicePair"),
             [&] { return SettingOptions::rawValue(settings.streamingServicePair()); }},
            {QStringLiteral("showURLPreview"),
             [&] { return QVariant(settings.showURLPreview()).toString(); }},
            {QStringLiteral("isEnabled"), [&] { return QVariant(settings.isEnabled()).toString(); }},
            {QStringLiteral("hasSeenMenuBarTooltip"),
             [&] { return QVariant(settings.hasSeenMenuBarTooltip()).toString(); }},
        };
        QCOMPARE(read.value(key)(), expected);
        // Nothing is repaired on disk: the stored text stays until the setting is next assigned.
        QCOMPARE(onDisk(path).value(key), stored);
    }

    void valuesSurviveIntoAFreshInstance() {
        const QString path = freshPath(QStringLiteral("survive")) + QStringLiteral(".ini");
        const double oddTimeout = 0.1 + 0.2; // needs every digit to come back equal
        {
            UserDefaults defaults(path);
            SM settings(defaults, privateLoginItem(unusedAutostartDir()));
            settings.setToastTimeout(oddTimeout);
            settings.setShowURLPreview(false);
            settings.setIsEnabled(false);
            settings.setConversionMode(SM::ConversionMode::automatic);
            settings.setStreamingServicePair(SM::StreamingServicePair::youTubeMusicYandexMusic);
            settings.setHasSeenMenuBarTooltip(true);
            settings.setSourceService(SM::SourceServiceOption::anyService);
            settings.setTargetService(SM::TargetServiceOption::universalLink);
            settings.setIsBidirectional(false);
        }
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));
        QCOMPARE(settings.toastTimeout(), oddTimeout);
        QCOMPARE(settings.showURLPreview(), false);
        QCOMPARE(settings.isEnabled(), false);
        QCOMPARE(settings.conversionMode(), SM::ConversionMode::automatic);
        QCOMPARE(settings.streamingServicePair(), SM::StreamingServicePair::youTubeMusicYandexMusic);
        QCOMPARE(settings.hasSeenMenuBarTooltip(), true);
        QCOMPARE(settings.sourceService(), SM::SourceServiceOption::anyService);
        QCOMPARE(settings.targetService(), SM::TargetServiceOption::universalLink);
        QCOMPARE(settings.isBidirectional(), false);
    }

    void assignmentTakesAnyTimeoutButLoadingDoesNot() {
        const QString path = freshPath(QStringLiteral("timeout")) + QStringLiteral(".ini");
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));
        for (double value : {-2.0, 0.0, std::numeric_limits<double>::quiet_NaN()}) {
            settings.setToastTimeout(value);
            QVERIFY(settings.toastTimeout() == value ||
                    (std::isnan(value) && std::isnan(settings.toastTimeout())));
            UserDefaults fresh(path);
            QVERIFY(fresh.hasValue(QStringLiteral("toastTimeout")));
            SM reloaded(fresh, privateLoginItem(unusedAutostartDir()));
            QCOMPARE(reloaded.toastTimeout(), 10.0);
        }
    }

    // Every assignment announces itself and writes its key, also with the value it already has.
    void assignmentsAnnounceAndWrite_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("diskValue");
        for (const char* key :
             {"toastTimeout", "showURLPreview", "isEnabled", "conversionMode", "streamingServicePair",
              "hasSeenMenuBarTooltip", "sourceService", "targetService", "isBidirectional"}) {
            QTest::addRow("%s unchanged", key) << key << "";
            QTest::addRow("%s changed", key) << key << "changed";
        }
    }

    void assignmentsAnnounceAndWrite() {
        QFETCH(QString, key);
        QFETCH(QString, diskValue);
        const bool change = diskValue == QLatin1String("changed");
        // Migrated and nothing else stored: loading writes none of the nine keys.
        const QString path =
            seededStore({{QStringLiteral("hasMigratedServiceSettings"), QStringLiteral("true")}});
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));
        QCOMPARE(onDisk(path).size(), 1);

        struct Case {
            const char* signal;
            std::function<void()> assign;
            QString written;
        };
        const QMap<QString, Case> cases = {
            {QStringLiteral("toastTimeout"),
             {SIGNAL(toastTimeoutChanged(double)), [&] { settings.setToastTimeout(change ? 5.0 : 10.0); },
              change ? QStringLiteral("5") : QStringLiteral("10")}},
            {QStringLiteral("showURLPreview"),
             {SIGNAL(showURLPreviewChanged(bool)), [&] { settings.setShowURLPreview(!change); },
              change ? QStringLiteral("false") : QStringLiteral("true")}},
            {QStringLiteral("isEnabled"),
             {SIGNAL(isEnabledChanged(bool)), [&] { settings.setIsEnabled(!change); },
              change ? QStringLiteral("false") : QStringLiteral("true")}},
            {QStringLiteral("conversionMode"),
             {SIGNAL(conversionModeChanged(ConversionMode)),
              [&] {
                  settings.setConversionMode(change ? SM::ConversionMode::silent
                                                    : SM::ConversionMode::default_);
              },
              change ? QStringLiteral("silent") : QStringLiteral("default")}},
            {QStringLiteral("streamingServicePair"),
             {SIGNAL(streamingServicePairChanged(StreamingServicePair)),
              [&] {
                  settings.setStreamingServicePair(change ? SM::StreamingServicePair::askEachTime
                                                          : SM::StreamingServicePair::spotifyAppleMusic);
              },
              change ? QStringLiteral("askEachTime") : QStringLiteral("spotifyAppleMusic")}},
            {QStringLiteral("hasSeenMenuBarTooltip"),
             {SIGNAL(hasSeenMenuBarTooltipChanged(bool)), [&] { settings.setHasSeenMenuBarTooltip(change); },
              change ? QStringLiteral("true") : QStringLiteral("false")}},
            {QStringLiteral("sourceService"),
             {SIGNAL(sourceServiceChanged(SourceServiceOption)),
              [&] {
                  settings.setSourceService(change ? SM::SourceServiceOption::anyService
                                                   : SM::SourceServiceOption::spotify);
              },
              change ? QStringLiteral("anyService") : QStringLiteral("spotify")}},
            {QStringLiteral("targetService"),
             {SIGNAL(targetServiceChanged(TargetServiceOption)),
              [&] {
                  settings.setTargetService(change ? SM::TargetServiceOption::askEachTime
                                                   : SM::TargetServiceOption::appleMusic);
              },
              change ? QStringLiteral("askEachTime") : QStringLiteral("appleMusic")}},
            {QStringLiteral("isBidirectional"),
             {SIGNAL(isBidirectionalChanged(bool)), [&] { settings.setIsBidirectional(!change); },
              change ? QStringLiteral("false") : QStringLiteral("true")}},
        };
        const Case& c = cases[key];
        QSignalSpy own(&settings, c.signal);
        QSignalSpy any(&settings, &SM::changed);
        QVERIFY(own.isValid());

        // Observers hear of the assignment before the store is written.
        bool writtenWhenAnnounced = true;
        connect(&settings, &SM::changed, this, [&] { writtenWhenAnnounced = onDisk(path).contains(key); });

        c.assign();
        QCOMPARE(own.count(), 1);
        QCOMPARE(any.count(), 1);
        QCOMPARE(writtenWhenAnnounced, false);
        QCOMPARE(onDisk(path).value(key), c.written);
        UserDefaults fresh(path);
        QVERIFY(fresh.hasValue(key));

        // And once more, unchanged this time.
        c.assign();
        QCOMPARE(own.count(), 2);
        QCOMPARE(any.count(), 2);
        QCOMPARE(onDisk(path).value(key), c.written);
        QCOMPARE(onDisk(path).size(), 2);
    }

    void isEnabledSubscriptionGetsCurrentThenEveryAssignment() {
        const QString path = freshPath(QStringLiteral("subscribe")) + QStringLiteral(".ini");
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(unusedAutostartDir()));
        QList<bool> received;
        {
            QObject context;
            settings.subscribeIsEnabled(&context, [&](bool on) { received.append(on); });
            // Delivered later, on the event loop, not inside the call.
            QVERIFY(received.isEmpty());
            settings.setIsEnabled(false);
            settings.setIsEnabled(false);
            QVERIFY(received.isEmpty());
            QTRY_COMPARE(received, (QList<bool>{true, false, false}));
            settings.setIsEnabled(true);
            QTRY_COMPARE(received, (QList<bool>{true, false, false, true}));
        }
        // A subscriber that is gone hears nothing more.
        settings.setIsEnabled(false);
        QTest::qWait(20);
        QCOMPARE(received.size(), 4);
    }

    void rules_data() {
        QTest::addColumn<SM::SourceServiceOption>("source");
        QTest::addColumn<SM::TargetServiceOption>("target");
        QTest::addColumn<bool>("bidirectional");
        for (auto source : SettingOptions::allCases<SM::SourceServiceOption>()) {
            for (auto target : SettingOptions::allCases<SM::TargetServiceOption>()) {
                for (bool bidirectional : {true, false}) {
                    QTest::addRow("%s > %s %s", qPrintable(SettingOptions::rawValue(source)),
                                  qPrintable(SettingOptions::rawValue(target)),
                                  bidirectional ? "both ways" : "one way")
                        << source << target << bidirectional;
                }
            }
        }
    }

    void rules() {
        QFETCH(SM::SourceServiceOption, source);
        QFETCH(SM::TargetServiceOption, target);
        QFETCH(bool, bidirectional);
        if (!m_rulesSettings) {
            m_rulesDefaults = std::make_unique<UserDefaults>(freshPath(QStringLiteral("rules")) + ".ini");
            m_rulesSettings = std::make_unique<SM>(*m_rulesDefaults, privateLoginItem(unusedAutostartDir()));
        }
        SM& settings = *m_rulesSettings;
        settings.setSourceService(source);
        settings.setTargetService(target);
        settings.setIsBidirectional(bidirectional);

        for (Platform p : Platforms::allCases()) {
            const RuleAnswer want =
                expectedRule(SettingOptions::rawValue(source), SettingOptions::rawValue(target),
                             bidirectional, Platforms::rawValue(p));
            const std::optional<Platform> got = settings.targetPlatform(p);
            const QString where = QStringLiteral("link of ") + Platforms::rawValue(p);
            QVERIFY2(settings.shouldDetect(p) == want.detect, qPrintable(where));
            QVERIFY2((got ? Platforms::rawValue(*got) : QStringLiteral("none")) == want.target,
                     qPrintable(where));
        }
    }

    void launchAtLoginWritesAndHidesTheEntry() {
        const QString dir = unusedAutostartDir();
        const QString path = freshPath(QStringLiteral("login")) + QStringLiteral(".ini");
        UserDefaults defaults(path);
        const QString exec = QStringLiteral("/opt/My Apps/On\"da$ri`\\x%u/ondari");
        SM settings(defaults, LoginItem(dir, QStringLiteral("org.ondari.Test"), exec));
        const QString entry = dir + QStringLiteral("/org.ondari.Test.desktop");

        QCOMPARE(settings.launchAtLogin(), false);
        settings.setLaunchAtLogin(true);
        QCOMPARE(settings.launchAtLogin(), true);
        QMap<QString, QString> keys = desktopEntry(entry);
        QCOMPARE(keys.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QVERIFY(!keys.value(QStringLiteral("Name")).isEmpty());
        QCOMPARE(execArguments(keys.value(QStringLiteral("Exec"))), QStringList{exec});
        QVERIFY(keys.value(QStringLiteral("Hidden")) != QLatin1String("true"));

        settings.setLaunchAtLogin(false);
        QCOMPARE(settings.launchAtLogin(), false);
        keys = desktopEntry(entry);
        QCOMPARE(keys.value(QStringLiteral("Hidden")), QStringLiteral("true"));
        QCOMPARE(execArguments(keys.value(QStringLiteral("Exec"))), QStringList{exec});

        settings.setLaunchAtLogin(true);
        QCOMPARE(settings.launchAtLogin(), true);
        QVERIFY(desktopEntry(entry).value(QStringLiteral("Hidden")) != QLatin1String("true"));

        // Nothing about it is stored with the settings, and nothing went wrong.
        QVERIFY(!onDisk(path).contains(QStringLiteral("launchAtLogin")));
        QVERIFY(TestEnvironment::debugLogMessages().isEmpty());
    }

    // A launcher must get the program's path back exactly, whatever characters it holds.
    void execSurvivesDesktopEntryQuoting_data() {
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/usr/bin/ondari";
        QTest::newRow("blanks") << "/home/me/My Programs/Ondari.AppImage";
        QTest::newRow("shell characters") << "/opt/a\"b`c$d\\e/ondari";
        QTest::newRow("field code look-alike") << "/opt/100%u %f %%/ondari";
        QTest::newRow("control characters") << "/opt/line\nbreak\ttab\rret/ondari";
        QTest::newRow("non-ascii") << "/home/jürgen/Программы/曲/ondari";
        QTest::newRow("escape look-alikes") << "/opt/\\s\\n\\\\/ondari";
    }

    void execSurvivesDesktopEntryQuoting() {
        QFETCH(QString, exec);
        LoginItem item(unusedAutostartDir(), QStringLiteral("org.ondari.Test"), exec);
        QString error;
        QVERIFY2(item.registerItem(&error), qPrintable(error));
        QCOMPARE(execArguments(desktopEntry(item.entryPath()).value(QStringLiteral("Exec"))),
                 QStringList{exec});
        QVERIFY(item.isEnabled());
        // Read back as the same program, so a start from this path leaves the entry alone.
        QCOMPARE(item.entryProgram(), std::optional<QString>(exec));
    }

    void mainAppEntryLivesInTheUsersAutostartFolder() {
        const QString autostart = TestEnvironment::configHome() + QStringLiteral("/autostart");
        const QString entry =
            autostart + QStringLiteral("/") + QStringLiteral(ONDARI_APP_ID) + QStringLiteral(".desktop");
        QCOMPARE(LoginItem::mainApp().entryPath(), entry);

        QString error;
        QVERIFY(LoginItem::mainApp().registerItem(&error));
        QCOMPARE(execArguments(desktopEntry(entry).value(QStringLiteral("Exec"))),
                 QStringList{QCoreApplication::applicationFilePath()});

        // $APPIMAGE names the program only when this executable runs from inside $APPDIR.
        const QString appImage = TestEnvironment::root() + QStringLiteral("/Ondari x86_64.AppImage");
        QFile file(appImage);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("\x7f"
                              "ELF\x02\x01\x01\0AI\x02",
                              11)); // an AppImage's magic
        file.close();
        qputenv("APPIMAGE", QFile::encodeName(appImage));
        qputenv("APPDIR", QFile::encodeName(TestEnvironment::root()));
        QVERIFY(LoginItem::mainApp().registerItem(&error));
        QCOMPARE(execArguments(desktopEntry(entry).value(QStringLiteral("Exec"))),
                 QStringList{QCoreApplication::applicationFilePath()});
        qputenv("APPDIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
        const bool ok = LoginItem::mainApp().registerItem(&error);
        qunsetenv("APPIMAGE");
        qunsetenv("APPDIR");
        QVERIFY(ok);
        QCOMPARE(execArguments(desktopEntry(entry).value(QStringLiteral("Exec"))), QStringList{appImage});
        QVERIFY(LoginItem::mainApp().unregisterItem(&error));
        QVERIFY(!LoginItem::mainApp().isEnabled());
        QDir(autostart).removeRecursively();
    }

    void entryStatusFromHandWrittenEntries_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("enabled");
        const QByteArray head = "[Desktop Entry]\nType=Application\nExec=ondari\n";
        QTest::newRow("plain") << head << true;
        QTest::newRow("hidden") << head + "Hidden=true\n" << false;
        QTest::newRow("hidden with blanks") << head + "Hidden = true\n" << false;
        QTest::newRow("not hidden") << head + "Hidden=false\n" << true;
        QTest::newRow("gnome disabled") << head + "X-GNOME-Autostart-enabled=false\n" << false;
        QTest::newRow("gnome enabled") << head + "X-GNOME-Autostart-enabled=true\n" << true;
        QTest::newRow("hidden in another group") << head + "[Desktop Action x]\nHidden=true\n" << true;
        QTest::newRow("hidden commented out") << head + "#Hidden=true\n" << true;
    }

    void entryStatusFromHandWrittenEntries() {
        QFETCH(QByteArray, content);
        QFETCH(bool, enabled);
        const QString dir = unusedAutostartDir();
        QVERIFY(QDir().mkpath(dir));
        LoginItem item = privateLoginItem(dir);
        QFile file(item.entryPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QCOMPARE(item.isEnabled(), enabled);
    }

    void launchAtLoginFailureIsLogged_data() {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("enable");
        QTest::newRow("folder is a file, enable") << "dir is file" << true;
        QTest::newRow("folder is a file, disable") << "dir is file" << false;
        QTest::newRow("parent is a file") << "parent is file" << true;
        QTest::newRow("entry is a folder, enable") << "entry is dir" << true;
        QTest::newRow("entry is a folder, disable") << "entry is dir" << false;
        QTest::newRow("folder read-only") << "read-only" << true;
    }

    void launchAtLoginFailureIsLogged() {
        QFETCH(QString, setup);
        QFETCH(bool, enable);
        const QString base = unusedAutostartDir();
        QString dir = base + QStringLiteral("/autostart");
        QVERIFY(QDir().mkpath(base));
        auto touch = [](const QString& path) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("x");
        };
        if (setup == QLatin1String("dir is file")) {
            touch(dir);
        } else if (setup == QLatin1String("parent is file")) {
            touch(base + QStringLiteral("/config"));
            dir = base + QStringLiteral("/config/autostart");
        } else if (setup == QLatin1String("entry is dir")) {
            QVERIFY(QDir().mkpath(dir + QStringLiteral("/org.ondari.Test.desktop")));
        } else {
            if (::geteuid() == 0) {
                QSKIP("permissions do not bind the superuser");
            }
            QVERIFY(QDir().mkpath(dir));
            QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
        }

        const QString path = freshPath(QStringLiteral("fail")) + QStringLiteral(".ini");
        UserDefaults defaults(path);
        SM settings(defaults, privateLoginItem(dir));
        settings.setLaunchAtLogin(enable);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        const QStringList messages = TestEnvironment::debugLogMessages();
        QCOMPARE(messages.size(), 1);
        const QString prefix = enable ? QStringLiteral("Failed to enable launch at login: ")
                                      : QStringLiteral("Failed to disable launch at login: ");
        QVERIFY2(messages[0].startsWith(prefix), qPrintable(messages[0]));
        const QString reason = messages[0].mid(prefix.size());
        QVERIFY2(reason.size() > 5 && !reason.contains(QLatin1Char('%')), qPrintable(reason));
        QCOMPARE(settings.launchAtLogin(), false);
    }
};

ONDARI_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
