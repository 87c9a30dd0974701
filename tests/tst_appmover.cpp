#include "AppMover.h"
#include "LoginItem.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <sys/xattr.h>

namespace {

// A stand-in for pkexec: records its arguments (NUL-separated, so any path survives), then does
// what the next line of "modes" says, or runs the command unprivileged.
const char* const standInScript = R"(#!/bin/sh
dir='@DIR@'
n=$(( $(cat "$dir/count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/count"
printf '%s\0' "$@" > "$dir/argv.$n"
mode=$(sed -n "${n}p" "$dir/modes" 2>/dev/null)
case "$mode" in
cancel) echo "Error executing command as another user: Request dismissed" >&2; exit 126 ;;
noagent) echo "Error executing command as another user: No authentication agent found." >&2; exit 127 ;;
denied) printf 'Error executing command as another user: Not authorized\n\nThis incident has been reported.\n' >&2; exit 127 ;;
fail) exit 1 ;;
esac
exec "$@"
)";

void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
    file.close();
    if (executable) {
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The pid of a process that has already ended, for relaunches that should not wait.
qint64 endedPid() {
    QProcess process;
    process.start(QStringLiteral("/bin/true"), {});
    process.waitForStarted();
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

// Private folders and scripted collaborators for one run of the mover.
class Fixture {
public:
    Fixture() {
        root = dir.path();
        userApps = root + QStringLiteral("/home/Applications");
        localApps = root + QStringLiteral("/Applications-local");
        downloads = root + QStringLiteral("/Downloads");
        marker = root + QStringLiteral("/started.log");
        QDir().mkpath(userApps);
        QDir().mkpath(localApps);
        QDir().mkpath(downloads);
        QDir().mkpath(root + QStringLiteral("/standin"));
        source = downloads + QStringLiteral("/Ondari.AppImage");
        writeFile(source, newCopyScript("new"), true);

        // The AppImage's mount, holding the running program; reached through a link, as
        // /proc/self/exe is.
        env.bundlePath = source;
        env.appDir = root + QStringLiteral("/mount");
        QDir().mkpath(env.appDir + QStringLiteral("/usr/bin"));
        writeFile(env.appDir + QStringLiteral("/usr/bin/ondari"), "x", true);
        env.executablePath = root + QStringLiteral("/self-exe");
        // The stand-ins are scripts, so that each start of one leaves its mark.
        env.isAppImage = [](const QString&) { return true; };
        QFile::link(env.appDir + QStringLiteral("/usr/bin/ondari"), env.executablePath);
        env.applicationDirectories = {userApps, localApps};
        env.applicationName = QStringLiteral("Ondari");
        env.privilegedRunner = root + QStringLiteral("/pkexec");
        QByteArray script = standInScript;
        script.replace("@DIR@", QFile::encodeName(root + QStringLiteral("/standin")));
        writeFile(env.privilegedRunner, script, true);
        env.appId = QStringLiteral("org.ondari.Test");
        env.processId = endedPid();
        env.presentAlert = [this](const AppMover::Alert& alert) {
            alerts.append(alert);
            return answers.isEmpty() ? 0 : answers.takeFirst();
        };
        env.runningAppImages = [this] { return running; };
        env.moveToTrash = [this](const QString& path) {
            trashed.append(path);
            return trashWorks && QFile::remove(path);
        };
        env.isWritable = [this](const QString& path) { return !readOnly.contains(path); };
        env.open = [this](const QString& path) {
            opened.append(path);
            return true;
        };
        env.terminate = [this] { ++terminations; };
    }

    // A queued end of the program must not outlive the counters it writes to.
    ~Fixture() { QCoreApplication::sendPostedEvents(); }

    // A program that notes each start of itself in the marker file.
    QByteArray newCopyScript(const QByteArray& tag) const {
        return "#!/bin/sh\necho \"" + tag + " $0 APPIMAGE=${APPIMAGE-unset}\" >> '" +
               QFile::encodeName(marker) + "'\n";
    }

    void setModes(const QByteArray& modes) { writeFile(root + QStringLiteral("/standin/modes"), modes); }
    int runnerCalls() const { return readFile(root + QStringLiteral("/standin/count")).trimmed().toInt(); }
    QStringList runnerArguments(int call) const {
        const QByteArray raw = readFile(root + QStringLiteral("/standin/argv.") + QString::number(call));
        QStringList arguments;
        for (const QByteArray& argument : raw.split('\0')) {
            arguments.append(QString::fromUtf8(argument));
        }
        if (!arguments.isEmpty()) {
            arguments.removeLast(); // after the final NUL
        }
        return arguments;
    }

    // Runs the mover to its end; also notes how often terminate had run by then.
    std::optional<bool> run(AppMover& mover) {
        std::optional<bool> result;
        QCoro::Task<bool> task = mover.moveToApplicationsFolderIfNeeded();
        auto done = task.then([&](bool moved) {
            result = moved;
            terminationsAtReturn = terminations;
        });
        (void)QTest::qWaitFor([&] { return result.has_value(); }, 10000);
        return result;
    }

    QTemporaryDir dir;
    QString root, userApps, localApps, downloads, source, marker;
    AppMover::Environment env;
    QList<AppMover::Alert> alerts;
    QList<int> answers;
    QStringList running, trashed, opened;
    QSet<QString> readOnly;
    bool trashWorks = true;
    int terminations = 0;
    int terminationsAtReturn = -1;
};

} // namespace

class AppMoverTest : public QObject {
    Q_OBJECT

private slots:
    void installedTest_data();
    void installedTest();
    void installedShowsNothing();
    void directoryChoice();
    void excludedDirectory();
    void alertTexts();
    void declined();
    void onlyOwnAppImageMoves_data();
    void onlyOwnAppImageMoves();
    void olderCopyGoesToTrash();
    void failedTrashChangesNothing();
    void runningCopyIsOpened();
    void systemListerFindsRunningCopy();
    void privilegedInstallWithHostilePaths();
    void privilegedExtensionCheck();
    void cancelShowsAlertAgain();
    void privilegedFailures_data();
    void privilegedFailures();
    void relaunchWaitsForOldProcess();
    void relaunchMovesAutostartEntry();
};

void AppMoverTest::installedTest_data() {
    QTest::addColumn<QString>("bundle");
    QTest::addColumn<bool>("installed");
    QTest::newRow("not an AppImage") << QString() << true;
    QTest::newRow("in Downloads") << QStringLiteral("/home/u/Downloads/Ondari.AppImage") << false;
    QTest::newRow("user folder") << QStringLiteral("/home/u/Applications/Ondari.AppImage") << true;
    QTest::newRow("plain prefix") << QStringLiteral("/home/u/ApplicationsOld/Ondari.AppImage") << true;
    QTest::newRow("any Applications folder")
        << QStringLiteral("/media/usb/Applications/x/Ondari.AppImage") << true;
    QTest::newRow("letter case counts") << QStringLiteral("/media/usb/applications/Ondari.AppImage") << false;
    QTest::newRow("part of a name") << QStringLiteral("/media/MyApplications/Ondari.AppImage") << false;
}

void AppMoverTest::installedTest() {
    QFETCH(QString, bundle);
    QFETCH(bool, installed);
    AppMover::Environment env;
    env.applicationDirectories = {QStringLiteral("/home/u/Applications"), QStringLiteral("/Applications")};
    QCOMPARE(AppMover(env).isInstalled(bundle), installed);
}

void AppMoverTest::installedShowsNothing() {
    Fixture f;
    const QString installed = f.userApps + QStringLiteral("/Ondari.AppImage");
    writeFile(installed, "x");
    f.env.bundlePath = installed;
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QVERIFY(f.alerts.isEmpty());

    // No folder to install into: nothing shown either.
    f.env.bundlePath = f.source;
    f.env.applicationDirectories = {f.root + QStringLiteral("/missing"), f.source};
    AppMover noFolder(f.env);
    QCOMPARE(f.run(noFolder), std::optional<bool>(false));
    QVERIFY(f.alerts.isEmpty());
    QVERIFY(QFile::exists(f.source));
}

void AppMoverTest::directoryChoice() {
    Fixture f;
    AppMover mover(f.env);
    // Both empty: the later one wins the tie.
    QCOMPARE(mover.preferredInstallDirectory(), std::optional<QString>(f.localApps));

    // The one with more entries wins; hidden entries count.
    writeFile(f.userApps + QStringLiteral("/.hidden"), "x");
    QCOMPARE(mover.preferredInstallDirectory(), std::optional<QString>(f.userApps));
    writeFile(f.localApps + QStringLiteral("/a"), "x");
    QCOMPARE(mover.preferredInstallDirectory(), std::optional<QString>(f.localApps));
    writeFile(f.localApps + QStringLiteral("/b"), "x");
    writeFile(f.userApps + QStringLiteral("/c"), "x");
    writeFile(f.userApps + QStringLiteral("/d"), "x");
    QCOMPARE(mover.preferredInstallDirectory(), std::optional<QString>(f.userApps));

    // Order decides ties: listed the other way round, the other folder wins.
    writeFile(f.localApps + QStringLiteral("/e"), "x");
    QCOMPARE(mover.preferredInstallDirectory(), std::optional<QString>(f.localApps));
    f.env.applicationDirectories = {f.localApps, f.userApps};
    QCOMPARE(AppMover(f.env).preferredInstallDirectory(), std::optional<QString>(f.userApps));

    // Missing folders and plain files are no candidates; a link counts as the folder it names.
    const QString link = f.root + QStringLiteral("/linked");
    QVERIFY(QFile::link(f.localApps, link));
    f.env.applicationDirectories = {f.root + QStringLiteral("/nope"), f.source, link};
    QCOMPARE(AppMover(f.env).preferredInstallDirectory(), std::optional<QString>(f.localApps));
    f.env.applicationDirectories = {f.root + QStringLiteral("/nope"), f.source};
    QCOMPARE(AppMover(f.env).preferredInstallDirectory(), std::nullopt);
}

void AppMoverTest::excludedDirectory() {
    Fixture f;
    const QString system = f.root + QStringLiteral("/System/Applications");
    QDir().mkpath(system);
    for (int i = 0; i < 5; ++i) {
        writeFile(system + QLatin1Char('/') + QString::number(i), "x");
    }
    f.env.excludedDirectory = system;
    const QString link = f.root + QStringLiteral("/to-system");
    QVERIFY(QFile::link(system, link));
    f.env.applicationDirectories = {f.userApps, system, link};
    QCOMPARE(AppMover(f.env).preferredInstallDirectory(), std::optional<QString>(f.userApps));
    f.env.applicationDirectories = {system};
    QCOMPARE(AppMover(f.env).preferredInstallDirectory(), std::nullopt);

    // The real one is excluded by default.
    QCOMPARE(AppMover::Environment().excludedDirectory, QStringLiteral("/System/Applications"));
}

void AppMoverTest::alertTexts() {
    const QString plain =
        QStringLiteral("Ondari needs to move to your Applications folder in order to work properly.");
    const QString withAuth =
        plain +
        QStringLiteral(" You need to authenticate with your administrator password to complete this step.");
    Fixture f;
    f.answers = {1, 1, 1, 1};
    QCOMPARE(f.run(*std::make_unique<AppMover>(f.env)), std::optional<bool>(false));

    // A read-only older copy needs authentication even in a writable folder.
    writeFile(f.localApps + QStringLiteral("/Ondari.AppImage"), "old");
    f.readOnly = {f.localApps + QStringLiteral("/Ondari.AppImage")};
    QCOMPARE(f.run(*std::make_unique<AppMover>(f.env)), std::optional<bool>(false));

    // So does a read-only folder.
    f.readOnly = {f.localApps};
    QCOMPARE(f.run(*std::make_unique<AppMover>(f.env)), std::optional<bool>(false));

    f.readOnly.clear();
    f.env.applicationName.clear();
    QCOMPARE(f.run(*std::make_unique<AppMover>(f.env)), std::optional<bool>(false));

    QCOMPARE(f.alerts.size(), 4);
    for (const AppMover::Alert& alert : f.alerts) {
        QCOMPARE(alert.messageText, QStringLiteral("Move to Applications folder"));
        QCOMPARE(alert.buttons,
                 QStringList({QStringLiteral("Move to Applications Folder"), QStringLiteral("Do Not Move")}));
    }
    QCOMPARE(f.alerts[0].informativeText, plain);
    QCOMPARE(f.alerts[1].informativeText, withAuth);
    QCOMPARE(f.alerts[2].informativeText, withAuth);
    QCOMPARE(f.alerts[3].informativeText,
             QStringLiteral("The App needs to move to your Applications folder in order to work properly."));
}

void AppMoverTest::declined() {
    // "Do Not Move", or the alert closed some other way: nothing happens.
    for (int answer : {1, -1}) {
        Fixture f;
        f.answers = {answer};
        AppMover mover(f.env);
        QCOMPARE(f.run(mover), std::optional<bool>(false));
        QCOMPARE(f.alerts.size(), 1);
        QVERIFY(QFile::exists(f.source));
        QVERIFY(QDir(f.localApps).isEmpty());
        QCOMPARE(f.terminations, 0);
        QVERIFY(!mover.terminationRequested());
    }
}

void AppMoverTest::onlyOwnAppImageMoves_data() {
    QTest::addColumn<QString>("appImage"); // under the fixture's root
    QTest::addColumn<QString>("appDir");   // ditto; the running program is in mount/usr/bin
    QTest::addColumn<bool>("readOnly");
    const QString own = QStringLiteral("/Downloads/Ondari.AppImage");
    // Inherited from a terminal that another AppImage started.
    QTest::newRow("another program's AppImage")
        << QStringLiteral("/Downloads/OtherTool.AppImage") << QStringLiteral("/other-mount") << false;
    QTest::newRow("no APPDIR") << own << QString() << false;
    QTest::newRow("APPDIR a prefix of the mount's name") << own << QStringLiteral("/moun") << false;
    QTest::newRow("a folder") << QStringLiteral("/Downloads") << QStringLiteral("/mount") << false;
    QTest::newRow("trailing slash") << own + QLatin1Char('/') << QStringLiteral("/mount") << false;
    QTest::newRow("trailing slash, privileged") << own + QLatin1Char('/') << QStringLiteral("/mount") << true;
    QTest::newRow("a link to the AppImage")
        << QStringLiteral("/link.AppImage") << QStringLiteral("/mount") << false;
    // A script named in APPIMAGE, from a program whose APPDIR holds everything.
    QTest::newRow("a shell script") << own << QStringLiteral("/mount") << false;
    QTest::newRow("APPDIR the root") << own << QStringLiteral("/") << false;
    // Our own AppImage, but a folder of its name in the way.
    QTest::newRow("destination is a folder") << own << QStringLiteral("/mount") << false;
    QTest::newRow("destination is a folder, privileged") << own << QStringLiteral("/mount") << true;
}

void AppMoverTest::onlyOwnAppImageMoves() {
    QFETCH(QString, appImage);
    QFETCH(QString, appDir);
    QFETCH(bool, readOnly);
    Fixture f;
    writeFile(f.downloads + QStringLiteral("/OtherTool.AppImage"), "other", true);
    QDir().mkpath(f.root + QStringLiteral("/other-mount/usr/bin"));
    writeFile(f.root + QStringLiteral("/other-mount/usr/bin/other"), "other", true);
    QVERIFY(QFile::link(f.source, f.root + QStringLiteral("/link.AppImage")));
    // The user's other AppImages, in the folder that would be chosen.
    writeFile(f.localApps + QStringLiteral("/Mine.AppImage"), "mine", true);
    writeFile(f.localApps + QStringLiteral("/Yours.AppImage"), "yours", true);
    if (QTest::currentDataTag() == QLatin1String("destination is a folder") ||
        QTest::currentDataTag() == QLatin1String("destination is a folder, privileged")) {
        QVERIFY(QDir().mkpath(f.localApps + QStringLiteral("/Ondari.AppImage/data")));
        writeFile(f.localApps + QStringLiteral("/Ondari.AppImage/data/keep"), "keep");
    }
    if (readOnly) {
        f.readOnly = {f.localApps};
    }
    f.env.bundlePath = f.root + appImage;
    f.env.appDir = appDir.isEmpty() ? QString() : appDir == QLatin1String("/") ? appDir : f.root + appDir;
    if (QTest::currentDataTag() == QLatin1String("a shell script")) {
        f.env.isAppImage = AppImageLocation::hasAppImageMagic;
        const QString real = f.root + QStringLiteral("/Real.AppImage");
        writeFile(real,
                  QByteArray("\x7f"
                             "ELF\x02\x01\x01\0AI\x02",
                             11) +
                      QByteArray(64, '\0'),
                  true);
        QVERIFY(AppImageLocation::hasAppImageMagic(real));
        QVERIFY(!AppImageLocation::hasAppImageMagic(f.source));
    }
    const auto listing = [&f] {
        QStringList all;
        for (const QString& folder : {f.localApps, f.userApps, f.downloads}) {
            QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                all.append(path + QLatin1Char(' ') + QString::fromLatin1(readFile(path)));
            }
        }
        all.sort();
        return all;
    };
    const QStringList before = listing();

    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QVERIFY(f.alerts.isEmpty());
    QVERIFY(f.trashed.isEmpty());
    QVERIFY(f.opened.isEmpty());
    QCOMPARE(f.runnerCalls(), 0);
    QCOMPARE(listing(), before);
    QTest::qWait(50);
    QCOMPARE(f.terminations, 0);
    QVERIFY(!QFile::exists(f.marker));
}

