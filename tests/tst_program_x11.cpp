#include "Contrast.h"
#include "FakeSelectionOwner.h"
#include "FakeSongLinkServer.h"
#include "LoginItem.h"
#include "TestEnvironment.h"
#include "X11Windows.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRect>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtEndian>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace std::chrono_literals;

using X11Windows::connection;
using X11Windows::internAtom;
using X11Windows::screenRect;
using X11Windows::windowManagerRunning;

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

// The visible windows that xdotool finds, by id.
QMap<QString, QRect> visibleWindows(const QStringList& search) {
    QMap<QString, QRect> result;
    const QStringList ids =
        run(QStringLiteral("xdotool"),
            QStringList{QStringLiteral("search"), QStringLiteral("--onlyvisible")} + search)
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& id : ids) {
        if (const auto rect = screenRect(xcb_window_t(id.toULong()))) {
            result.insert(id, *rect);
        }
    }
    return result;
}

// The visible windows of the program.
QMap<QString, QRect> programWindows() {
    return visibleWindows({QStringLiteral("--classname"), QStringLiteral("ondari")});
}

QSet<QString> shownNow() {
    const QStringList ids = programWindows().keys();
    return {ids.begin(), ids.end()};
}

// A window of the program that fits, by id, other than those in `ignore` (a menu is the window
// that was not there before the click; the toast may be shown as well).
std::optional<std::pair<QString, QRect>> findWindow(const std::function<bool(const QRect&)>& fits,
                                                    const QSet<QString>& ignore = {}) {
    const QMap<QString, QRect> windows = programWindows();
    for (auto it = windows.cbegin(); it != windows.cend(); ++it) {
        if (!ignore.contains(it.key()) && fits(it.value())) {
            return std::make_pair(it.key(), it.value());
        }
    }
    return std::nullopt;
}

std::optional<QRect> windowWhere(const std::function<bool(const QRect&)>& fits,
                                 const QSet<QString>& ignore = {}) {
    const auto found = findWindow(fits, ignore);
    return found ? std::optional<QRect>(found->second) : std::nullopt;
}

// The panels' windows are their cards plus a shadow margin of 32 on every side.
const QSize onboardingWindow(660 + 64, 480 + 64);
const QSize tooltipWindow(300 + 64, 100 + 64);

bool isTrayIcon(const QRect& r) {
    return r.width() <= 48 && r.height() <= 48;
}
bool isOnboarding(const QRect& r) {
    return r.size() == onboardingWindow;
}
bool isTooltip(const QRect& r) {
    return r.size() == tooltipWindow;
}
bool isToast(const QRect& r) {
    return r.width() > 400 && r.height() < 200;
}
bool isMenu(const QRect& r) {
    return r.height() > 100 && r.width() > 100 && !isOnboarding(r) && !isTooltip(r);
}
// A message box: wider than the tray icon, smaller than the panel.
bool isDialog(const QRect& r) {
    return r.width() > 150 && r.width() < 600 && r.height() > 60 && r.height() < 400 && !isTooltip(r);
}
// A point on the onboarding's card, from the card's top-left corner.
QPoint onCard(const QRect& window, int x, int y) {
    return window.topLeft() + QPoint(32 + x, 32 + y);
}

void click(const QPoint& at, int button = 1) {
    run(QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
         QStringLiteral("click"), QString::number(button)});
}

void key(const QString& name) {
    run(QStringLiteral("xdotool"), {QStringLiteral("key"), name});
}

QImage grabScreen(const QRect& rect) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
        .toImage();
}

// Once the area shows one picture for a while (and, when given, one other than `before`).
bool settles(const QRect& area, const QImage& before = {}) {
    return X11Windows::steady([&] { return grabScreen(area); },
                              [&](const QImage& now) { return now != before; })
        .has_value();
}

// The place of a window that slides, once it has stopped.
std::optional<QRect> settledWindow(const std::function<bool(const QRect&)>& fits) {
    return X11Windows::steady([&] { return windowWhere(fits); },
                              [](const std::optional<QRect>& now) { return now.has_value(); })
        .value_or(std::nullopt);
}

// The XEmbed tray's manager window, the owner of the tray selection.
xcb_window_t trayManager() {
    xcb_connection_t* c = connection();
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        c, xcb_get_selection_owner(c, internAtom("_NET_SYSTEM_TRAY_S0")), nullptr);
    const xcb_window_t window = owner ? owner->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(owner);
    return window;
}

// Publishes the tray's foreground colour, as trays of some desktops do.
bool setTrayForeground(uint32_t red, uint32_t green, uint32_t blue) {
    const xcb_window_t manager = trayManager();
    if (manager == XCB_WINDOW_NONE) {
        return false;
    }
    const uint32_t colors[12] = {red, green, blue, 0xffff, 0, 0, 0xffff, 0xffff, 0, 0, 0xffff, 0};
    xcb_change_property(connection(), XCB_PROP_MODE_REPLACE, manager, internAtom("_NET_SYSTEM_TRAY_COLORS"),
                        XCB_ATOM_CARDINAL, 32, 12, colors);
    xcb_flush(connection());
    return true;
}

