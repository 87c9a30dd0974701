#include "ErrorReport.h"
#include "ErrorReporting.h"
#include "FakeIngestServer.h"
#include "FakeSongLinkServer.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString key = QStringLiteral("0123456789abcdef0123456789abcdef");

QStringList reportsIn(const QString& directory) {
    return QDir(directory).entryList({QStringLiteral("*.report")}, QDir::Files, QDir::Name);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs the helper that starts reporting and then dies; returns the signal it died of, or -1.
int crashChild(const QString& dsn, const QString& directory, const QString& how) {
    QProcess child;
    child.start(QStringLiteral(CRASH_HELPER), {dsn, directory, how});
    if (!child.waitForFinished(10000) || child.exitStatus() != QProcess::CrashExit) {
        return -1;
    }
    return child.exitCode();
}

struct Envelope {
    QJsonObject header;
    QJsonObject itemHeader;
    QByteArray payload;
    QJsonObject event;
};

Envelope splitEnvelope(const QByteArray& body) {
    Envelope envelope;
    const QList<QByteArray> lines = body.split('\n');
    if (lines.size() >= 3) {
        envelope.header = QJsonDocument::fromJson(lines[0]).object();
        envelope.itemHeader = QJsonDocument::fromJson(lines[1]).object();
        envelope.payload = lines[2];
        envelope.event = QJsonDocument::fromJson(lines[2]).object();
    }
    return envelope;
}

// A value inside nested objects and arrays: at(event, "exception/values/0/type").
QJsonValue at(QJsonValue value, const char* path) {
    for (const QString& step : QString::fromLatin1(path).split(QLatin1Char('/'))) {
        bool isIndex = false;
        const int index = step.toInt(&isIndex);
        value = isIndex ? value.toArray().at(index) : value.toObject().value(step);
    }
    return value;
}

ErrorReportingOptions optionsFor(const QString& dsn, const QString& directory) {
    ErrorReportingOptions options;
    options.dsn = dsn;
    options.enableAutoSessionTracking = false;
    options.enableAutoBreadcrumbTracking = false;
    options.tracesSampleRate = 0;
    options.appHangTimeoutInterval = 5s;
    options.reportsDirectory = directory;
    options.release = QStringLiteral("1.2.3-test");
    return options;
}

} // namespace

class ErrorReportingTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { ErrorReporting::stop(); }

    void dsn_data();
    void dsn();
    void debugId();
    void crashLeavesReport_data();
    void crashLeavesReport();
    void nextStartSendsAndDeletes();
    void refusedReportIsKept();
    void pendingReportsAreBounded();
    void hangGivesOneReport();
    void emptyDsnSendsNothing_data();
    void emptyDsnSendsNothing();
};

void ErrorReportingTest::dsn_data() {
    QTest::addColumn<QString>("dsn");
    QTest::addColumn<QString>("endpoint");
    QTest::newRow("service") << QStringLiteral("https://%1@o1.ingest.example.com/42").arg(key)
                             << QStringLiteral("https://o1.ingest.example.com/api/42/envelope/");
    QTest::newRow("port and path") << QStringLiteral("http://k@127.0.0.1:9000/sub/7/")
                                   << QStringLiteral("http://127.0.0.1:9000/sub/api/7/envelope/");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("no key") << QStringLiteral("https://ingest.example.com/42") << QString();
    QTest::newRow("no project") << QStringLiteral("https://k@ingest.example.com/") << QString();
    QTest::newRow("other scheme") << QStringLiteral("ftp://k@ingest.example.com/42") << QString();
}

void ErrorReportingTest::dsn() {
    QFETCH(QString, dsn);
    QFETCH(QString, endpoint);
    const ErrorReport::Dsn parsed = ErrorReport::Dsn::parse(dsn);
    QCOMPARE(parsed.isValid(), !endpoint.isEmpty());
    if (parsed.isValid()) {
        QCOMPARE(parsed.envelopeUrl.toString(), endpoint);
        QCOMPARE(ErrorReport::authHeader(parsed, QStringLiteral("ondari/1")),
                 "Sentry sentry_version=7, sentry_client=ondari/1, sentry_key=" + parsed.publicKey.toUtf8());
    }
}