void AppMoverTest::olderCopyGoesToTrash() {
    Fixture f;
    const QString destination = f.localApps + QStringLiteral("/Ondari.AppImage");
    writeFile(destination, "old copy");
    f.running = {f.userApps + QStringLiteral("/Ondari.AppImage")}; // another path: not this copy
    // The real freedesktop trash, in the test's private home (which has no data folder yet).
    QVERIFY(!QFile::exists(QDir::homePath() + QStringLiteral("/.local/share")));
    f.env.moveToTrash = AppMover::systemEnvironment().moveToTrash;
    qputenv("APPIMAGE", QFile::encodeName(f.source));
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(true));
    qunsetenv("APPIMAGE");

    QCOMPARE(readFile(QDir::homePath() + QStringLiteral("/.local/share/Trash/files/Ondari.AppImage")),
             QByteArray("old copy"));
    QCOMPARE(readFile(destination), f.newCopyScript("new"));
    QVERIFY(QFileInfo(destination).isExecutable());
    QVERIFY(!QFile::exists(f.source));
    QVERIFY(!QFile::exists(QStringLiteral("files")));
    QCOMPARE(f.runnerCalls(), 0);

    // The end is queued: the rest of start-up runs first.
    QCOMPARE(f.terminationsAtReturn, 0);
    QTRY_COMPARE(f.terminations, 1);
    QVERIFY(!mover.terminationRequested());
    // The old process is gone already, so the new copy starts at once, without our AppImage's variables.
    QTRY_COMPARE(readFile(f.marker), "new " + QFile::encodeName(destination) + " APPIMAGE=unset\n");
}