QString clipboardText() {
    return run(QStringLiteral("xclip"),
               {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
}

// Copies like a program that stays until another takes the clipboard over.
void copy(const QString& text) {
    run(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard")}, text.toUtf8());
}

// The clipboard comes to hold `expected` within `ms`.
bool clipboardBecomes(const QString& expected, int ms) {
    return QTest::qWaitFor([&] { return clipboardText() == expected; }, ms);
}

// The Apple Music link of the recorded answer.
QString convertedLink() {
    return QJsonDocument::fromJson(*FakeSongLinkServer::recordedBody(recording))
        .object()[QStringLiteral("linksByPlatform")][QStringLiteral("appleMusic")][QStringLiteral("url")]
        .toString();
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

// CRC-32 of PNG chunks, as any reader checks it.
quint32 pngCrc(const QByteArray& bytes) {
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

QByteArray bigEndian(quint32 value) {
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

// A small picture carrying 40 compressed text chunks of almost 8 MB each once inflated (just under
// what the PNG library inflates at most per chunk).
QByteArray pngTextBomb() {
    QImage picture(64, 64, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "png");
    const QByteArray png = buffer.data();
    constexpr qsizetype afterHeader = 8 + 25;
    const QByteArray text = QByteArray("Comment\0\0", 9) + qCompress(QByteArray(7800000, 'a'), 9).mid(4);
    const QByteArray chunk =
        bigEndian(quint32(text.size())) + "zTXt" + text + bigEndian(pngCrc("zTXt" + text));
    QByteArray bomb = png.left(afterHeader);
    for (int i = 0; i < 40; ++i) {
        bomb += chunk;
    }
    return bomb + png.mid(afterHeader);
}

// A large, flat progressive JPEG whose spectral scans repeat until there are `scans` of them:
// each scan costs the decoder a pass over every block, for a few bytes.
QByteArray jpegScanBomb(int scans) {
    QImage picture(4096, 4096, QImage::Format_RGB32);
    picture.fill(QColor(128, 128, 128));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(picture);
    const QByteArray jpeg = buffer.data();
    const auto at = [&](qsizetype i) { return quint8(jpeg.at(i)); };
    QByteArray bomb;
    QList<QByteArray> spectral; // each: the tables before an AC scan, the scan and its data
    int written = 0;
    qsizetype unitStart = 0;
    qsizetype i = 2;
    while (i + 4 <= jpeg.size() && at(i + 1) != 0xD9) {
        const quint8 marker = at(i + 1);
        const qsizetype header = i;
        i += 2 + ((at(i + 2) << 8) | at(i + 3));
        if (marker != 0xDA) {
            continue;
        }
        while (at(i) != 0xFF || at(i + 1) == 0x00 || (at(i + 1) >= 0xD0 && at(i + 1) <= 0xD7)) {
            ++i;
        }
        const int spectralStart = at(header + 5 + 2 * at(header + 4));
        if (spectralStart > 0 && written > 0) {
            spectral.append(jpeg.mid(unitStart, i - unitStart));
        } else {
            bomb += jpeg.mid(unitStart, i - unitStart);
            ++written;
        }
        unitStart = i;
    }
    for (qsizetype k = 0; written < scans; ++k, ++written) {
        bomb += spectral.at(k % spectral.size());
    }
    return bomb + "\xFF\xD9";
}

// The recorded answer with every entity's artwork at `cover`.
QByteArray answerWithCover(const QString& cover) {
    QJsonObject root = QJsonDocument::fromJson(*FakeSongLinkServer::recordedBody(recording)).object();
    QJsonObject entities = root[QStringLiteral("entitiesByUniqueId")].toObject();
    for (auto it = entities.begin(); it != entities.end(); ++it) {
        QJsonObject entity = it.value().toObject();
        entity[QStringLiteral("thumbnailUrl")] = cover;
        *it = entity;
    }
    root[QStringLiteral("entitiesByUniqueId")] = entities;
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

// The threads of Qt's thread pools in a process (covers are decoded on one of them).
QList<qint64> pooledThreads(qint64 pid) {
    QList<qint64> threads;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readAll(tasks + QLatin1Char('/') + task + QStringLiteral("/comm"))
                .startsWith("Thread (pooled)")) {
            threads.append(task.toLongLong());
        }
    }
    return threads;
}

// Nanoseconds a thread has run.
qint64 threadRunNs(qint64 pid, qint64 thread) {
    return readAll(QStringLiteral("/proc/%1/task/%2/schedstat").arg(pid).arg(thread))
        .split(' ')
        .first()
        .toLongLong();
}

// From /proc: the peak resident memory of a process in KiB, and the CPU time in ms its threads of
// Qt's thread pools (where covers are decoded) have used.
qint64 peakResidentKiB(qint64 pid) {
    const QByteArray status = readAll(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("VmHWM:");
    return at < 0 ? -1
                  : status.mid(at + 6, status.indexOf('\n', at) - at - 6)
                        .trimmed()
                        .split(' ')
                        .first()
                        .toLongLong();
}

qint64 pooledThreadsCpuMs(qint64 pid) {
    qint64 ns = 0;
    for (const qint64 thread : pooledThreads(pid)) {
        ns += threadRunNs(pid, thread);
    }
    return ns / 1000000;
}

// A 4096 x 4096 PNG within every bound that takes the decoder its time: its rows are exactly as
// long as the picture, Paeth-filtered, and compress only about eighteenfold, so each read of the
// decoder's input brings a little work and there are many of them.
QByteArray slowPng() {
    constexpr int width = 4096;
    constexpr int height = 4096;
    constexpr qsizetype row = 1 + 4 * width;
    QByteArray rows(height * row, '\0');
    QRandomGenerator random(7);
    for (qsizetype at = 0; at < rows.size(); at += 64) {
        rows[at] = char(random.bounded(256));
        rows[at + 1] = char(random.bounded(256));
    }
    for (qsizetype y = 0; y < height; ++y) {
        rows[y * row] = 4;
    }
    const auto chunk = [](const QByteArray& type, const QByteArray& data) {
        return bigEndian(quint32(data.size())) + type + data + bigEndian(pngCrc(type + data));
    };
    const QByteArray header = bigEndian(width) + bigEndian(height) + QByteArray("\x08\x06\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1A\n") + chunk("IHDR", header) + chunk("IDAT", qCompress(rows).mid(4)) +
           chunk("IEND", {});
}

// Whether a thread is running or waiting for a processor.
bool threadRunnable(qint64 pid, qint64 thread) {
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(thread));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "R";
}

// A user who has set up conversion and allowed the shortcut.
void prepareHome(const QString& home) {
    QDir().mkpath(home + QStringLiteral("/runtime"));
    writeFile(home + QStringLiteral("/.config/Ondari/Ondari.conf"),
              "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
              "hasMigratedServiceSettings=true\nshowURLPreview=false\nhasSeenMenuBarTooltip=true\n");
    writeFile(home + QStringLiteral("/.config/Ondari/key-observation-consent"), "allowed\n");
}

QProcessEnvironment environmentFor(const QString& home, const QString& apiBaseURL) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    // Each home its own one-copy lock (found by user id, under <root>/tmp here).
    QDir().mkpath(home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("ONDARI_INSTANCE_ROOT"), home);
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

// The built program as a user meets it, under a window manager and a tray host: a tray icon
// with a menu, converting a copied link; a new user's first run and every way out of it.
class ProgramTest : public QObject {
    Q_OBJECT

    QProcess windowManager;
    QProcess compositor;
    QProcess tray;
    QProcess program;
    FakeSongLinkServer server;
    QString home;

    // Starts the program with its home folder at `folder`, and `extra` in its environment.
    void start(const QString& folder, const QProcessEnvironment& extra = {}) {
        QProcessEnvironment env = environmentFor(folder, server.baseURL());
        env.insert(extra);
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
    }

    // Default mode, previews off, prompts that stay up for `toastTimeout` seconds.
    static void writeDefaultModeSettings(const QString& folder, int toastTimeout) {
        writeFile(folder + QStringLiteral("/.config/Ondari/Ondari.conf"),
                  "[General]\nconversionMode=default\ntargetService=appleMusic\nsourceService=spotify\n"
                  "hasMigratedServiceSettings=true\nshowURLPreview=false\nhasSeenMenuBarTooltip=true\n"
                  "toastTimeout=" +
                      QByteArray::number(toastTimeout) + "\n");
    }

    // Starts the program in a prepared new home; true once it watches the clipboard.
    [[nodiscard]] bool startWatching(const QString& name, QString& folder) {
        folder = TestEnvironment::newHome(name);
        prepareHome(folder);
        return startAndWatch(folder);
    }

    // Starts the program in a prepared home; true once it watches the clipboard (a sanitizer
    // build on a loaded machine takes seconds to get there).
    [[nodiscard]] bool startAndWatch(const QString& folder) {
        start(folder);
        return QTest::qWaitFor(
            [&] { return logCount(folder, QStringLiteral("Timer added to main run loop")) == 1; }, 30000);
    }

    static int logCount(const QString& folder, const QString& message) {
        return int(TestEnvironment::debugLogMessagesIn(folder).count(message));
    }

    // A tray of one colour in place of the one running.
    bool restartTray(const QColor& tint) {
        tray.kill();
        tray.waitForFinished();
        tray.start(QStringLiteral("trayer"),
                   {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                    QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--transparent"),
                    QStringLiteral("true"), QStringLiteral("--alpha"), QStringLiteral("0"),
                    QStringLiteral("--tint"), QStringLiteral("0x") + tint.name().mid(1)});
        if (!tray.waitForStarted()) {
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000 && trayManager() == XCB_WINDOW_NONE) { // a hang, not a slow start
            QTest::qWait(20);
        }
        return trayManager() != XCB_WINDOW_NONE;
    }

    // parcellite, as users run it; not running when it did not start keeping the clipboard.
    static void startClipboardManager(QProcess& manager, const QString& folder) {
        QProcessEnvironment managerEnv = QProcessEnvironment::systemEnvironment();
        managerEnv.insert(QStringLiteral("HOME"), folder + QStringLiteral("/manager"));
        managerEnv.insert(QStringLiteral("XDG_CONFIG_HOME"), folder + QStringLiteral("/manager/.config"));
        managerEnv.insert(QStringLiteral("XDG_DATA_HOME"), folder + QStringLiteral("/manager/.local/share"));
        manager.setProcessEnvironment(managerEnv);
        manager.start(QStringLiteral("parcellite"), {QStringLiteral("-n")}); // no tray icon
        QTest::qWait(1000);
        QProcess check; // copies and quits: the manager keeps its text
        check.start(QStringLiteral("xclip"),
                    {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-quiet")});
        check.write("manager check");
        check.closeWriteChannel();
        QTest::qWait(500);
        check.kill();
        check.waitForFinished();
        if (manager.state() != QProcess::Running ||
            !clipboardBecomes(QStringLiteral("manager check"), 3000)) {
            manager.kill();
            manager.waitForFinished();
        }
    }

    // Another program's copy that stays until it is killed.
    static std::unique_ptr<QProcess> keptCopy(const QString& text) {
        auto copier = std::make_unique<QProcess>();
        copier->start(QStringLiteral("xclip"),
                      {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-quiet")});
        copier->write(text.toUtf8());
        copier->closeWriteChannel();
        return copier;
    }

    static void end(QProcess& process) {
        process.kill();
        process.waitForFinished();
    }

    // The program ended by itself, normally.
    void verifyEnded() {
        QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 10000);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    // Opens the menu from the tray icon, clicks "Quit" (its last row) and waits for the end.
    void quitFromMenu(const QRect& icon) {
        const QSet<QString> shown = shownNow();
        click(icon.center());
        std::optional<QRect> menu;
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu, shown)).has_value(), 5000);
        click(QPoint(menu->center().x(), menu->bottom() - 12));
        verifyEnded();
    }

    // Starts the program converting automatically with the song preview on, the answer naming
    // `cover` as the artwork; returns once the program watches the clipboard.
    void startWithCover(const QString& folder, const QString& cover) {
        prepareHome(folder);
        writeFile(folder + QStringLiteral("/.config/Ondari/Ondari.conf"),
                  "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
                  "hasMigratedServiceSettings=true\nshowURLPreview=true\nhasSeenMenuBarTooltip=true\n");
        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::withStatus(200, answerWithCover(cover)));
        QVERIFY(startAndWatch(folder));
    }

    bool coverRequested(qsizetype after) const {
        const QList<FakeSongLinkServer::Request> requests = server.requests();
        for (qsizetype i = after; i < requests.size(); ++i) {
            if (requests.at(i).target == "/cover") {
                return true;
            }
        }
        return false;
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        for (const char* tool : {"openbox", "xcompmgr", "trayer", "xdotool", "xclip"}) {
            QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
        }
        // A real window manager: it stacks, frames and focuses windows as a desktop does.
        windowManager.start(QStringLiteral("openbox"), {});
        QVERIFY(windowManager.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(windowManagerRunning(), 10000);
        // With a compositor the panels fade, so a minimised panel is still shown for a moment.
        compositor.start(QStringLiteral("xcompmgr"), {});
        QVERIFY(compositor.waitForStarted());
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
        compositor.kill();
        compositor.waitForFinished();
        windowManager.kill();
        windowManager.waitForFinished();
    }

    void startsConvertsAndQuitsFromItsMenu() {
        // Set on many Wayland desktops: the program is an X11 client all the same.
        QProcessEnvironment wayland;
        wayland.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        start(home, wayland);
        QVERIFY(program.waitForStarted());

        // The icon shows in the tray.
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);

        // A click opens the menu; Escape closes it.
        QSet<QString> shown = shownNow();
        click(icon->center());
        std::optional<QRect> menu;
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu, shown)).has_value(), 5000);
        key(QStringLiteral("Escape"));
        QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isMenu, shown).has_value(), 5000);

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

        // The toast's shadow margin lies over the icon and lets the click through to it. "Quit",
        // the menu's last item, ends the program and everything it started.
        std::optional<QRect> toast;
        QTRY_VERIFY_WITH_TIMEOUT((toast = windowWhere(isToast)).has_value(), 5000);
        QVERIFY(toast->contains(icon->center()));
        quitFromMenu(*icon);
        QFile log(home + QStringLiteral("/ondari_debug.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("Automatic mode: enqueuing URL for auto-conversion to Apple Music"));
    }

    // Out of file descriptors for eventfd(), the key observation cannot start: it stays off and
    // says so once, and "Quit" still ends the program, with no recording thread to wait for.
    void quitsWhenKeyObservationCannotStart() {
        program.setProcessEnvironment(environmentFor(home, server.baseURL()));
        program.setProcessChannelMode(QProcess::SeparateChannels);
        program.start(QStringLiteral(WITHOUT_EVENTFD), {QStringLiteral(ONDARI_PROGRAM)});
        QVERIFY(program.waitForStarted());
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT(
            program.state() == QProcess::NotRunning || (icon = windowWhere(isTrayIcon)).has_value(), 10000);
        if (program.state() == QProcess::NotRunning && program.exitCode() == 77) {
            QSKIP("no seccomp filter can be installed here");
        }
        QVERIFY(icon);
        quitFromMenu(*icon);
        const QByteArray errors = program.readAllStandardError();
        QCOMPARE(errors.count("Key observation: cannot start"), 1);
        QVERIFY2(!errors.contains("Key observation: no X display"), errors.constData());
    }

    // The answer takes 1.5 s, as the service's often does. The link copied a second time while
    // it converts is converted all the same.
    void linkCopiedTwiceConverts() {
        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording).after(1500ms));
        QString folder;
        QVERIFY(startWatching(QStringLiteral("program-twice"), folder));
        const qsizetype requestsBefore = server.requests().size();
        copy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(
            logCount(folder,
                     QStringLiteral("Automatic mode: enqueuing URL for auto-conversion to Apple Music")) == 1,
            5000);
        copy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QCOMPARE(server.requests().size(), requestsBefore + 1);
    }

    // A clipboard manager keeps the link when the program that copied it quits:
    // the link is converted, and the manager taking our link over starts nothing new.
    void linkKeptByAClipboardManagerConverts() {
        if (QStandardPaths::findExecutable(QStringLiteral("parcellite")).isEmpty()) {
            QSKIP("parcellite is not installed");
        }
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-manager"));
        prepareHome(folder);
        QProcess manager;
        startClipboardManager(manager, folder);
        if (manager.state() != QProcess::Running) {
            QSKIP("the clipboard manager did not start");
        }

        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording).after(1500ms));
        QVERIFY(startAndWatch(folder));
        const qsizetype requestsBefore = server.requests().size();
        QProcess copier;
        copier.start(QStringLiteral("xclip"),
                     {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-quiet")});
        copier.write(spotifyLink.toUtf8());
        copier.closeWriteChannel();
        // The manager looks at the clipboard twice a second; it puts the link back once the
        // copier is gone, while the link converts.
        QTest::qWait(1000);
        copier.kill();
        copier.waitForFinished();
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 2500) {
            QCOMPARE(clipboardText(), convertedLink());
            QTest::qWait(100);
        }
        QCOMPARE(server.requests().size(), requestsBefore + 1);
        manager.kill();
        manager.waitForFinished();
    }

    // Ctrl+Return on a prompt converts its link although watching was switched off from the
    // menu and a newer link copied before: the user asked for it.
    void shortcutConvertsOverAnEarlierCopy() {
        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording).after(300ms));
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-shortcut"));
        prepareHome(folder);
        const QString config = folder + QStringLiteral("/.config/Ondari/Ondari.conf");
        writeDefaultModeSettings(folder, 60);
        start(folder);
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, QStringLiteral("Timer added to main run loop")) == 1,
                                 10000);
        copy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isToast).has_value(), 5000);

        // "Disable", the item above "Quit" at the menu's end.
        const QSet<QString> shown = shownNow();
        click(icon->center());
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isMenu, shown).has_value(), 5000);
        key(QStringLiteral("Up"));
        key(QStringLiteral("Up"));
        key(QStringLiteral("Return"));
        QTRY_VERIFY_WITH_TIMEOUT(readAll(config).contains("isEnabled=false"), 5000);

        copy(QStringLiteral("https://open.spotify.com/track/1gfzgfcrmkn2yTWuVGhCgh")); // a newer link
        QTest::qWait(1000); // a few ticks of the watcher, which is off
        QVERIFY(windowWhere(isToast).has_value());
        key(QStringLiteral("ctrl+Return"));
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QCOMPARE(logCount(folder,
                          QStringLiteral("Queue: Clipboard changed during conversion, result not written")),
                 0);
    }

    // Ctrl+Return while the link's owner answers slowly, then a newer copy: the confirmation's
    // look at the clipboard never takes the newer copy for its own, and the newer copy stays.
    void shortcutThenANewerCopyKeepsIt() {
        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording).after(1500ms));
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-shortcut-newer"));
        prepareHome(folder);
        writeDefaultModeSettings(folder, 60);
        QVERIFY(startAndWatch(folder));
        FakeSelectionOwner owner({{"UTF8_STRING", spotifyLink.toUtf8()}});
        QVERIFY(owner.start(true));
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isToast).has_value(), 5000);
        owner.hold("UTF8_STRING", spotifyLink.toUtf8()); // from now on it answers late

        const int asked = int(owner.requested().count("UTF8_STRING"));
        key(QStringLiteral("ctrl+Return"));
        QTRY_VERIFY_WITH_TIMEOUT(owner.requested().count("UTF8_STRING") > asked, 5000);
        QTest::qWait(150);
        const QString newer = QStringLiteral("copied after the shortcut");
        copy(newer);
        QTRY_VERIFY_WITH_TIMEOUT(
            logCount(folder,
                     QStringLiteral("Queue: Clipboard changed during conversion, result not written")) == 1,
            10000);
        QCOMPARE(clipboardText(), newer);
        owner.release();
    }

    // The link's program and a second owner of the same text (a clipboard manager keeping it
    // in step) both leave while the link converts: the result goes into the empty clipboard.
    void resultLandsInAClipboardLeftEmpty() {
        server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording).after(2500ms));
        QString folder;
        QVERIFY(startWatching(QStringLiteral("program-emptied"), folder));
        const std::unique_ptr<QProcess> first = keptCopy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(
            logCount(folder,
                     QStringLiteral("Automatic mode: enqueuing URL for auto-conversion to Apple Music")) == 1,
            5000);
        const std::unique_ptr<QProcess> second = keptCopy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(
            logCount(folder, QStringLiteral("Same URL as last processed, skipping")) == 1, 5000);
        end(*first);
        end(*second);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
    }

    // The link on the clipboard at the start is no copy, nor once its program quits and a
    // clipboard manager keeps it; copied again, it converts.
    // After a conversion the same link is copied again in a window that closes at once, too
    // busy closing to answer us; a clipboard manager takes the copy over within milliseconds.
    // That copy was never read, and our result stood between: it converts.
    void copyClosedAtOnceAfterAConversionConverts() {
        QProcess keeper;
        keeper.start(QStringLiteral(CLIPBOARD_KEEPER), {});
        QVERIFY(keeper.waitForReadyRead(5000));
        QCOMPARE(keeper.readLine(), QByteArray("ready\n"));
        auto atStart = std::make_unique<FakeSelectionOwner>(
            FakeSelectionOwner::Offers{{"UTF8_STRING", spotifyLink.toUtf8()}});
        QVERIFY(atStart->start(true));
        QString folder;
        QVERIFY(startWatching(QStringLiteral("program-keeper"), folder));
        const qsizetype requestsBefore = server.requests().size();
        // Its program quits once the keeper and our start have read it (and taken the answer in).
        QTRY_COMPARE_WITH_TIMEOUT(atStart->requested().count("UTF8_STRING"), 2, 5000);
        QTest::qWait(1000);
        atStart.reset();
        QByteArray told;
        QTRY_VERIFY2_WITH_TIMEOUT((told += keeper.readAll()).contains("kept "), told.constData(), 5000);
        QTest::qWait(1500);
        QCOMPARE(server.requests().size(), requestsBefore);
        QCOMPARE(logCount(folder, QStringLiteral("Found Spotify URL: ") + spotifyLink), 0);
        QCOMPARE(
            logCount(folder, QStringLiteral("Clipboard kept after its owner left, same content, skipping")),
            1);
        const std::unique_ptr<QProcess> first = keptCopy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));

        auto closing = std::make_unique<FakeSelectionOwner>(
            FakeSelectionOwner::Offers{{"UTF8_STRING", spotifyLink.toUtf8()}});
        closing->hold("TARGETS", QByteArray());
        QVERIFY(closing->start(true));
        const QByteArray read = "read " + spotifyLink.toUtf8() + '\n';
        const QByteArray kept = "kept " + spotifyLink.toUtf8() + '\n';
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += keeper.readAll()).contains(read), said.constData(), 5000);
        QTest::qWait(100);
        closing.reset();
        QTRY_VERIFY2_WITH_TIMEOUT((said += keeper.readAll()).contains(kept), said.constData(), 5000);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QCOMPARE(server.requests().size(), requestsBefore + 2);
        end(keeper);
    }

    // With nobody keeping copies, a link copied again a second after its program quit is a new
    // copy: its prompt comes again after the first one timed out.
    void linkCopiedAgainASecondAfterItsOwnerLeftIsHandled() {
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-again"));
        prepareHome(folder);
        writeDefaultModeSettings(folder, 1);
        QVERIFY(startAndWatch(folder));
        const QString prompted = QStringLiteral("Default mode: enqueuing URL for conversion to Apple Music");
        std::unique_ptr<QProcess> copier = keptCopy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, prompted) == 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, QStringLiteral("Queue: Queue empty, hiding toast")) == 1,
                                 5000);
        end(*copier);
        QTest::qWait(1000);
        copier = keptCopy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, prompted) == 2, 5000);
        end(*copier);
    }

    // A prompt that timed out does not come back when the link's program quits and a clipboard
    // manager keeps its copy; the same link copied again in that program still counts.
    void promptThatTimedOutStaysAwayWhenAManagerKeepsTheCopy() {
        if (QStandardPaths::findExecutable(QStringLiteral("parcellite")).isEmpty()) {
            QSKIP("parcellite is not installed");
        }
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-manager-prompt"));
        prepareHome(folder);
        writeDefaultModeSettings(folder, 1);
        QProcess manager;
        startClipboardManager(manager, folder);
        if (manager.state() != QProcess::Running) {
            QSKIP("the clipboard manager did not start");
        }
        QVERIFY(startAndWatch(folder));
        const QString prompted = QStringLiteral("Default mode: enqueuing URL for conversion to Apple Music");
        std::unique_ptr<QProcess> copier = keptCopy(spotifyLink);
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, prompted) == 1, 5000);
        const QString hidden = QStringLiteral("Queue: Queue empty, hiding toast");
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, hidden) == 1, 5000); // timed out

        end(*copier);
        QVERIFY(clipboardBecomes(spotifyLink, 5000)); // kept by the manager
        QTest::qWait(1500);
        QCOMPARE(logCount(folder, prompted), 1);
        QVERIFY(!windowWhere(isToast).has_value());

        copier = keptCopy(spotifyLink); // copied again
        QTRY_VERIFY_WITH_TIMEOUT(logCount(folder, prompted) == 2, 5000);
        end(*copier);
        end(manager);
    }

    // Closed to the tray, clicked there before setup, skipped, saved: the menu opens at every
    // click, and Quit ends the program while the music-service page is open.
    void newUserSkipsAndQuitsFromTheMenu() {
        const QString folder = TestEnvironment::newHome(QStringLiteral("new-user-skips"));
        start(folder);
        QVERIFY(program.waitForStarted());
        std::optional<QRect> icon;
        std::optional<QRect> panel;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT((panel = windowWhere(isOnboarding)).has_value(), 10000);

        // The close button minimises to the tray; a click there shows the onboarding, no menu.
        click(onCard(*panel, 24, 24));
        QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isOnboarding).has_value(), 5000);
        const QSet<QString> shown = shownNow();
        click(icon->center());
        QTRY_VERIFY_WITH_TIMEOUT((panel = windowWhere(isOnboarding)).has_value(), 5000);
        QVERIFY(!windowWhere(isMenu, shown).has_value());

        // The skip confirmation opens above the panel and takes the click on "Skip Anyway".
        QVERIFY(settles(*panel));
        const QImage permissionPage = grabScreen(*panel);
        click(onCard(*panel, 330, 444));
        std::optional<QRect> confirmation;
        QTRY_VERIFY_WITH_TIMEOUT((confirmation = windowWhere(isDialog)).has_value(), 5000);
        // "Skip Anyway" is the left one of the two buttons in the box's bottom-right corner.
        QVERIFY(settles(*confirmation));
        click(QPoint(confirmation->right() - 113, confirmation->bottom() - 24));
        QTRY_COMPARE_WITH_TIMEOUT(logCount(folder, QStringLiteral("Onboarding: skip() called")), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(
            logCount(folder, QStringLiteral("Onboarding: Transitioning to music selection")), 1, 5000);
        QVERIFY(settles(*panel, permissionPage)); // the page switch
        click(onCard(*panel, 330, 401));          // Save
        QTRY_COMPARE_WITH_TIMEOUT(logCount(folder, QStringLiteral("AppController setup complete")), 1, 5000);

        // "Got it" closes the first-run tooltip.
        std::optional<QRect> tooltip;
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isTooltip).has_value(), 5000);
        QVERIFY((tooltip = settledWindow(isTooltip)).has_value()); // where it stops sliding
        click(tooltip->topLeft() + QPoint(297, 86));
        QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isTooltip).has_value(), 5000);

        // The menu opens, mapped, for a left and for a right click.
        for (const int button : {1, 3}) {
            const QSet<QString> before = shownNow();
            click(icon->center(), button);
            QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isMenu, before).has_value(), 5000);
            key(QStringLiteral("Escape"));
            QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isMenu, before).has_value(), 5000);
        }

        // "Configure Music Services" (the first item), then "Quit" (the last) with that page open.
        QSet<QString> before = shownNow();
        click(icon->center());
        std::optional<QRect> menu;
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu, before)).has_value(), 5000);
        click(QPoint(menu->center().x(), menu->top() + 10));
        QTRY_VERIFY_WITH_TIMEOUT(windowWhere(isOnboarding).has_value(), 5000);
        before = shownNow();
        click(icon->center());
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu, before)).has_value(), 5000);
        click(QPoint(menu->center().x(), menu->bottom() - 12));
        verifyEnded();
    }

    // "Don't Allow" brings the Allow button back; Quit on the waiting page ends the program.
    void newUserDeclinesThenQuitsWhileWaiting() {
        const QString folder = TestEnvironment::newHome(QStringLiteral("new-user-declines"));
        start(folder);
        QVERIFY(program.waitForStarted());
        std::optional<QRect> panel;
        QTRY_VERIFY_WITH_TIMEOUT((panel = windowWhere(isOnboarding)).has_value(), 10000);
        const QStringList permissionWindow{QStringLiteral("--name"), QStringLiteral("Keyboard Shortcut")};
        QMap<QString, QRect> windows;
        click(onCard(*panel, 479, 306)); // "Allow the Ctrl+Return shortcut"
        QTRY_VERIFY_WITH_TIMEOUT(!(windows = visibleWindows(permissionWindow)).isEmpty(), 5000);
        // "Don't Allow" is the left one of the two buttons in the window's bottom-right corner.
        const QRect window = windows.first();
        QVERIFY(settles(window));
        click(QPoint(window.right() - 130, window.bottom() - 28));
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindows(permissionWindow).isEmpty(), 5000);
        QCOMPARE(logCount(folder, QStringLiteral("Onboarding: Permission window closed without a grant")), 1);

        // The Allow button is back and opens the window again.
        click(onCard(*panel, 479, 306));
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(permissionWindow).isEmpty(), 5000);
        QCOMPARE(logCount(folder, QStringLiteral("Onboarding: requestAccessibility() called")), 2);

        click(onCard(*panel, 636, 18)); // "Quit", top-right while waiting
        verifyEnded();
        QVERIFY(!QFile::exists(folder + QStringLiteral("/.config/Ondari/key-observation-consent")));
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

        start(user);
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
        QFile helper(QStringLiteral(STARTED_APPIMAGE));
        QVERIFY(helper.open(QIODevice::ReadOnly));
        QByteArray image = helper.readAll();
        image.replace(8, 3, QByteArray("AI\x02", 3)); // an AppImage's magic, which the kernel ignores
        writeFile(downloaded, image);
        QFile(downloaded).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const LoginItem entry = autostartEntry(user);
        if (withEntry) {
            writeFile(entry.entryPath(), entryStarting(downloaded, true));
        }

        QProcessEnvironment appImage;
        appImage.insert(QStringLiteral("APPIMAGE"), downloaded);
        appImage.insert(QStringLiteral("APPDIR"), QFileInfo(QStringLiteral(ONDARI_PROGRAM)).canonicalPath());
        start(user, appImage);
        QVERIFY(program.waitForStarted());

        // The alert's default button moves.
        std::optional<std::pair<QString, QRect>> alert;
        QTRY_VERIFY_WITH_TIMEOUT((alert = findWindow(isMenu)).has_value(), 10000);
        run(QStringLiteral("xdotool"),
            {QStringLiteral("windowfocus"), QStringLiteral("--sync"), alert->first});
        key(QStringLiteral("Return"));
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

    // On a dark and on a light tray the icon, also dimmed while conversion is off, stands out
    // from the tray at 3:1 or better; where the tray publishes its colours, it takes them.
    void trayIconReadsOnDarkAndLightTrays_data() {
        QTest::addColumn<QColor>("tint");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("dark") << QColor(0x202020) << true;
        QTest::newRow("dark, off") << QColor(0x202020) << false;
        QTest::newRow("light") << QColor(0xf0f0f0) << true;
        QTest::newRow("light, off") << QColor(0xf0f0f0) << false;
    }

    void trayIconReadsOnDarkAndLightTrays() {
        QFETCH(QColor, tint);
        QFETCH(bool, enabled);
        QVERIFY(restartTray(tint));
        const QString user =
            TestEnvironment::newHome(QStringLiteral("tray-") + QString::fromLatin1(QTest::currentDataTag()));
        prepareHome(user);
        if (!enabled) {
            QFile settings(user + QStringLiteral("/.config/Ondari/Ondari.conf"));
            QVERIFY(settings.open(QIODevice::Append));
            settings.write("isEnabled=false\n");
        }
        start(user);
        QVERIFY(program.waitForStarted());
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);
        // The glyph: the pixels that stand out from the tray at 3:1. The old black template
        // image has none on the dark tray (1.3:1).
        QImage shot;
        QTRY_VERIFY_WITH_TIMEOUT((shot = grabScreen(*icon), Contrast::legiblePixels(shot, tint) >= 20), 5000);
        shot.save(
            QCoreApplication::applicationDirPath() + QStringLiteral("/tray-icon-") +
            QString::fromLatin1(QTest::currentDataTag()).replace(QStringLiteral(", "), QStringLiteral("-")) +
            QStringLiteral(".png"));
        // The tray is the colour asked for (trayer's tint rounds by one).
        QVERIFY(std::abs(shot.pixelColor(0, 0).lightness() - tint.lightness()) <= 3);

        if (tint.lightness() < 128 && enabled) {
            // The tray now publishes an amber foreground: the glyph follows while running.
            QVERIFY(setTrayForeground(0xffff, 0xa000, 0x0000));
            const auto amber = [](const QImage& image) {
                int count = 0;
                for (int y = 0; y < image.height(); ++y) {
                    for (int x = 0; x < image.width(); ++x) {
                        const QColor c = image.pixelColor(x, y);
                        count += c.red() > 220 && c.green() > 130 && c.green() < 190 && c.blue() < 60;
                    }
                }
                return count;
            };
            QTRY_VERIFY_WITH_TIMEOUT(amber(grabScreen(*icon)) >= 20, 5000);
        }
    }

    // Covers built to cost: text chunks that inflate to 300 MB, thousands of progressive scans.
    // The link converts, the memory stays near its caps, decoding spends little, and Quit right
    // after such a cover arrived ends the program at once.
    void hostileCoversCostLittle_data() {
        QTest::addColumn<QByteArray>("cover");
        QTest::addColumn<bool>("quit");
        QTest::newRow("PNG text-chunk bomb") << pngTextBomb() << false;
        QTest::newRow("JPEG scan bomb") << jpegScanBomb(3000) << false;
        QTest::newRow("Quit after the scan bomb") << jpegScanBomb(3000) << true;
    }

    void hostileCoversCostLittle() {
        QFETCH(QByteArray, cover);
        QFETCH(bool, quit);
        server.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(200, cover));
        const auto restore = qScopeGuard([this] {
            server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording));
            server.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(404));
        });
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-covers"));
        startWithCover(folder, QStringLiteral("http://127.0.0.1:%1/cover").arg(server.port()));
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);
        const qint64 pid = program.processId();
        const qint64 peakBefore = peakResidentKiB(pid);
        const qsizetype requestsBefore = server.requests().size();
        copy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QTRY_VERIFY_WITH_TIMEOUT(coverRequested(requestsBefore), 5000);

        if (quit) {
            quitFromMenu(*icon);
            return;
        }
        // Long enough for a decode without bounds to have spent seconds.
        QTest::qWait(3000);
        const qint64 decodingMs = pooledThreadsCpuMs(pid);
        const qint64 peakKiB = peakResidentKiB(pid);
        qInfo("decoding %lld ms of CPU, peak %lld KiB (%lld before)", decodingMs, peakKiB, peakBefore);
        QVERIFY2(decodingMs < 1000, qPrintable(QString::number(decodingMs)));
        QVERIFY2(peakKiB - peakBefore < 200 * 1024, qPrintable(QString::number(peakKiB - peakBefore)));
        QCOMPARE(program.state(), QProcess::Running);
    }

    // Quit while a cover is really being decoded: a PNG that passes every check and takes the
    // decoder half a second. The test slows the decoding thread down (one processor beside a busy
    // loop, then the lowest priority), so Quit comes while the decode runs, and tells a decode
    // that stops from one that runs on by the thread's own run time after Quit.
    void quitDuringADecodeEndsAtOnce() {
        const QString secondLink = QStringLiteral("https://open.spotify.com/track/0d28khcov6AiegSCpG5TuT");
        QProcess busy;
        const auto restore = qScopeGuard([&] {
            busy.kill();
            busy.waitForFinished();
            program.kill();
            program.waitForFinished();
            server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording));
            server.setAnswer(secondLink, FakeSongLinkServer::Answer::withStatus(404));
            server.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(404));
        });
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-quit-decoding"));
        const QString cover = QStringLiteral("http://127.0.0.1:%1/cover").arg(server.port());
        startWithCover(folder, cover);
        server.setAnswer(secondLink, FakeSongLinkServer::Answer::withStatus(200, answerWithCover(cover)));
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);
        const qint64 pid = program.processId();

        // The slow cover decoded once at full speed shows which thread decodes, the one of Qt's
        // pooled threads that spends a tenth of a second and more on it, and what a decode costs.
        server.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(200, slowPng()));
        const auto ranNow = [pid] {
            QMap<qint64, qint64> ran;
            for (const qint64 thread : pooledThreads(pid)) {
                ran.insert(thread, threadRunNs(pid, thread));
            }
            return ran;
        };
        const QMap<qint64, qint64> idle = ranNow();
        const qsizetype requestsAtStart = server.requests().size();
        QElapsedTimer firstDecode;
        firstDecode.start();
        copy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QTRY_VERIFY_WITH_TIMEOUT(coverRequested(requestsAtStart), 10000);
        qint64 decoder = 0;
        const auto decoderFound = [&] {
            const QMap<qint64, qint64> ran = ranNow();
            for (auto it = ran.cbegin(); decoder == 0 && it != ran.cend(); ++it) {
                if (it.value() - idle.value(it.key()) > 100 * 1000 * 1000) {
                    decoder = it.key();
                }
            }
            return decoder != 0;
        };
        // Done once it has not run for half a second: one look at its state can catch a decode
        // waiting a moment (on a lock, a page), and a whole decode must be measured.
        qint64 lastRan = -1;
        QElapsedTimer still;
        const auto decodeDone = [&] {
            const qint64 ran = threadRunNs(pid, decoder);
            if (ran != lastRan || threadRunnable(pid, decoder)) {
                lastRan = ran;
                still.start();
                return false;
            }
            return still.elapsed() >= 500;
        };
        const auto pooledNow = [&] {
            QStringList threads;
            const QMap<qint64, qint64> ran = ranNow();
            for (auto it = ran.cbegin(); it != ran.cend(); ++it) {
                threads.append(
                    QStringLiteral("%1: %2 ms%3")
                        .arg(it.key())
                        .arg((it.value() - idle.value(it.key())) / 1000000)
                        .arg(threadRunnable(pid, it.key()) ? QStringLiteral(" runnable") : QString()));
            }
            return QStringLiteral("pooled threads after %1 ms: %2")
                .arg(firstDecode.elapsed())
                .arg(threads.join(QStringLiteral(", ")));
        };
        // A few tenths of a second of CPU; the long waits only allow for a machine under load.
        QTRY_VERIFY2_WITH_TIMEOUT(decoderFound(), qPrintable(pooledNow()), 60000);
        QTRY_VERIFY2_WITH_TIMEOUT(decodeDone(), qPrintable(pooledNow()), 60000);
        const qint64 wholeDecodeNs = threadRunNs(pid, decoder) - idle.value(decoder);
        qInfo("the first decode took %.3f s of CPU, done after %lld ms", double(wholeDecodeNs) / 1e9,
              firstDecode.elapsed());

        // Slowed: pinned to one processor beside a busy loop.
        cpu_set_t allowed;
        QVERIFY(sched_getaffinity(0, sizeof allowed, &allowed) == 0);
        int processor = CPU_SETSIZE - 1;
        while (processor > 0 && !CPU_ISSET(processor, &allowed)) {
            --processor;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(processor, &one);
        QVERIFY(sched_setaffinity(pid_t(decoder), sizeof one, &one) == 0);
        // A tenth of the processor or so: half a decode in seconds, even on a loaded machine, and
        // little run between two looks.
        QVERIFY(setpriority(PRIO_PROCESS, id_t(decoder), 10) == 0);
        busy.start(QStringLiteral("taskset"),
                   {QStringLiteral("-c"), QString::number(processor), QStringLiteral("sh"),
                    QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
        QVERIFY(busy.waitForStarted());
        const qint64 ranBefore = threadRunNs(pid, decoder);
        const auto decodedPart = [&] {
            return double(threadRunNs(pid, decoder) - ranBefore) / double(wholeDecodeNs);
        };

        // The same cover again, until a third or so of its decode is done: past the checks before
        // it, well before its reading ends (a third of the decode is the scaling after it). Then
        // slowed to a crawl (run only when nothing else would), at the lowest nice level for when
        // it runs again.
        const qsizetype requestsBefore = server.requests().size();
        copy(secondLink);
        QTRY_VERIFY_WITH_TIMEOUT(coverRequested(requestsBefore), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(decodedPart() >= 0.3, 30000);
        const sched_param lowest{};
        QVERIFY(sched_setscheduler(pid_t(decoder), SCHED_IDLE, &lowest) == 0);
        QVERIFY(setpriority(PRIO_PROCESS, id_t(decoder), 19) == 0);

        const QSet<QString> shown = shownNow();
        click(icon->center());
        std::optional<QRect> menu;
        QTRY_VERIFY_WITH_TIMEOUT((menu = windowWhere(isMenu, shown)).has_value(), 5000);
        const double atQuit = decodedPart();
        QVERIFY2(threadRunnable(pid, decoder) && atQuit < 0.38, qPrintable(QString::number(atQuit)));
        click(QPoint(menu->center().x(), menu->bottom() - 12));
        // Back to the lowest nice level: enough to reach its next read in a moment, far too
        // little to end the decode soon. Gone already, the thread has nothing to set.
        sched_setscheduler(pid_t(decoder), SCHED_OTHER, &lowest);
        // Stopped at its next read, the decode runs a hundredth of a decode more (a tenth in a
        // sanitizer build) before the program ends; run on, it would read to the end first, a
        // third of a decode and more. Counted in the thread's own run time, which a loaded machine
        // does not stretch the way it does the wall clock.
        constexpr double mostAfterQuit = 0.25;
        double ranAfterQuit = 0;
        const bool ended = QTest::qWaitFor(
            [&] {
                if (program.state() == QProcess::NotRunning) {
                    return true;
                }
                ranAfterQuit = std::max(ranAfterQuit, decodedPart() - atQuit); // 0 once it is gone
                return ranAfterQuit > mostAfterQuit;
            },
            60000);
        qInfo("the decoder ran %.3f of a decode after Quit at %.3f", ranAfterQuit, atQuit);
        QVERIFY2(ranAfterQuit <= mostAfterQuit, qPrintable(QString::number(ranAfterQuit)));
        QVERIFY(ended);
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    // Artwork over plain HTTP from another host is never asked for, even on this machine.
    void plainHttpCoverElsewhereIsNeverRequested() {
        OutsideListener outside;
        if (!outside.isListening()) {
            QSKIP("this machine has no address besides loopback");
        }
        const auto restore = qScopeGuard(
            [this] { server.setAnswer(spotifyLink, FakeSongLinkServer::Answer::recorded(recording)); });
        const QString folder = TestEnvironment::newHome(QStringLiteral("program-http-cover"));
        startWithCover(folder, outside.url(QStringLiteral("/cover")));
        copy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 10000));
        QTest::qWait(1000);
        QVERIFY(!outside.hasPendingConnections());
    }

    // Another X client takes the clipboard over and over for half a minute while the user opens
    // the menu and its submenus again and again: each submenu is a new window, set up over the
    // connection that the owner notices flood. The program is still running afterwards and
    // converts the next copy. Run by the storm test.
    void outlivesAnOwnerStorm() {
        const int stormSeconds = qEnvironmentVariableIntValue("ONDARI_OWNER_STORM_SECONDS");
        if (stormSeconds <= 0) {
            QSKIP("run by tst_program_x11_owner_storm (ONDARI_OWNER_STORM_SECONDS)");
        }
        QString folder;
        QVERIFY(startWatching(QStringLiteral("program-storm"), folder));
        std::optional<QRect> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = windowWhere(isTrayIcon)).has_value(), 10000);

        QProcess storm;
        storm.start(QStringLiteral(OWNER_STORM), {QStringLiteral("4000000000")}); // beyond the storm
        QVERIFY(storm.waitForStarted(5000));
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += storm.readAllStandardOutput()).startsWith("ready"), 5000);
        storm.write("go\n");
        QElapsedTimer clock;
        clock.start();
        int menus = 0;
        while (clock.elapsed() < stormSeconds * 1000 && program.state() == QProcess::Running) {
            const QSet<QString> shown = shownNow();
            click(icon->center());
            if (QTest::qWaitFor([&] { return windowWhere(isMenu, shown).has_value(); }, 3000)) {
                ++menus;
            }
            // "Mode", then "Toast Timeout", the second and third items.
            for (const char* name : {"Down", "Down", "Right", "Left", "Down", "Right", "Escape", "Escape"}) {
                key(QLatin1String(name));
                QTest::qWait(150);
            }
        }
        storm.kill();
        storm.waitForFinished();
        qInfo("the menu showed %d times during the storm", menus);
        QCOMPARE(program.state(), QProcess::Running);
        // No window's memory came as a descriptor over that connection: a storm can break the
        // connection at any one of them, on a quiet machine at the first.
        const QByteArray maps = readAll(QStringLiteral("/proc/%1/maps").arg(program.processId()));
        QVERIFY(!maps.isEmpty());
        QVERIFY(!maps.contains("/memfd:xorg"));

        copy(spotifyLink);
        QVERIFY(clipboardBecomes(convertedLink(), 60000));
        QCOMPARE(program.state(), QProcess::Running);
    }

    // The onboarding on a small screen: each picker's list opens on screen, clear of its picker
    // and the picker's label; Ctrl+Q then quits. Run by the small-screen test.
    void musicPageListsStayOnASmallScreen() {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        if (screen.height() > 800) {
            QSKIP("for a small screen (ONDARI_XVFB_SCREEN)");
        }
        QVERIFY(restartTray(QColor(0x202020)));
        const QString folder = TestEnvironment::newHome(QStringLiteral("small-screen"));
        start(folder);
        QVERIFY(program.waitForStarted());
        std::optional<QRect> panel;
        QTRY_VERIFY_WITH_TIMEOUT((panel = windowWhere(isOnboarding)).has_value(), 10000);
        QVERIFY(screen.contains(*panel));
        QVERIFY(settles(*panel));
        const QImage permissionPage = grabScreen(*panel);
        click(onCard(*panel, 330, 444)); // "Skip for now"
        std::optional<QRect> confirmation;
        QTRY_VERIFY_WITH_TIMEOUT((confirmation = windowWhere(isDialog)).has_value(), 5000);
        QVERIFY(settles(*confirmation));
        click(QPoint(confirmation->right() - 113, confirmation->bottom() - 24));
        QTRY_COMPARE_WITH_TIMEOUT(
            logCount(folder, QStringLiteral("Onboarding: Transitioning to music selection")), 1, 5000);
        QVERIFY(settles(*panel, permissionPage)); // the page switch

        // The pickers and their labels above them, on the card: source left, target right.
        for (const int left : {48, 371}) {
            const QRect picker(onCard(*panel, left, 203), onCard(*panel, left + 240, 278));
            const QSet<QString> before = shownNow();
            click(picker.center() + QPoint(0, 25));
            std::optional<QRect> list;
            QTRY_VERIFY_WITH_TIMEOUT((list = windowWhere(isMenu, before)).has_value(), 5000);
            QVERIFY2(screen.contains(*list), qPrintable(QStringLiteral("list at %1,%2 %3x%4")
                                                            .arg(list->x())
                                                            .arg(list->y())
                                                            .arg(list->width())
                                                            .arg(list->height())));
            QVERIFY(!list->intersects(picker));
            key(QStringLiteral("Escape"));
            QTRY_VERIFY_WITH_TIMEOUT(!windowWhere(isMenu, before).has_value(), 5000);
        }

        // Ctrl+Q quits from the onboarding, as a desktop program's Quit does.
        key(QStringLiteral("ctrl+q"));
        verifyEnded();
    }
};

ONDARI_TEST_MAIN(ProgramTest)
#include "tst_program_x11.moc"
