#include "Contrast.h"
#include "FakeSongLinkServer.h"
#include "TestEnvironment.h"
#include "X11Windows.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

using X11Windows::connection;
using X11Windows::internAtom;
using X11Windows::screenRect;
using X11Windows::windowManagerRunning;

namespace {

const QString defaultPanelLayout = QStringLiteral("/etc/xdg/xfce4/panel/default.xml");

QString run(const QString& program, const QStringList& arguments,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The program's first-run bubble: its window is the 300 x 100 card, with or without a margin
// for a shadow; returns the card's rectangle.
std::optional<QRect> tooltipCard() {
    const QStringList ids =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--classname"), QStringLiteral("ondari")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& id : ids) {
        const std::optional<QRect> rect = screenRect(xcb_window_t(id.toULong()));
        if (rect && rect->width() >= 300 && rect->width() <= 364 && rect->height() >= 100 &&
            rect->height() <= 164) {
            const int margin = (rect->width() - 300) / 2;
            return rect->adjusted(margin, margin, -margin, -margin);
        }
    }
    return std::nullopt;
}

// The card once it has stopped sliding in.
std::optional<QRect> settledCard() {
    return X11Windows::steady(tooltipCard, [](const std::optional<QRect>& now) { return now.has_value(); })
        .value_or(std::nullopt);
}

QImage grab(const QRect& rect) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

bool columnsEqual(const QImage& a, const QImage& b, int x) {
    for (int y = 0; y < a.height(); ++y) {
        if (a.pixel(x, y) != b.pixel(x, y)) {
            return false;
        }
    }
    return true;
}

QColor mostCommonColour(const QImage& image) {
    QMap<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    QRgb best = 0;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    }
    return QColor(best);
}

// The icon in a panel shot taken with the program running, against shots without it from
// before and after: in the columns that differ from both (a clock that ticked in between matches
// one of them), the pixels that are not the panel's, and of their connected shapes the rightmost
// of an icon's size (plugins left of the tray move over to make room: their shapes are larger
// or smaller). Empty where there is none.
QRect iconBounds(const QImage& with, const QImage& before, const QImage& after, const QColor& panel) {
    const int w = with.width();
    const int h = with.height();
    QList<bool> mark(qsizetype(w) * h, false);
    for (int x = 0; x < w; ++x) {
        if (columnsEqual(with, before, x) || columnsEqual(with, after, x)) {
            continue;
        }
        for (int y = 0; y < h; ++y) {
            mark[qsizetype(y) * w + x] = QColor(with.pixel(x, y)) != panel;
        }
    }
    QRect best;
    for (qsizetype start = 0; start < mark.size(); ++start) {
        if (!mark[start]) {
            continue;
        }
        QRect shape;
        QList<qsizetype> pending{start};
        mark[start] = false;
        while (!pending.isEmpty()) {
            const qsizetype at = pending.takeLast();
            const int x = int(at % w);
            const int y = int(at / w);
            shape |= QRect(x, y, 1, 1);
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx >= 0 && nx < w && ny >= 0 && ny < h && mark[qsizetype(ny) * w + nx]) {
                        mark[qsizetype(ny) * w + nx] = false;
                        pending.append(qsizetype(ny) * w + nx);
                    }
                }
            }
        }
        const auto fits = [&](int length) { return length >= 8 && length < h; };
        if (fits(shape.width()) && fits(shape.height()) &&
            (!best.isValid() || shape.right() > best.right())) {
            best = shape;
        }
    }
    return best;
}

// The glyph's pixels that stand out from the panel at `ratio` or better, and the best contrast.
std::pair<int, double> contrastWith(const QImage& icon, const QColor& panel, double ratio) {
    int count = 0;
    double best = 1.0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            const double r = Contrast::ratio(icon.pixelColor(x, y), panel);
            count += r >= ratio;
            best = std::max(best, r);
        }
    }
    return {count, best};
}

} // namespace

// The built program under XFCE's own panel in its default layout (xfconfd on a bus of the
// test's own): where the icon sits there, how it reads on the dark default panel and on a light
// one, where the first-run bubble stands; and on the same desktop before any panel runs.
class XfcePanelTest : public QObject {
    Q_OBJECT

