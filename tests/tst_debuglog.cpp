#include "DebugLog.h"
#include "TestEnvironment.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QObject>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <ctime>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return 0;
    }
    return st.st_mode & 07777;
}

// Checks that bytes are exactly one entry for message, stamped between the two instants.
void verifyEntry(const QByteArray& bytes, const QString& message, const QDateTime& before,
                 const QDateTime& after) {
    static const QRegularExpression shape(QStringLiteral(R"(^\[(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\] )"));
    const QString text = QString::fromUtf8(bytes);
    const QRegularExpressionMatch match = shape.match(text);
    QVERIFY2(match.hasMatch(), bytes.constData());
    const QString stamp = match.captured(1);
    QCOMPARE(bytes, "[" + stamp.toLatin1() + "] " + message.toUtf8() + "\n");

    const QDateTime when = QDateTime::fromString(stamp, Qt::ISODate);
    QVERIFY(when.isValid());
    QCOMPARE(when.timeSpec(), Qt::UTC);
    const QDateTime floor = before.addMSecs(-before.time().msec());
    QVERIFY2(when >= floor && when <= after, qPrintable(stamp));
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
        ::tzset();
    }
    ~ScopedEnv() {
        if (m_had) {
            qputenv(m_name, m_old);
        } else {
            qunsetenv(m_name);
        }
        ::tzset();
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

class TestDebugLog : public QObject {
    Q_OBJECT

    QString m_log = TestEnvironment::debugLogPath();

private slots:
    void init() {
        TestEnvironment::clearDebugLog();
        QVERIFY(!QFile::exists(m_log));
    }

    void firstCallCreatesOwnerOnlyFile() {
        // No umask help: the file must be asked for as owner-only.
        const mode_t old = ::umask(0);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        debugLog(QStringLiteral("first"));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        ::umask(old);

        QVERIFY(QFile::exists(QDir::homePath() + QStringLiteral("/ondari_debug.log")));
        verifyEntry(readAll(m_log), QStringLiteral("first"), before, after);
        QCOMPARE(modeOf(m_log), mode_t(0600));
    }

    void appendsAndKeepsEarlierBytes_data() {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<int>("mode");
        QTest::newRow("earlier entry") << QByteArray("[2020-01-01T00:00:00Z] old\n") << 0600;
        QTest::newRow("no final line feed, open mode") << QByteArray("partial") << 0666;
        QTest::newRow("binary, group readable") << QByteArray("\xff\xfe\x00\x01 bytes\r\n", 12) << 0640;
        QTest::newRow("empty file") << QByteArray() << 0644;
    }

    void appendsAndKeepsEarlierBytes() {
        QFETCH(QByteArray, earlier);
        QFETCH(int, mode);
        writeFile(m_log, earlier);
        QCOMPARE(::chmod(QFile::encodeName(m_log).constData(), mode_t(mode)), 0);

        const QDateTime before = QDateTime::currentDateTimeUtc();
        debugLog(QStringLiteral("one"));
        const qsizetype afterFirst = readAll(m_log).size();
        debugLog(QStringLiteral("two"));
        const QDateTime after = QDateTime::currentDateTimeUtc();

        const QByteArray bytes = readAll(m_log);
        QVERIFY(bytes.startsWith(earlier));
        verifyEntry(bytes.mid(earlier.size(), afterFirst - earlier.size()), QStringLiteral("one"), before,
                    after);
        verifyEntry(bytes.mid(afterFirst), QStringLiteral("two"), before, after);
        // An existing file keeps the mode the user gave it.
        QCOMPARE(modeOf(m_log), mode_t(mode));
    }

    // One message is one line: line breaks and control characters (the user's copied text is
    // quoted in messages) are escaped, everything else is written as it is.
    void messagesAreWrittenOnOneLine_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("written");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("line feed") << QStringLiteral("first\nsecond") << QStringLiteral("first\\nsecond");
        QTest::newRow("forged entry")
            << QStringLiteral("Clipboard content: notes\n[2020-01-01T00:00:00Z] Queue: "
                              "forged...")
            << QStringLiteral("Clipboard content: notes\\n[2020-01-01T00:00:00Z] Queue: "
                              "forged...");
        QTest::newRow("carriage return and tab") << QStringLiteral("a\r\tb") << QStringLiteral("a\\r\\tb");
        QTest::newRow("terminal escapes") << QStringLiteral("\x1b[2J\x1b]0;title\aend")
                                          << QStringLiteral("\\u001b[2J\\u001b]0;title\\u0007end");
        QTest::newRow("nul, delete, C1, separators")
            << QString::fromUtf16(u"a\u0000b\u007fc\u0085d\u009be\u2028f\u2029g", 13)
            << QStringLiteral("a\\u0000b\\u007fc\\u0085d\\u009be\\u2028f\\u2029g");
        QTest::newRow("format characters")
            << QStringLiteral("%s %d %1 %n \\n") << QStringLiteral("%s %d %1 %n \\n");
        QTest::newRow("non-ascii") << QStringLiteral("Queue: Ünïcødé 曲 🎵👍🏽 e\u0301")
                                   << QStringLiteral("Queue: Ünïcødé 曲 🎵👍🏽 e\u0301");
        QTest::newRow("brackets") << QStringLiteral("] [2000-01-01T00:00:00Z] ")
                                  << QStringLiteral("] [2000-01-01T00:00:00Z] ");
        QTest::newRow("long") << QString(20000, QLatin1Char('x')) << QString(20000, QLatin1Char('x'));
    }

    void messagesAreWrittenOnOneLine() {
        QFETCH(QString, message);
        QFETCH(QString, written);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        debugLog(message);
        const QDateTime after = QDateTime::currentDateTimeUtc();
        const QByteArray bytes = readAll(m_log);
        verifyEntry(bytes, written, before, after);
        QCOMPARE(bytes.count('\n'), 1);
        for (const char byte : bytes.chopped(1)) {
            QVERIFY2(uchar(byte) >= 0x20 && byte != 0x7f, bytes.constData());
        }
    }

    // The disk fills up in the middle of a line: the line goes whole, and the next one starts
    // where the last whole line ended.
    void lineThatDoesNotFitIsDroppedWhole() {
        debugLog(QStringLiteral("before"));
        const QByteArray earlier = readAll(m_log);
        struct rlimit old {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = rlim_t(earlier.size() + 30); // room for part of the next line only
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        debugLog(QStringLiteral("this line is longer than the room that is left"));
        const QByteArray afterFull = readAll(m_log);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &old), 0);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(afterFull, earlier);

        debugLog(QStringLiteral("after"));
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 (QStringList{QStringLiteral("before"), QStringLiteral("after")}));
    }

    void stampIsUtcWhateverTheZone_data() {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<QString>("locale");
        QTest::newRow("plus five thirty") << QByteArray("Asia/Kolkata") << QStringLiteral("en_IN");
        QTest::newRow("minus three thirty") << QByteArray("America/St_Johns") << QStringLiteral("en_CA");
        QTest::newRow("plus fourteen") << QByteArray("Pacific/Kiritimati") << QStringLiteral("C");
        QTest::newRow("posix minus twelve") << QByteArray("XYZ+12") << QStringLiteral("C");
        QTest::newRow("arabic digits") << QByteArray("Africa/Cairo") << QStringLiteral("ar_EG");
        QTest::newRow("persian calendar locale") << QByteArray("Asia/Tehran") << QStringLiteral("fa_IR");
    }

    void stampIsUtcWhateverTheZone() {
        QFETCH(QByteArray, tz);
        QFETCH(QString, locale);
        const ScopedEnv zone("TZ", tz);
        const QLocale oldLocale;
        QLocale::setDefault(QLocale(locale));
        const QDateTime before = QDateTime::currentDateTimeUtc();
        debugLog(QStringLiteral("zone"));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QLocale::setDefault(oldLocale);
        verifyEntry(readAll(m_log), QStringLiteral("zone"), before, after);
    }

    void unwritableHomeLosesTheLineQuietly_data() {
        QTest::addColumn<QString>("setup");
        QTest::newRow("home missing") << "missing";
        QTest::newRow("home is a file") << "file";
        QTest::newRow("log is a directory") << "directory";
        QTest::newRow("home read-only") << "readonly home";
        QTest::newRow("log read-only") << "readonly log";
    }

    void unwritableHomeLosesTheLineQuietly() {
        QFETCH(QString, setup);
        const bool root = ::geteuid() == 0;
        const QString base = TestEnvironment::root() + QStringLiteral("/other-home");
        QDir(base).removeRecursively();
        QString home = base;
        QString probe = base + QStringLiteral("/ondari_debug.log"); // must stay as prepared
        QByteArray probeBytes;

        if (setup == QLatin1String("missing")) {
            probe.clear();
        } else if (setup == QLatin1String("file")) {
            writeFile(base, "not a folder");
            probe = base;
            probeBytes = "not a folder";
        } else if (setup == QLatin1String("directory")) {
            QVERIFY(QDir().mkpath(probe));
        } else {
            if (root) {
                QSKIP("permissions do not bind the superuser");
            }
            QVERIFY(QDir().mkpath(base));
            if (setup == QLatin1String("readonly log")) {
                probeBytes = "kept\n";
                writeFile(probe, probeBytes);
                QCOMPARE(::chmod(QFile::encodeName(probe).constData(), 0400), 0);
            } else {
                QCOMPARE(::chmod(QFile::encodeName(base).constData(), 0500), 0);
            }
        }

        {
            const ScopedEnv env("HOME", QFile::encodeName(home));
            QCOMPARE(QDir::homePath(), home);
            debugLog(QStringLiteral("lost"));
        }

        if (setup == QLatin1String("missing")) {
            QVERIFY(!QFileInfo::exists(base));
        } else if (setup == QLatin1String("directory")) {
            QVERIFY(QFileInfo(probe).isDir());
            QVERIFY(QDir(probe).isEmpty());
        } else if (setup == QLatin1String("readonly home")) {
            QVERIFY(!QFileInfo::exists(probe));
        } else {
            QCOMPARE(readAll(probe), probeBytes);
        }
        ::chmod(QFile::encodeName(base).constData(), 0700);
        QDir(base).removeRecursively();
        QFile::remove(base);

        // Nothing is remembered: with a usable home again the next line lands.
        debugLog(QStringLiteral("back"));
        QCOMPARE(TestEnvironment::debugLogMessages(), QStringList{QStringLiteral("back")});
    }
};

ONDARI_TEST_MAIN(TestDebugLog)
#include "tst_debuglog.moc"