void ErrorReportingTest::debugId() {
    // The first three groups are byte-swapped; a short build id is padded.
    QCOMPARE(ErrorReport::debugIdFromBuildId("00112233445566778899aabbccddeeff01020304"),
             QStringLiteral("33221100-5544-7766-8899-aabbccddeeff"));
    QCOMPARE(ErrorReport::debugIdFromBuildId("0011223344556677"),
             QStringLiteral("33221100-5544-7766-0000-000000000000"));
}

void ErrorReportingTest::crashLeavesReport_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("signal");
    QTest::newRow("segmentation fault") << QStringLiteral("segv") << int(SIGSEGV);
    QTest::newRow("abort") << QStringLiteral("abort") << int(SIGABRT);
    // Needs the alternate stack.
    QTest::newRow("stack overflow") << QStringLiteral("overflow") << int(SIGSEGV);
}

void ErrorReportingTest::crashLeavesReport() {
    QFETCH(QString, how);
    QFETCH(int, signal);
    QTemporaryDir reports;
    // The process still dies of its signal.
    QCOMPARE(crashChild(QStringLiteral("http://%1@127.0.0.1:9/1").arg(key), reports.path(), how), signal);
    const QStringList names = reportsIn(reports.path());
    QCOMPARE(names.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^crash-\\d+-\\d+\\.report$")).match(names.first()).hasMatch());
    QVERIFY(QDir(reports.path()).entryList(QDir::Files | QDir::Hidden).size() == 1); // nothing half-written

    const QByteArray text = readFile(reports.filePath(names.first()));
    QVERIFY(text.startsWith("ondari-report 1\nkind crash\nsignal " + QByteArray::number(signal) + "\ntime "));
    QVERIFY(text.contains("\nrelease 9.8.7-test\n"));
    QVERIFY2(QRegularExpression(QStringLiteral("\nmodule [0-9a-f]+ [0-9a-f]+ [0-9a-f]{16,} ") +
                                QRegularExpression::escape(QStringLiteral(CRASH_HELPER)) + QLatin1Char('\n'))
                 .match(QString::fromUtf8(text))
                 .hasMatch(),
             text.left(2000).constData());
    QVERIFY(text.count("\nframe ") >= 3);

    // The time is now, to the second.
    const QByteArray time = text.mid(text.indexOf("time ") + 5, 10);
    QVERIFY(qAbs(time.toLongLong() - QDateTime::currentSecsSinceEpoch()) < 60);
}

void ErrorReportingTest::nextStartSendsAndDeletes() {
    QTemporaryDir reports;
    FakeIngestServer server;
    QCOMPARE(crashChild(server.dsn(key, QStringLiteral("42")), reports.path(), QStringLiteral("segv")),
             int(SIGSEGV));
    QCOMPARE(reportsIn(reports.path()).size(), 1);
    QCOMPARE(server.connections, 0);

    ErrorReporting::start(optionsFor(server.dsn(key, QStringLiteral("42")), reports.path()));
    QVERIFY(ErrorReporting::isRunning());
    QTRY_COMPARE(server.requests.size(), 1);
    const FakeIngestServer::Request request = server.requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/42/envelope/"));
    QCOMPARE(request.headers.value("x-sentry-auth"),
             "Sentry sentry_version=7, sentry_client=ondari/1.2.3-test, sentry_key=" + key.toUtf8());
    QCOMPARE(request.headers.value("content-type"), QByteArray("application/x-sentry-envelope"));

    const Envelope envelope = splitEnvelope(request.body);
    const QString eventId = at(envelope.header, "event_id").toString();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(eventId).hasMatch());
    QCOMPARE(at(envelope.itemHeader, "type").toString(), QStringLiteral("event"));
    QCOMPARE(at(envelope.itemHeader, "length").toInteger(), envelope.payload.size());

    const QJsonObject event = envelope.event;
    QCOMPARE(at(event, "event_id").toString(), eventId);
    QCOMPARE(at(event, "level").toString(), QStringLiteral("fatal"));
    QCOMPARE(at(event, "platform").toString(), QStringLiteral("native"));
    // The version of the program that crashed, not of the one sending.
    QCOMPARE(at(event, "release").toString(), QStringLiteral("9.8.7-test"));
    QVERIFY(qAbs(at(event, "timestamp").toDouble() - QDateTime::currentSecsSinceEpoch()) < 60);
    QCOMPARE(at(event, "exception/values/0/type").toString(), QStringLiteral("SIGSEGV"));
    QCOMPARE(at(event, "exception/values/0/mechanism/meta/signal/number").toInt(), int(SIGSEGV));
    QVERIFY(at(event, "exception/values/0/stacktrace/frames").toArray().size() >= 3);
    QVERIFY(at(event, "exception/values/0/stacktrace/frames/0/instruction_addr").toString().startsWith("0x"));
    bool helperImage = false;
    for (const QJsonValue& image : at(event, "debug_meta/images").toArray()) {
        if (at(image, "code_file").toString() == QStringLiteral(CRASH_HELPER)) {
            helperImage = true;
            QCOMPARE(at(image, "type").toString(), QStringLiteral("elf"));
            QCOMPARE(at(image, "debug_id").toString(),
                     ErrorReport::debugIdFromBuildId(at(image, "code_id").toString().toLatin1()));
            QVERIFY(at(image, "image_size").toDouble() > 0);
        }
    }
    QVERIFY(helperImage);

    // Accepted: the report is gone, and nothing more is sent.
    QTRY_VERIFY(reportsIn(reports.path()).isEmpty());
    QTest::qWait(100);
    QCOMPARE(server.requests.size(), 1);
}