void AppMoverTest::failedTrashChangesNothing() {
    Fixture f;
    const QString destination = f.localApps + QStringLiteral("/Ondari.AppImage");
    writeFile(destination, "old copy");
    f.trashWorks = false;
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QCOMPARE(f.trashed, QStringList{destination});
    QCOMPARE(readFile(destination), QByteArray("old copy"));
    QVERIFY(QFile::exists(f.source));
    QTest::qWait(50);
    QCOMPARE(f.terminations, 0);
}

void AppMoverTest::runningCopyIsOpened() {
    Fixture f;
    const QString destination = f.localApps + QStringLiteral("/Ondari.AppImage");
    writeFile(destination, "running copy");
    f.running = {f.localApps + QStringLiteral("/./Ondari.AppImage")};
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QCOMPARE(f.opened, QStringList{destination});
    QVERIFY(f.trashed.isEmpty());
    QCOMPARE(readFile(destination), QByteArray("running copy"));
    QVERIFY(QFile::exists(f.source));
    QTest::qWait(50);
    QCOMPARE(f.terminations, 0);
}

void AppMoverTest::systemListerFindsRunningCopy() {
    Fixture f;
    const QString destination = f.localApps + QStringLiteral("/Ondari.AppImage");
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("APPIMAGE"), destination);
    copy.setProcessEnvironment(environment);
    copy.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(copy.waitForStarted());
    const QStringList found = AppMover::systemEnvironment().runningAppImages();
    copy.kill();
    copy.waitForFinished();
    QVERIFY2(found.contains(destination), qPrintable(found.join(QLatin1Char(','))));
}

