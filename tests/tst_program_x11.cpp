#include "FakeSongLinkServer.h"
#include "LoginItem.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {
const QString spotifyLink = QStringLiteral("https://open.spotify.com/track/0SZemtszoaQHL3aUuMS6WF");
const QString recording = QStringLiteral("spotify-bum-bum-eis-de.json");

// Runs a short helper command and returns its standard output.
QString run(const QString& program, const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    process.start(program, arguments);
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

struct Window {
    QString id;
    QRect rect;
};

// The visible windows of the program, with their rectangles.
QList<Window> programWindows() {
    QList<Window> result;
    const QStringList ids =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--classname"), QStringLiteral("ondari")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    static const QRegularExpression position(QStringLiteral("Position: (\\d+),(\\d+)"));
    static const QRegularExpression geometry(QStringLiteral("Geometry: (\\d+)x(\\d+)"));
    for (const QString& id : ids) {
        const QString text = run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), id});
        const auto p = position.match(text);
        const auto g = geometry.match(text);
        if (p.hasMatch() && g.hasMatch()) {
            result.append({id, QRect(p.captured(1).toInt(), p.captured(2).toInt(), g.captured(1).toInt(),
                                     g.captured(2).toInt())});
        }
    }
    return result;
}

std::optional<Window> programWindowWhere(const std::function<bool(const QRect&)>& fits) {
    for (const Window& window : programWindows()) {
        if (fits(window.rect)) {
            return window;
        }
    }
    return std::nullopt;
}

std::optional<QRect> windowWhere(const std::function<bool(const QRect&)>& fits) {
    const std::optional<Window> window = programWindowWhere(fits);
    return window ? std::optional<QRect>(window->rect) : std::nullopt;
}

bool isTrayIcon(const QRect& r) {
    return r.width() <= 48 && r.height() <= 48;
}
bool isMenu(const QRect& r) {
    return r.height() > 100 && r.width() > 100;
}

void click(const QPoint& at) {
    run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(at.x()),
                                    QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

// A user who has set up conversion and allowed the shortcut.
void prepareHome(const QString& home) {
    QDir().mkpath(home + QStringLiteral("/runtime"));
    writeFile(home + QStringLiteral("/.config/Ondari/Ondari.conf"),
              "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
              "hasMigratedServiceSettings=true\nshowURLPreview=false\n");
    writeFile(home + QStringLiteral("/.config/Ondari/key-observation-consent"), "allowed\n");
}

QProcessEnvironment environmentFor(const QString& home, const QString& apiBaseURL) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("ONDARI_API_BASE_URL"), apiBaseURL);
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

LoginItem autostartEntry(const QString& home) {
    return LoginItem(home + QStringLiteral("/.config/autostart"), QStringLiteral(ONDARI_APP_ID), QString());
}

QByteArray entryStarting(const QString& program, bool hidden) {
    return "[Desktop Entry]\nType=Application\nName=Ondari\nExec=" + LoginItem::quotedExec(program).toUtf8() +
           (hidden ? "\nHidden=true\n" : "\nHidden=false\n");
}
} // namespace

// The built program as a user meets it: a tray icon with a menu, converting a copied link.
class ProgramTest : public QObject {
    Q_OBJECT

