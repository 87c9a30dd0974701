#include "FakeSongLinkServer.h"
#include "RoadRig.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString linkId = QStringLiteral("7MachineFaults0000000G");

// The settings of a user who has set up automatic conversion from Spotify to Apple Music.
const QByteArray automaticSettings = "[General]\n"
                                     "conversionMode=automatic\n"
                                     "sourceService=spotify\n"
                                     "targetService=appleMusic\n"
                                     "isBidirectional=true\n"
                                     "hasMigratedServiceSettings=true\n"
                                     "showURLPreview=false\n"
                                     "hasSeenMenuBarTooltip=true\n"
                                     "SUEnableAutomaticChecks=false\n";

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes) {
        byte = char(generator.bounded(256));
    }
    return bytes;
}

// One user's private corner of the machine: home, configuration, cache and runtime folders.
struct Machine {
    explicit Machine(const QString& name) {
        root = TestEnvironment::root() + QStringLiteral("/machine-") + name;
        QDir(root).removeRecursively();
        home = root + QStringLiteral("/home");
        config = root + QStringLiteral("/config");
        runtime = root + QStringLiteral("/runtime");
        for (const QString& dir : {home, config + QStringLiteral("/Ondari"), runtime,
                                   root + QStringLiteral("/cache"), root + QStringLiteral("/tmp")}) {
            QDir().mkpath(dir);
        }
        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        // Consent to observe keys: the program starts converting without its onboarding.
        write(config + QStringLiteral("/Ondari/key-observation-consent"), "allowed\n");
    }
    ~Machine() {
        ::chmod(QFile::encodeName(home).constData(), 0700);
        QDir(root).removeRecursively();
    }

    static bool write(const QString& path, const QByteArray& content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    bool writeSettings(const QByteArray& content) const {
        return write(config + QStringLiteral("/Ondari/Ondari.conf"), content);
    }
    QString logPath() const { return home + QStringLiteral("/ondari_debug.log"); }
    QStringList log() const { return TestEnvironment::debugLogMessagesIn(home); }

    QProcessEnvironment environment(const QString& apiBaseURL) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        // Stands in for "/": the one-copy lock goes to <root>/tmp/ondari-<uid>, there being no
        // <root>/run/user.
        env.insert(QStringLiteral("ONDARI_INSTANCE_ROOT"), root);
        env.insert(QStringLiteral("ONDARI_API_BASE_URL"), apiBaseURL);
        // Nothing may leave this machine.
        env.insert(QStringLiteral("ONDARI_UPDATE_FEED_URL"),
                   QStringLiteral("http://127.0.0.1:9/appcast.xml"));
        return env;
    }

    QString root;
    QString home;
    QString config;
    QString runtime;
};

} // namespace

// The built program on a machine that lacks things or holds broken ones: no tray, no journal,
// a home it cannot write its log to, a settings file full of garbage, a copy already running.
// It starts, converts what the user copies, and says what it has to say.
class FaultsMachineTest : public QObject {
    Q_OBJECT

    FakeSongLinkServer server;
    QList<QPointer<QProcess>> processes;

    QProcess* start(const Machine& machine, const QString& program = QStringLiteral(ONDARI_PROGRAM)) {
        return start(machine.environment(server.baseURL()), program);
    }
    QProcess* start(const QProcessEnvironment& environment,
                    const QString& program = QStringLiteral(ONDARI_PROGRAM)) {
        auto* process = new QProcess(this);
        processes.append(process);
        process->setProcessEnvironment(environment);
        process->start(program, {});
        return process->waitForStarted(5000) ? process : nullptr;
    }

    // Copies the link until the program has taken it up (a copy made before it watches the
    // clipboard is rightly ignored), then waits for what another program pastes to be want.
    bool copyUntilPasted(const QString& link, const QString& want, int timeoutMs = 15000) {
        QElapsedTimer clock;
        clock.start();
        qint64 lastCopy = -10000;
        const qsizetype requestsBefore = server.requests().size();
        while (clock.elapsed() < timeoutMs) {
            if (server.requests().size() == requestsBefore && clock.elapsed() - lastCopy > 1500) {
                processes.append(OtherProgram::copy(this, link.toUtf8()));
                lastCopy = clock.elapsed();
            }
            QTest::qWait(100);
            if (server.requests().size() > requestsBefore && OtherProgram::paste() == want) {
                return true;
            }
        }
        qWarning("%s never became %s (last paste: %s)", qPrintable(link), qPrintable(want),
                 qPrintable(OtherProgram::paste()));
        return false;
    }