void AppMoverTest::privilegedInstallWithHostilePaths() {
    Fixture f;
    // Each of these would change a command that pasted the paths into shell text.
    const QString hostile = QStringLiteral("it's \"q\" $(touch PWNED) `touch PWNED2` $HOME; x\nline");
    const QString sourceDir = f.root + QLatin1Char('/') + hostile;
    const QString installDir = f.root + QStringLiteral("/Apps ' \" $PATH\n") + hostile;
    QVERIFY(QDir().mkpath(sourceDir));
    QVERIFY(QDir().mkpath(installDir));
    const QString source = sourceDir + QStringLiteral("/On'da ri $(id).AppImage");
    writeFile(source, f.newCopyScript("hostile"), true);
    const QString destination = installDir + QStringLiteral("/On'da ri $(id).AppImage");
    writeFile(destination, "old copy");
    f.env.bundlePath = source;
    f.env.applicationDirectories = {installDir};
    f.readOnly = {installDir};

    const QString previous = QDir::currentPath();
    QDir::setCurrent(f.root);
    AppMover mover(f.env);
    const std::optional<bool> moved = f.run(mover);
    QDir::setCurrent(previous);

    QCOMPARE(moved, std::optional<bool>(true));
    QCOMPARE(f.alerts.size(), 1);
    QVERIFY(f.alerts[0].informativeText.endsWith(QStringLiteral("to complete this step.")));
    QCOMPARE(f.runnerCalls(), 1);
    QCOMPARE(f.runnerArguments(1),
             QStringList({QStringLiteral("/bin/sh"), QStringLiteral("-c"), AppMover::installScript,
                          QStringLiteral("sh"), destination, source}));
    QCOMPARE(readFile(destination), f.newCopyScript("hostile"));
    QVERIFY(!QFile::exists(source));
    QVERIFY(!QFile::exists(f.root + QStringLiteral("/PWNED")));
    QVERIFY(!QFile::exists(f.root + QStringLiteral("/PWNED2")));
    QTRY_COMPARE(f.terminations, 1);
    // The relaunch passes the path as an argument as well.
    QTRY_COMPARE(readFile(f.marker), "hostile " + QFile::encodeName(destination) + " APPIMAGE=unset\n");
    QVERIFY(!QFile::exists(f.root + QStringLiteral("/PWNED")));
}