void ErrorReportingTest::refusedReportIsKept() {
    for (int status : {500, 429, 403}) {
        QTemporaryDir reports;
        FakeIngestServer server;
        server.setStatus(status);
        QCOMPARE(crashChild(server.dsn(key, QStringLiteral("1")), reports.path(), QStringLiteral("abort")),
                 int(SIGABRT));
        // A file that is no report would never be taken: it goes at once.
        QFile junk(reports.filePath(QStringLiteral("junk.report")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a report\n");
        junk.close();

        ErrorReporting::start(optionsFor(server.dsn(key, QStringLiteral("1")), reports.path()));
        QTRY_COMPARE(server.requests.size(), 1);
        QTest::qWait(200);
        const QStringList left = reportsIn(reports.path());
        QCOMPARE(left.size(), 1);
        QVERIFY(left.first().startsWith(QStringLiteral("crash-")));

        // Sent again at the next start, and gone once accepted.
        server.setStatus(202);
        ErrorReporting::start(optionsFor(server.dsn(key, QStringLiteral("1")), reports.path()));
        QTRY_COMPARE(server.requests.size(), 2);
        QTRY_VERIFY(reportsIn(reports.path()).isEmpty());
        ErrorReporting::stop();
    }
}

void ErrorReportingTest::pendingReportsAreBounded() {
    QTemporaryDir reports;
    const QByteArray report =
        "ondari-report 1\nkind crash\nsignal 11\ntime 1700000000.5\nrelease 1\nframe 1234\n";
    const QDateTime base = QDateTime::currentDateTimeUtc().addSecs(-3600);
    for (int i = 0; i < ErrorReporting::maxPendingReports + 5; ++i) {
        QFile file(reports.filePath(QStringLiteral("crash-%1.report").arg(i, 2, 10, QLatin1Char('0'))));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(report);
        file.flush();
        // Names and ages disagree on purpose: age decides.
        file.setFileTime(base.addSecs(100 - i), QFileDevice::FileModificationTime);
    }
    FakeIngestServer server;
    server.setStatus(503);
    ErrorReporting::start(optionsFor(server.dsn(key, QStringLiteral("1")), reports.path()));
    QTRY_COMPARE(server.requests.size(), ErrorReporting::maxPendingReports);
    QTest::qWait(200);
    const QStringList left = reportsIn(reports.path());
    QCOMPARE(left.size(), ErrorReporting::maxPendingReports);
    // The five oldest (the highest numbers) went.
    QCOMPARE(left.first(), QStringLiteral("crash-00.report"));
    QCOMPARE(left.last(), QStringLiteral("crash-29.report"));
}

void ErrorReportingTest::hangGivesOneReport() {
    QTemporaryDir reports;
    FakeIngestServer server;
    ErrorReporting::start(optionsFor(server.dsn(key, QStringLiteral("5")), reports.path()));
    QTest::qWait(600); // the watchdog is answered while the loop runs
    QCOMPARE(reportsIn(reports.path()).size(), 0);

    // The GUI thread answers nothing until the report is there; a busy machine may make the
    // watchdog late, never early (by more than a call it queued just before the hang began).
    QElapsedTimer hung;
    hung.start();
    while (reportsIn(reports.path()).isEmpty() && hung.elapsed() < 60000) {
        std::this_thread::sleep_for(20ms);
    }
    const qint64 reportedAfter = hung.elapsed();
    QVERIFY2(reportedAfter >= 4500, qPrintable(QString::number(reportedAfter)));
    // However long the hang lasts, it is one report.
    std::this_thread::sleep_for(500ms);
    QCOMPARE(reportsIn(reports.path()).size(), 1);
    QVERIFY(reportsIn(reports.path()).first().startsWith(QStringLiteral("hang-")));

    // Sent once the hang is over.
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
    const QJsonObject event = splitEnvelope(server.requests.first().body).event;
    QCOMPARE(at(event, "level").toString(), QStringLiteral("error"));
    QCOMPARE(at(event, "release").toString(), QStringLiteral("1.2.3-test"));
    QCOMPARE(at(event, "exception/values/0/type").toString(), QStringLiteral("App Hanging"));
    QCOMPARE(at(event, "exception/values/0/value").toString(),
             QStringLiteral("App hanging for at least 5000 ms."));
    // The GUI thread's stack at the time.
    QVERIFY(at(event, "exception/values/0/stacktrace/frames").toArray().size() >= 3);
    QTRY_VERIFY(reportsIn(reports.path()).isEmpty());

    QTest::qWait(800);
    QCOMPARE(server.requests.size(), 1);
}

void ErrorReportingTest::emptyDsnSendsNothing_data() {
    QTest::addColumn<bool>("plainHttpElsewhere");
    QTest::newRow("empty") << false;
    // An address of this machine's other than loopback: nothing may go there in plain HTTP.
    QTest::newRow("plain HTTP to another host") << true;
}

void ErrorReportingTest::emptyDsnSendsNothing() {
    QFETCH(bool, plainHttpElsewhere);
    QString dsn;
    if (plainHttpElsewhere) {
        const std::optional<QHostAddress> own = FakeSongLinkServer::ownOutsideAddress();
        if (!own) {
            QSKIP("this machine has no address besides loopback");
        }
        dsn = QStringLiteral("http://%1@%2:9/1").arg(key, own->toString());
        QTest::ignoreMessage(QtWarningMsg, "Error reporting off: plain HTTP is used only with this machine");
    }
    struct sigaction before {};
    ::sigaction(SIGSEGV, nullptr, &before);

    QTemporaryDir reports;
    FakeIngestServer server;
    // A report from an earlier, configured run waits in the folder.
    QCOMPARE(crashChild(server.dsn(key, QStringLiteral("1")), reports.path(), QStringLiteral("segv")),
             int(SIGSEGV));
    QCOMPARE(reportsIn(reports.path()).size(), 1);

    ErrorReporting::start(optionsFor(dsn, reports.path()));
    QVERIFY(!ErrorReporting::isRunning());
    struct sigaction during {};
    ::sigaction(SIGSEGV, nullptr, &during);
    QCOMPARE(reinterpret_cast<void*>(during.sa_handler), reinterpret_cast<void*>(before.sa_handler));
    QTest::qWait(300);
    QCOMPARE(server.connections, 0);
    QCOMPARE(reportsIn(reports.path()).size(), 1);

    // And a crash without a DSN writes nothing.
    QTemporaryDir quiet;
    QCOMPARE(crashChild(QString(), quiet.path(), QStringLiteral("segv")), int(SIGSEGV));
    QVERIFY(QDir(quiet.path()).isEmpty());

    // A configured start takes the handlers over; stop gives them back.
    ErrorReporting::start(optionsFor(QStringLiteral("http://k@127.0.0.1:9/1"), quiet.path()));
    ::sigaction(SIGSEGV, nullptr, &during);
    QVERIFY(reinterpret_cast<void*>(during.sa_sigaction) != reinterpret_cast<void*>(before.sa_handler));
    ErrorReporting::stop();
    ::sigaction(SIGSEGV, nullptr, &during);
    QCOMPARE(reinterpret_cast<void*>(during.sa_handler), reinterpret_cast<void*>(before.sa_handler));
}

ONDARI_TEST_MAIN(ErrorReportingTest)
#include "tst_errorreporting.moc"