    QProcess tray;
    QProcess program;
    FakeSongLinkServer server;
    QString home;

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        for (const char* tool : {"trayer", "xdotool", "xclip"}) {
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
        }
        tray.start(QStringLiteral("trayer"),
                   {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                    QStringLiteral("--height"), QStringLiteral("24")});
        QVERIFY(tray.waitForStarted());
        QTest::qWait(300);

        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording));
        home = TestEnvironment::root() + QStringLiteral("/program-home");
        prepareHome(home);
    }

    // A failed test leaves no program behind for the next one.
    void cleanup() {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
    }

    void cleanupTestCase() {
        tray.kill();
        tray.waitForFinished();
    }

    void startsConvertsAndQuitsFromItsMenu() {
        program.setProcessEnvironment(environmentFor(home, server.baseURL()));
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        QVERIFY(program.waitForStarted());

        // The icon shows in the tray.
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);

        // A click opens the menu; Escape closes it.
        click(icon->center());
        std::optional<QRect> menu;
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu)).has_value(), 5000);
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});
        QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isMenu).has_value(), 5000);

        // A link copied by another program comes back converted.
        const QString expected = QJsonDocument::fromJson(*FakeSongLinkServer::recordedBody(recording))
                                     .object()[QStringLiteral("linksByPlatform")]
                                              [QStringLiteral("appleMusic")][QStringLiteral("url")]
                                     .toString();
        QProcess copier;
        copier.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard")});
        copier.write(spotifyLink.toUtf8());
        copier.closeWriteChannel();
        QVERIFY(copier.waitForFinished(5000));
        QElapsedTimer clock;
        clock.start();
        QString pasted;
        while (clock.elapsed() < 10000) {
            pasted = run(QStringLiteral("xclip"),
                         {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
            if (pasted == expected) {
                break;
            }
            QTest::qWait(50);
        }
        QCOMPARE(pasted, expected);
        QCOMPARE(server.requests().size(), 1);

        // "Quit", the menu's last item, ends the program and everything it started.
        click(icon->center());
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu)).has_value(), 5000);
        click(QPoint(menu->center().x(), menu->bottom() - 12));
        QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 5000);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QFile log(home + QStringLiteral("/ondari_debug.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("Automatic mode: enqueuing URL for auto-conversion to Apple Music"));
    }

    // An entry written by a copy that has since moved starts this one, on or off as it was.
    void autostartEntryFollowsTheRunningCopy_data() {
        QTest::addColumn<bool>("hidden");
        QTest::newRow("on") << false;
        QTest::newRow("off") << true;
    }

    void autostartEntryFollowsTheRunningCopy() {
        QFETCH(bool, hidden);
        const QString user = TestEnvironment::root() + QStringLiteral("/follow-") + QTest::currentDataTag();
        prepareHome(user);
        const LoginItem entry = autostartEntry(user);
        writeFile(entry.entryPath(), entryStarting(QStringLiteral("/old place/Ondari.AppImage"), hidden));

        program.setProcessEnvironment(environmentFor(user, server.baseURL()));
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        QVERIFY(program.waitForStarted());
        const QString self = QFileInfo(QStringLiteral(ONDARI_PROGRAM)).canonicalFilePath();
        QTRY_COMPARE_WITH_TIMEOUT(entry.entryProgram(), std::optional<QString>(self), 10000);
        QCOMPARE(entry.isEnabled(), !hidden);
        // Start-up has finished once the icon shows: the entry is still as it was made.
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isTrayIcon).has_value(), 10000);
        QCOMPARE(entry.entryProgram(), std::optional<QString>(self));
        QCOMPARE(entry.isEnabled(), !hidden);
    }

    // The first-run move: the old process hands the autostart entry to the new copy.
    void moveLeavesTheAutostartEntryToTheNewCopy_data() {
        QTest::addColumn<bool>("withEntry");
        QTest::newRow("no entry") << false;
        QTest::newRow("entry switched off") << true;
    }

    void moveLeavesTheAutostartEntryToTheNewCopy() {
        QFETCH(bool, withEntry);
        const QString user = TestEnvironment::root() + QStringLiteral("/move-") + QTest::currentDataTag();
        prepareHome(user);
        QVERIFY(QDir().mkpath(user + QStringLiteral("/Applications")));
        // The AppImage this process counts as running from; moved, it notes that it was started.
        const QString downloaded = user + QStringLiteral("/Downloads/Ondari.AppImage");
        const QString installed = user + QStringLiteral("/Applications/Ondari.AppImage");
        const QString marker = user + QStringLiteral("/started");
        writeFile(downloaded, "#!/bin/sh\necho \"$0\" >> '" + QFile::encodeName(marker) + "'\n");
        QFile(downloaded).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const LoginItem entry = autostartEntry(user);
        if (withEntry) {
            writeFile(entry.entryPath(), entryStarting(downloaded, true));
        }

        QProcessEnvironment env = environmentFor(user, server.baseURL());
        env.insert(QStringLiteral("APPIMAGE"), downloaded);
        env.insert(QStringLiteral("APPDIR"), QFileInfo(QStringLiteral(ONDARI_PROGRAM)).canonicalPath());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        QVERIFY(program.waitForStarted());

        // The alert's default button moves.
        std::optional<Window> alert;
        QTRY_VERIFY_WITH_TIMEOUT((alert = programWindowWhere(isMenu)).has_value(), 10000);
        run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), alert->id});
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")});
        QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 10000);
        QCOMPARE(program.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readAll(marker)), installed + QLatin1Char('\n'), 5000);
        QVERIFY(!QFile::exists(downloaded));

        if (withEntry) {
            QCOMPARE(entry.entryProgram(), std::optional<QString>(installed));
            QVERIFY(!entry.isEnabled());
        } else {
            QVERIFY2(!QFile::exists(entry.entryPath()), readAll(entry.entryPath()).constData());
        }
    }
};

ONDARI_TEST_MAIN(ProgramTest)
#include "tst_program_x11.moc"