void AppMoverTest::privilegedExtensionCheck() {
    // The check ignores letter case; any other extension ends the program without a copy.
    Fixture f;
    f.readOnly = {f.localApps};
    const QString lower = f.downloads + QStringLiteral("/ondari.appimage");
    QVERIFY(QFile::rename(f.source, lower));
    f.env.bundlePath = lower;
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(true));
    QVERIFY(QFile::exists(f.localApps + QStringLiteral("/ondari.appimage")));

    Fixture g;
    g.readOnly = {g.localApps};
    const QString other = g.downloads + QStringLiteral("/Ondari.bin");
    QVERIFY(QFile::rename(g.source, other));
    g.env.bundlePath = other;
    AppMover refused(g.env);
    QCOMPARE(g.run(refused), std::optional<bool>(false));
    QCOMPARE(g.terminations, 1);
    QVERIFY(refused.terminationRequested());
    QCOMPARE(g.runnerCalls(), 0);
    QVERIFY(QFile::exists(other));
}

void AppMoverTest::cancelShowsAlertAgain() {
    Fixture f;
    f.readOnly = {f.localApps};
    f.setModes("cancel\n");
    f.answers = {0, 1};
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QCOMPARE(f.alerts.size(), 2);
    QCOMPARE(f.runnerCalls(), 1);
    QVERIFY(QFile::exists(f.source));
    QVERIFY(QDir(f.localApps).isEmpty());
    QCOMPARE(f.terminations, 0);

    // Cancelled, asked again, moved.
    Fixture g;
    g.readOnly = {g.localApps};
    g.setModes("cancel\ncancel\nrun\n");
    AppMover again(g.env);
    QCOMPARE(g.run(again), std::optional<bool>(true));
    QCOMPARE(g.alerts.size(), 3);
    QCOMPARE(g.runnerCalls(), 3);
    QVERIFY(QFile::exists(g.localApps + QStringLiteral("/Ondari.AppImage")));
}