    static bool waitForLine(const Machine& machine, const QString& line, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return machine.log().contains(line); }, timeoutMs);
    }

    static void stop(QProcess* process) {
        if (process && process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(1000);
            }
        }
    }

    // Still running, and a link copied by another program comes back converted, asked for once.
    void expectConverting(QProcess* program) {
        QVERIFY(copyUntilPasted(spotifyLink(linkId), convertedLink(linkId)));
        QCOMPARE(program->state(), QProcess::Running);
        QCOMPARE(server.requests().size(), 1);
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        QVERIFY(QFileInfo(QStringLiteral(ONDARI_PROGRAM)).isExecutable());
        for (const char* tool : {"xclip", "trayer", "xdotool"}) {
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
        }
        server.setAnswer(spotifyLink(linkId),
                         FakeSongLinkServer::Answer::withStatus(200, syntheticAnswer(linkId)));
    }

    void cleanup() {
        for (const QPointer<QProcess>& process : std::as_const(processes)) {
            stop(process);
        }
        processes.clear();
        server.clearRequests();
        QTest::qWait(100);
    }

    void noTrayHostNoJournal() {
        if (QFile::exists(QStringLiteral("/run/systemd/journal/socket"))) {
            QSKIP("a journal runs on this machine; this case needs one without (as the CI machine is)");
        }
        Machine machine(QStringLiteral("no-tray"));
        QVERIFY(machine.writeSettings(automaticSettings));
        QProcess* program = start(machine);
        QVERIFY(program);
        QVERIFY(waitForLine(machine, QStringLiteral("AppController setup complete")));
        QVERIFY(machine.log().contains(
            QStringLiteral("No system tray available: converting without a status icon until one appears")));
        expectConverting(program);
        QVERIFY(machine.log().contains(
            QStringLiteral("Automatic mode: enqueuing URL for auto-conversion to Apple Music")));

        // The log goes to its file and (without a journal, and without a syslog socket either)
        // nowhere else: nothing of it on the terminal.
        const QByteArray output = program->readAllStandardOutput() + program->readAllStandardError();
        QVERIFY2(!output.contains("Clipboard changed") && !output.contains("<private>"), output.constData());

        // A tray that appears later gets the icon.
        auto* tray = new QProcess(this);
        processes.append(tray);
        tray->start(QStringLiteral("trayer"),
                    {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                     QStringLiteral("right"), QStringLiteral("--height"), QStringLiteral("24")});
        QVERIFY(tray->waitForStarted());
        QVERIFY(waitForLine(machine, QStringLiteral("System tray available, showing the status icon"), 6000));
        QCOMPARE(program->state(), QProcess::Running);
    }

    void logCannotBeWritten_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("log is a folder") << QStringLiteral("folder");
        QTest::newRow("home read-only") << QStringLiteral("read-only");
        // Nobody reads it: opening it to write would wait for a reader for ever.
        QTest::newRow("log is a FIFO") << QStringLiteral("fifo");
    }

    void logCannotBeWritten() {
        QFETCH(QString, kind);
        Machine machine(QStringLiteral("log-") + kind);
        QVERIFY(machine.writeSettings(automaticSettings));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(machine.logPath()));
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(machine.logPath()).constData(), 0600), 0);
        } else {
            if (::geteuid() == 0) {
                QSKIP("the superuser writes into a read-only folder all the same");
            }
            QCOMPARE(::chmod(QFile::encodeName(machine.home).constData(), 0500), 0);
        }
        QProcess* program = start(machine);
        QVERIFY(program);
        expectConverting(program);
        QVERIFY(!QFileInfo(machine.logPath()).isFile());
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(machine.logPath()).isEmpty());
        }
    }

    // Without a home Qt would keep settings and the log under "/": the program says why it cannot
    // start, and ends before it touches anything.
    void noHomeNoStart_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("unset") << QStringLiteral("unset");
        QTest::newRow("missing") << QStringLiteral("missing");
        QTest::newRow("a file") << QStringLiteral("file");
        QTest::newRow("relative") << QStringLiteral("relative");
    }

    void noHomeNoStart() {
        QFETCH(QString, kind);
        Machine machine(QStringLiteral("home-") + kind);
        QVERIFY(QDir(machine.home).removeRecursively());
        QProcessEnvironment env = machine.environment(server.baseURL());
        if (kind == QLatin1String("unset")) {
            env.remove(QStringLiteral("HOME"));
        } else if (kind == QLatin1String("file")) {
            QVERIFY(Machine::write(machine.home, "not a folder\n"));
        } else if (kind == QLatin1String("relative")) {
            QVERIFY(QDir().mkpath(machine.root + QStringLiteral("/relative")));
            env.insert(QStringLiteral("HOME"), QStringLiteral("relative"));
        }
        QProcess program;
        program.setWorkingDirectory(machine.root);
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QVERIFY2(program.readAllStandardError().contains("Ondari needs a home folder"),
                 "no word of the missing home");
        QVERIFY(QDir(machine.root + QStringLiteral("/relative")).isEmpty());
        QVERIFY(QDir(machine.config + QStringLiteral("/Ondari")).entryList(QDir::Files) ==
                QStringList{QStringLiteral("key-observation-consent")});
    }

    void settingsFullOfGarbage_data() {
        QTest::addColumn<QByteArray>("settings");
        // Automatic: the link is converted on the clipboard; else the default mode's prompt.
        QTest::addColumn<bool>("automatic");
        QTest::newRow("random bytes") << randomBytes(64 * 1024, 7) << false;
        QTest::newRow("wrong types and values")
            << QByteArray(
                   "[General]\nconversionMode=banana\ntoastTimeout=NaN\nshowURLPreview=@ByteArray(\\0\\xff)\n"
                   "sourceService=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x12)\ntargetService=42, 43\n"
                   "streamingServicePair=@Rect(1 2 3 4)\nhasMigratedServiceSettings=@Invalid()\n"
                   "isBidirectional=\"\nhasSeenMenuBarTooltip=true\nSUEnableAutomaticChecks=false\n")
            << false;
        QTest::newRow("a huge value")
            << QByteArray("[General]\nconversionMode=") + QByteArray(8 * 1024 * 1024, 'a') + "\n"
            << false;
        QTest::newRow("good keys among garbage")
            << randomBytes(4096, 8).replace('\n', ' ').replace('[', ' ') + "\n" + automaticSettings +
                   randomBytes(4096, 9).replace('[', ' ')
            << true;
    }

    void settingsFullOfGarbage() {
        QFETCH(QByteArray, settings);
        QFETCH(bool, automatic);
        Machine machine(QStringLiteral("garbage-") +
                        QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
        QVERIFY(machine.writeSettings(settings));
        QProcess* program = start(machine);
        QVERIFY(program);
        // Every settings write rewrites the whole file: with 8 MB in it, a sanitizer build needs
        // well over ten seconds for the migration's writes.
        QVERIFY(waitForLine(machine, QStringLiteral("AppController setup complete"), 40000));
        if (automatic) {
            expectConverting(program);
            return;
        }
        // Default mode: the link comes up in the toast and stays on the clipboard as it was.
        const QString link = spotifyLink(linkId);
        processes.append(OtherProgram::copy(this, link.toUtf8()));
        QVERIFY(waitForLine(machine,
                            QStringLiteral("Default mode: enqueuing URL for conversion to Apple Music")));
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (const QString& line : machine.log()) {
                    if (line.startsWith(QLatin1String("Toast: Panel shown at"))) {
                        return true;
                    }
                }
                return false;
            },
            5000));
        QCOMPARE(OtherProgram::paste(), link);
        QCOMPARE(program->state(), QProcess::Running);
    }

    // What the program reads at its start, replaced by something that blocks a reader (a FIFO
    // nobody writes to) or by garbage: it starts all the same, and converts where it may.
    void filesThatBlock_data() {
        QTest::addColumn<QString>("path");       // under the machine's root
        QTest::addColumn<QByteArray>("content"); // none: a FIFO
        // What it does then: "converts", "prompts" (no settings: default mode) or "asks" (no
        // consent: the onboarding).
        QTest::addColumn<QString>("outcome");
        const QString lock = QStringLiteral("runtime/" ONDARI_APP_ID ".lock");
        QTest::newRow("settings") << QStringLiteral("config/Ondari/Ondari.conf") << QByteArray()
                                  << QStringLiteral("prompts");
        QTest::newRow("settings lock")
            << QStringLiteral("config/Ondari/Ondari.conf.lock") << QByteArray() << QStringLiteral("converts");
        QTest::newRow("organization settings")
            << QStringLiteral("config/Ondari.conf") << QByteArray() << QStringLiteral("converts");
        QTest::newRow("consent") << QStringLiteral("config/Ondari/key-observation-consent") << QByteArray()
                                 << QStringLiteral("asks");
        QTest::newRow("lock") << lock << QByteArray() << QStringLiteral("converts");
        QTest::newRow("lock of garbage")
            << lock << QByteArray("\x01garbage\n\xff\n") << QStringLiteral("converts");
        QTest::newRow("empty lock") << lock << QByteArray("") << QStringLiteral("converts");
        // A process that runs, but is no Ondari.
        QTest::newRow("lock of another program")
            << lock << QByteArray("1\nsystemd\n") << QStringLiteral("converts");
    }

    void filesThatBlock() {
        QFETCH(QString, path);
        QFETCH(QByteArray, content);
        QFETCH(QString, outcome);
        Machine machine(QStringLiteral("blocking-") +
                        QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
        if (outcome != QLatin1String("prompts")) {
            QVERIFY(machine.writeSettings(automaticSettings));
        }
        const QString file = machine.root + QLatin1Char('/') + path;
        QFile::remove(file);
        if (content.isNull()) {
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        } else {
            QVERIFY(Machine::write(file, content));
        }
        QProcess* program = start(machine);
        QVERIFY(program);
        if (outcome == QLatin1String("asks")) {
            QVERIFY(
                waitForLine(machine, QStringLiteral("Accessibility permission missing, showing onboarding")));
            QCOMPARE(program->state(), QProcess::Running);
            return;
        }
        QVERIFY(waitForLine(machine, QStringLiteral("AppController setup complete")));
        if (outcome == QLatin1String("converts")) {
            expectConverting(program);
            return;
        }
        processes.append(OtherProgram::copy(this, spotifyLink(linkId).toUtf8()));
        QVERIFY(waitForLine(machine,
                            QStringLiteral("Default mode: enqueuing URL for conversion to Apple Music")));
        // The preview's request, which must not be counted for the next test.
        QTRY_COMPARE(server.requests().size(), 1);
        QCOMPARE(program->state(), QProcess::Running);
    }

    // The visible windows of the program larger than an icon: without a tray, its open menu.
    static int menusShown() {
        QProcess search;
        search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                 QStringLiteral("--classname"), QStringLiteral("ondari")});
        search.waitForFinished(5000);
        int menus = 0;
        const QList<QByteArray> ids = search.readAllStandardOutput().split('\n');
        for (const QByteArray& id : ids) {
            QProcess geometry;
            geometry.start(QStringLiteral("xdotool"),
                           {QStringLiteral("getwindowgeometry"), QString::fromLatin1(id.trimmed())});
            geometry.waitForFinished(5000);
            const QRegularExpressionMatch size =
                QRegularExpression(QStringLiteral("Geometry: (\\d+)x(\\d+)"))
                    .match(QString::fromLatin1(geometry.readAllStandardOutput()));
            if (size.hasMatch() && size.captured(1).toInt() > 100 && size.captured(2).toInt() > 100) {
                ++menus;
            }
        }
        return menus;
    }

    // Started under another name, over a dead copy's leftovers at the lock and the socket, with no
    // tray: a second start without XDG_RUNTIME_DIR is refused all the same, and opens the running
    // copy's menu.
    void secondStartLeavesTheFirstRunning() {
        Machine machine(QStringLiteral("second-start"));
        QVERIFY(machine.writeSettings(automaticSettings));
        const QString lockFolder =
            machine.root + QStringLiteral("/tmp/ondari-") + QString::number(::geteuid());
        QVERIFY(QDir().mkdir(lockFolder));
        QVERIFY(QFile::setPermissions(lockFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QFile::link(machine.root + QStringLiteral("/gone"),
                            lockFolder + QStringLiteral("/" ONDARI_APP_ID ".lock")));
        QVERIFY(Machine::write(lockFolder + QStringLiteral("/" ONDARI_APP_ID ".socket"), "left over"));
        const QString renamed = machine.root + QStringLiteral("/ondari-renamed");
        QVERIFY(QFile::link(QStringLiteral(ONDARI_PROGRAM), renamed));
        QProcess* first = start(machine, renamed);
        QVERIFY(first);
        QVERIFY(waitForLine(machine, QStringLiteral("AppController setup complete")));
        QCOMPARE(menusShown(), 0);

        QElapsedTimer clock;
        clock.start();
        QProcessEnvironment withoutRuntimeDir = machine.environment(server.baseURL());
        withoutRuntimeDir.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        QProcess* second = start(withoutRuntimeDir);
        QVERIFY(second);
        // Ending is what counts; how soon a busy machine starts and ends a program is not.
        QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, 30000);
        qInfo("the second start ended after %lld ms", clock.elapsed());
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(second->readAllStandardOutput(), QByteArray("Ondari is already running.\n"));
        QCOMPARE(machine.log().count(QStringLiteral("AppController setup started")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(menusShown(), 1, 10000);
        QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
        QTRY_COMPARE_WITH_TIMEOUT(menusShown(), 0, 5000);

        // The first copy goes on as before.
        expectConverting(first);

        // A copy that died without a word leaves no lock behind.
        const pid_t firstPid = pid_t(first->processId());
        QVERIFY(firstPid > 0); // never 0: that would kill the whole process group
        QCOMPARE(::kill(firstPid, SIGKILL), 0);
        QVERIFY(first->waitForFinished(3000));
        QProcess* third = start(machine);
        QVERIFY(third);
        QTRY_COMPARE_WITH_TIMEOUT(machine.log().count(QStringLiteral("AppController setup complete")), 2,
                                  10000);
        QCOMPARE(third->state(), QProcess::Running);
    }
};

ONDARI_ROAD_TEST_MAIN(FaultsMachineTest)
#include "tst_faults_machine.moc"