    QProcess windowManager;
    QProcess bus;
    QProcess panel;
    QProcess program;
    FakeSongLinkServer server;
    QString busAddress;
    QString panelHome;
    QMap<QString, double> bestContrast; // of the glyph switched on, by panel

    QProcessEnvironment sessionEnvironment(const QString& home) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("XFCE"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    // A user who allowed the shortcut and has not seen the first-run bubble yet.
    void startProgram(const QString& name, bool enabled) {
        const QString home = TestEnvironment::newHome(name);
        QDir().mkpath(home + QStringLiteral("/.config/Ondari"));
        QFile settings(home + QStringLiteral("/.config/Ondari/Ondari.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write(
            "[General]\nconversionMode=automatic\ntargetService=appleMusic\nsourceService=spotify\n"
            "hasMigratedServiceSettings=true\nshowURLPreview=false\nhasSeenMenuBarTooltip=false\n");
        settings.write(enabled ? "isEnabled=true\n" : "isEnabled=false\n");
        settings.close();
        QFile consent(home + QStringLiteral("/.config/Ondari/key-observation-consent"));
        QVERIFY(consent.open(QIODevice::WriteOnly));
        consent.write("allowed\n");
        consent.close();
        QProcessEnvironment env = sessionEnvironment(home);
        env.insert(QStringLiteral("ONDARI_API_BASE_URL"), server.baseURL());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ONDARI_PROGRAM), {});
        QVERIFY(program.waitForStarted());
        m_programHome = home;
    }

    void stopProgram() {
        program.kill();
        program.waitForFinished();
    }

    QStringList programLog() const { return TestEnvironment::debugLogMessagesIn(m_programHome); }

    // A property of the StatusNotifier watcher on the test's bus (the panel's tray runs it).
    QVariant watcher(const char* property) const {
        const QString name = QStringLiteral("org.kde.StatusNotifierWatcher");
        QDBusInterface watcher(name, QStringLiteral("/StatusNotifierWatcher"), name,
                               QDBusConnection::connectToBus(busAddress, QStringLiteral("xfce-test")));
        return watcher.isValid() ? watcher.property(property) : QVariant();
    }
    bool hostRegistered() const { return watcher("IsStatusNotifierHostRegistered").toBool(); }
    qsizetype itemsRegistered() const {
        return watcher("RegisteredStatusNotifierItems").toStringList().size();
    }

    // The top panel's strip, once the panel runs.
    QRect panelStrip() const {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return QRect(0, 0, screen->geometry().width(), screen->availableGeometry().y());
    }

    // A solid colour ("r g b a", 0 to 1) for the top panel, or its default background.
    void setPanelBackground(const QString& rgba) {
        const QProcessEnvironment env = sessionEnvironment(panelHome);
        const QStringList property{QStringLiteral("-c"), QStringLiteral("xfce4-panel"), QStringLiteral("-p")};
        if (rgba.isEmpty()) {
            run(QStringLiteral("xfconf-query"),
                property +
                    QStringList{QStringLiteral("/panels/panel-1/background-style"), QStringLiteral("-r")},
                env);
            return;
        }
        QStringList types;
        QStringList values;
        for (const QString& component : rgba.split(QLatin1Char(' '))) {
            types << QStringLiteral("-t") << QStringLiteral("double");
            values << QStringLiteral("-s") << component;
        }
        run(QStringLiteral("xfconf-query"),
            property + QStringList{QStringLiteral("/panels/panel-1/background-rgba"), QStringLiteral("-n")} +
                types + values,
            env);
        run(QStringLiteral("xfconf-query"),
            property + QStringList{QStringLiteral("/panels/panel-1/background-style"), QStringLiteral("-n"),
                                   QStringLiteral("-t"), QStringLiteral("uint"), QStringLiteral("-s"),
                                   QStringLiteral("1")},
            env);
    }

    QString m_programHome;
    QString m_skipReason;