void AppMoverTest::privilegedFailures_data() {
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QString>("runner");
    QTest::addColumn<bool>("terminates");
    // Without anyone to ask for the password, start-up goes on.
    QTest::newRow("no agent") << QByteArray("noagent") << QString() << false;
    QTest::newRow("no pkexec") << QByteArray() << QStringLiteral("-") << false;
    QTest::newRow("pkexec missing") << QByteArray() << QStringLiteral("/nonexistent/pkexec") << false;
    // The user saw the dialog, or the copy itself failed: the program ends.
    QTest::newRow("not authorized") << QByteArray("denied") << QString() << true;
    QTest::newRow("script failed") << QByteArray("fail") << QString() << true;
}

void AppMoverTest::privilegedFailures() {
    QFETCH(QByteArray, mode);
    QFETCH(QString, runner);
    QFETCH(bool, terminates);
    Fixture f;
    f.readOnly = {f.localApps};
    f.setModes(mode + '\n');
    if (runner == QLatin1String("-")) {
        f.env.privilegedRunner.clear();
    } else if (!runner.isEmpty()) {
        f.env.privilegedRunner = runner;
    }
    AppMover mover(f.env);
    QCOMPARE(f.run(mover), std::optional<bool>(false));
    QCOMPARE(f.alerts.size(), 1);
    QCOMPARE(f.terminations, terminates ? 1 : 0);
    QCOMPARE(mover.terminationRequested(), terminates);
    QVERIFY(QFile::exists(f.source));
    QVERIFY(QDir(f.localApps).isEmpty());
}

