#include "FakeSongLinkServer.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
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

// The visible windows of the program, with their rectangles.
QList<QRect> programWindows() {
    QList<QRect> result;
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
            result.append(QRect(p.captured(1).toInt(), p.captured(2).toInt(), g.captured(1).toInt(),
                                g.captured(2).toInt()));
        }
    }
    return result;
}

std::optional<QRect> windowWhere(const std::function<bool(const QRect&)>& fits) {
    for (const QRect& rect : programWindows()) {
        if (fits(rect)) {
            return rect;
        }
    }
    return std::nullopt;
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
        QDir().mkpath(home + QStringLiteral("/.config/Ondari"));
        QDir().mkpath(home + QStringLiteral("/runtime"));
        QFile settings(home + QStringLiteral("/.config/Ondari/Ondari.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write(
            "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
            "hasMigratedServiceSettings=true\nshowURLPreview=false\n");
        settings.close();
        QFile consent(home + QStringLiteral("/.config/Ondari/key-observation-consent"));
        QVERIFY(consent.open(QIODevice::WriteOnly));
        consent.write("allowed\n");
    }

    void cleanupTestCase() {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished();
        }
        tray.kill();
        tray.waitForFinished();
    }

    void startsConvertsAndQuitsFromItsMenu() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
        env.insert(QStringLiteral("ONDARI_API_BASE_URL"), server.baseURL());
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        program.setProcessEnvironment(env);
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
};

ONDARI_TEST_MAIN(ProgramTest)
#include "tst_program_x11.moc"