    // XFCE's panel with the layout a new user gets, on a session bus of its own; false (and
    // m_skipReason) where it cannot start here.
    bool startPanel() {
        if (panel.state() == QProcess::Running) {
            return true;
        }
        if (!m_skipReason.isEmpty()) {
            return false;
        }
        if (QStandardPaths::findExecutable(QStringLiteral("xfce4-panel")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xfconf-query")).isEmpty() ||
            !QFile::exists(defaultPanelLayout)) {
            m_skipReason =
                QStringLiteral("xfce4-panel and xfconf are not installed (scripts/install-deps.sh test)");
            return false;
        }
        // The default layout where the panel looks for the user's: no first-start dialog.
        const QString channels = panelHome + QStringLiteral("/.config/xfce4/xfconf/xfce-perchannel-xml");
        QDir().mkpath(channels);
        QFile::copy(defaultPanelLayout, channels + QStringLiteral("/xfce4-panel.xml"));
        panel.setProcessEnvironment(sessionEnvironment(panelHome));
        panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        panel.start(QStringLiteral("xfce4-panel"), {});
        panel.waitForStarted();
        const bool up = QTest::qWaitFor(
                            [&] {
                                return panel.state() != QProcess::Running ||
                                       (panelStrip().height() > 0 && hostRegistered());
                            },
                            30000) &&
                        panel.state() == QProcess::Running;
        if (!up) {
            m_skipReason = QStringLiteral("xfce4-panel did not come up with its tray on the test's bus");
        }
        return up;
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server");
        }
        for (const char* tool : {"openbox", "xdotool", "dbus-daemon"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/install-deps.sh test)")
                                     .arg(QLatin1String(tool))));
            }
        }
        // A window manager: the panel's reserved strip becomes the work area through it.
        windowManager.start(QStringLiteral("openbox"), {});
        QVERIFY(windowManager.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(windowManagerRunning(), 10000);
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 10000);
        busAddress = QString::fromUtf8(bus.readLine()).trimmed();
        panelHome = TestEnvironment::newHome(QStringLiteral("panel"));
    }

    void cleanup() {
        if (program.state() != QProcess::NotRunning) {
            stopProgram();
        }
    }

    void cleanupTestCase() {
        for (QProcess* process : {&panel, &bus, &windowManager}) {
            process->kill();
            process->waitForFinished();
        }
    }

    // Before any panel runs there is no tray: the bubble stands at the top centre without an
    // arrow and says how the menu is reached.
    void withoutATrayTheBubbleStandsTopCentre() {
        QVERIFY(panel.state() == QProcess::NotRunning);
        startProgram(QStringLiteral("no-tray"), true);
        std::optional<QRect> card;
        QTRY_VERIFY_WITH_TIMEOUT(tooltipCard().has_value(), 15000);
        QVERIFY(programLog().contains(QStringLiteral(
            "MenuBarTooltip: No system tray: shown at the top centre of the screen, saying how the menu is "
            "reached")));
        QVERIFY((card = settledCard()).has_value());
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY2(std::abs(card->center().x() - screen.center().x()) <= 1,
                 qPrintable(QString::number(card->x())));
        QVERIFY(card->top() >= screen.top() && card->top() <= screen.top() + 16);
        stopProgram();
    }

    // The icon on the default dark panel and on a light one: the glyph stands out at 3:1, and
    // switched off it is dimmer and still at 2:1. The first-run bubble stands under the panel
    // at the tray's end, over the icon, and points nowhere (the host tells no icon position).
    void iconReadsOnThePanel_data() {
        QTest::addColumn<QString>("background");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("default dark") << QString() << true;
        QTest::newRow("default dark, off") << QString() << false;
        QTest::newRow("light") << QStringLiteral("0.94 0.94 0.94 1") << true;
        QTest::newRow("light, off") << QStringLiteral("0.94 0.94 0.94 1") << false;
    }

    void iconReadsOnThePanel() {
        QFETCH(QString, background);
        QFETCH(bool, enabled);
        if (!startPanel()) {
            QSKIP(qPrintable(m_skipReason));
        }
        setPanelBackground(background);
        const QRect strip = panelStrip();
        QVERIFY(strip.height() >= 16);
        QColor panelColour;
        QTRY_VERIFY_WITH_TIMEOUT(
            (panelColour = mostCommonColour(grab(strip)),
             background.isEmpty() ? panelColour.lightness() < 100 : panelColour.lightness() > 200),
            10000);
        const QImage before = grab(strip);
        const QRect below(strip.left(), strip.bottom() + 1, strip.width(), 24);
        const QImage belowBefore = grab(below);

        startProgram(QStringLiteral("xfce-") + QString::fromLatin1(QTest::currentDataTag())
                                                   .replace(QStringLiteral(", "), QStringLiteral("-")),
                     enabled);
        // Hosted as a StatusNotifier item, as the default layout's tray does it.
        QTRY_COMPARE_WITH_TIMEOUT(itemsRegistered(), qsizetype(1), 15000);
        std::optional<QRect> card;
        QTRY_VERIFY_WITH_TIMEOUT(tooltipCard().has_value(), 15000);
        QVERIFY((card = settledCard()).has_value());
        const QImage belowWith = grab(below);
        // The panel once it has settled with the icon in it.
        const std::optional<QImage> settledWith =
            X11Windows::steady([&] { return grab(strip); }, [&](const QImage& now) { return now != before; });
        QVERIFY(settledWith);
        const QImage& with = *settledWith;
        stopProgram();
        QTRY_COMPARE_WITH_TIMEOUT(itemsRegistered(), qsizetype(0), 10000);
        QImage after;
        QTRY_VERIFY_WITH_TIMEOUT(
            (after = grab(strip), iconBounds(with, before, after, panelColour).isValid()), 10000);

        const QRect icon = iconBounds(with, before, after, panelColour);
        QString tag = QString::fromLatin1(QTest::currentDataTag());
        tag.replace(QStringLiteral(", "), QStringLiteral("-")).replace(QLatin1Char(' '), QLatin1Char('-'));
        with.save(QCoreApplication::applicationDirPath() + QStringLiteral("/xfce-panel-") + tag +
                  QStringLiteral(".png"));
        const auto [legible, best] = contrastWith(with.copy(icon), panelColour, enabled ? 3.0 : 2.0);
        qInfo("panel %s, glyph %dx%d at x %d, its best contrast %.2f:1, %d pixels at %.0f:1 or better",
              qPrintable(panelColour.name()), icon.width(), icon.height(), icon.x(), best, legible,
              enabled ? 3.0 : 2.0);
        QVERIFY2(legible >= 20, qPrintable(QString::number(legible)));
        const QString panelKey = background.isEmpty() ? QStringLiteral("dark") : QStringLiteral("light");
        if (enabled) {
            bestContrast.insert(panelKey, best);
        } else if (bestContrast.contains(panelKey)) {
            QVERIFY2(best < bestContrast.value(panelKey) * 0.8, qPrintable(QString::number(best)));
        }

        // The bubble: just under the panel, at its tray end, over the icon, with nothing above
        // its card where an arrow would point at something.
        const QRect iconOnScreen = icon.translated(strip.topLeft());
        QVERIFY2(card->top() >= strip.bottom() && card->top() <= strip.bottom() + 16,
                 qPrintable(QString::number(card->top())));
        QVERIFY(card->right() >= strip.right() - 16);
        QVERIFY2(card->left() <= iconOnScreen.center().x() && iconOnScreen.center().x() <= card->right(),
                 qPrintable(QString::number(iconOnScreen.center().x())));
        const int arrowRoom = card->top() - below.top();
        for (int y = arrowRoom; y < arrowRoom + 8; ++y) {
            for (int x = card->left() + 12; x < card->right() - 12; ++x) {
                QVERIFY2(belowWith.pixel(x, y) == belowBefore.pixel(x, y),
                         "the bubble reaches towards the panel");
            }
        }
        QVERIFY(programLog().contains(QStringLiteral(
            "MenuBarTooltip: The tray tells no icon position: shown at the tray's end of the panel, "
            "without an arrow")));
    }
};

int main(int argc, char* argv[]) {
    TestEnvironment::prepare();
    QGuiApplication app(argc, argv);
    XfcePanelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_program_xfce.moc"