void AppMoverTest::relaunchWaitsForOldProcess() {
    Fixture f;
    QProcess old;
    old.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(old.waitForStarted());
    f.env.processId = old.processId();
    const QString copy = f.localApps + QStringLiteral("/Ondari.AppImage");
    writeFile(copy, f.newCopyScript("relaunched"), true);
    const QByteArray path = QFile::encodeName(copy);
    const bool tagged =
        ::setxattr(path.constData(), "user.xdg.origin.url", "https://example.org/x", 21, 0) == 0 &&
        ::setxattr(path.constData(), "user.xdg.referrer.url", "https://example.org", 19, 0) == 0;

    // The loop's pauses go through a stand-in of sleep that notes each one: the interval is read
    // from there rather than timed, which a busy machine would stretch.
    const QString pauses = f.root + QStringLiteral("/pauses.log");
    QDir().mkpath(f.root + QStringLiteral("/bin"));
    writeFile(f.root + QStringLiteral("/bin/sleep"),
              "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(pauses) + "'\nexec '" +
                  QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("sleep"))) + "' \"$@\"\n",
              true);
    const QByteArray searchPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(f.root + QStringLiteral("/bin:")) + searchPath);
    bool completed = false;
    const bool started = AppMover(f.env).relaunch(copy, [&] { completed = true; });
    qputenv("PATH", searchPath);
    QVERIFY(started);
    QVERIFY(completed);
    if (tagged) {
        char value[64];
        QCOMPARE(::getxattr(path.constData(), "user.xdg.origin.url", value, sizeof(value)), ssize_t(-1));
        QCOMPARE(::getxattr(path.constData(), "user.xdg.referrer.url", value, sizeof(value)), ssize_t(-1));
    }

    // The loop has looked and paused at least once.
    QTRY_VERIFY_WITH_TIMEOUT(!readFile(pauses).isEmpty(), 30000);
    QVERIFY(!QFile::exists(f.marker));
    old.kill();
    QVERIFY(old.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.marker), 30000);
    // Polled every 0.1 s.
    const QList<QByteArray> pauseLines = readFile(pauses).trimmed().split('\n');
    QCOMPARE(QSet<QByteArray>(pauseLines.begin(), pauseLines.end()), QSet<QByteArray>{"0.1"});
    QTRY_COMPARE(readFile(f.marker), "relaunched " + path + " APPIMAGE=unset\n");
    if (!tagged) {
        QSKIP("this file system keeps no user attributes");
    }
}

void AppMoverTest::relaunchMovesAutostartEntry() {
    Fixture f;
    f.env.autostartDirectory = f.root + QStringLiteral("/autostart");
    const QString copy = f.localApps + QStringLiteral("/Ondari.AppImage");
    writeFile(copy, f.newCopyScript("x"), true);
    LoginItem old(f.env.autostartDirectory, f.env.appId, f.source);

    // No entry: none is made (the new copy registers itself at its start-up).
    QVERIFY(AppMover(f.env).relaunch(copy, {}));
    QVERIFY(!QFile::exists(old.entryPath()));

    QVERIFY(old.registerItem(nullptr));
    QVERIFY(AppMover(f.env).relaunch(copy, {}));
    QVERIFY(readFile(old.entryPath()).contains("Exec=" + LoginItem::quotedExec(copy).toUtf8() + '\n'));
    QVERIFY(LoginItem(f.env.autostartDirectory, f.env.appId, copy).isEnabled());

    // An entry the user switched off stays off.
    QVERIFY(old.unregisterItem(nullptr));
    QVERIFY(AppMover(f.env).relaunch(copy, {}));
    QVERIFY(readFile(old.entryPath()).contains("Exec=" + LoginItem::quotedExec(copy).toUtf8() + '\n'));
    QVERIFY(!LoginItem(f.env.autostartDirectory, f.env.appId, copy).isEnabled());
    QTRY_COMPARE(readFile(f.marker).count('\n'), 3);
}

ONDARI_TEST_MAIN(AppMoverTest)
#include "tst_appmover.moc"
