#include "AskModeDropdownButton.h"
#include "Panel.h"
#include "PopoverList.h"
#include "PromptStateView.h"
#include "SystemColors.h"
#include "ToastTestSupport.h"
#include "ToastView.h"
#include "ToastWindow.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#undef Bool
#undef None
#undef Status

#include <cstdlib>
#include <cstring>

using namespace std::chrono_literals;

namespace {

xcb_connection_t* connection() {
    return qApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection(), xcb_intern_atom(connection(), 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

QList<uint32_t> windowProperty(xcb_window_t window, const char* name, xcb_atom_t type) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection(), xcb_get_property(connection(), 0, window, atom(name), type, 0, 64), nullptr);
    QList<uint32_t> values;
    if (reply && reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i) {
            values.append(data[i]);
        }
    }
    std::free(reply);
    return values;
}

xcb_window_t inputFocus() {
    xcb_get_input_focus_reply_t* reply =
        xcb_get_input_focus_reply(connection(), xcb_get_input_focus(connection()), nullptr);
    const xcb_window_t focus = reply ? reply->focus : xcb_window_t(XCB_WINDOW_NONE);
    std::free(reply);
    return focus;
}

// The part of the window that takes clicks, in its own coordinates.
QRegion inputRegion(xcb_window_t window) {
    Display* display = qApp->nativeInterface<QNativeInterface::QX11Application>()->display();
    int count = 0;
    int ordering = 0;
    XRectangle* rects = XShapeGetRectangles(display, window, ShapeInput, &count, &ordering);
    QRegion region;
    for (int i = 0; i < count; ++i) {
        region += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    }
    XFree(rects);
    return region;
}

// Viewable, unmapped, or gone.
enum class MapState { viewable, unmapped, destroyed };

MapState mapState(xcb_window_t window) {
    xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(
        connection(), xcb_get_window_attributes(connection(), window), nullptr);
    if (!reply) {
        return MapState::destroyed;
    }
    const MapState state =
        reply->map_state == XCB_MAP_STATE_VIEWABLE ? MapState::viewable : MapState::unmapped;
    std::free(reply);
    return state;
}

// The window's top-left corner on the screen, as the X server has it.
QPoint serverPosition(xcb_window_t window) {
    xcb_translate_coordinates_reply_t* reply = xcb_translate_coordinates_reply(
        connection(),
        xcb_translate_coordinates(connection(), window,
                                  xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root, 0, 0),
        nullptr);
    const QPoint position = reply ? QPoint(reply->dst_x, reply->dst_y) : QPoint();
    std::free(reply);
    return position;
}

QColor screenPixel(const QPoint& at) {
    return QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage().pixelColor(0, 0);
}

// Equal within what a screen grab rounds.
bool sameColor(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 &&
           std::abs(a.blue() - b.blue()) <= 2;
}

} // namespace

// The toast on a real X server with a compositor: it slides in and out without taking the
// focus from the window the user types in.
class ToastX11Test : public QObject {
    Q_OBJECT

    QProcess compositor;
    std::unique_ptr<QWidget> editorWindow;
    QLineEdit* editor = nullptr;

    xcb_window_t editorId() const { return xcb_window_t(editorWindow->winId()); }

    bool waitForCompositor(bool running) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) { // a compositor that never comes, not a slow one
            if (Panel::compositorRunning() == running) {
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server (run under Xvfb with DISPLAY set)");
        }
        const QString xcompmgr = QStandardPaths::findExecutable(QStringLiteral("xcompmgr"));
        if (xcompmgr.isEmpty()) {
            QSKIP("xcompmgr is not installed: the toast's real-window test needs a compositor");
        }
        QVERIFY2(waitForCompositor(false), "another compositor already runs on this display");
        compositor.start(xcompmgr, {});
        QVERIFY(compositor.waitForStarted());
        QVERIFY2(waitForCompositor(true), "xcompmgr did not take the compositing selection");

        // The window the user is typing in.
        editorWindow = std::make_unique<QWidget>();
        editorWindow->setWindowTitle(QStringLiteral("Editor"));
        editor = new QLineEdit(editorWindow.get());
        editorWindow->setGeometry(100, 300, 400, 120);
        editorWindow->show();
        editorWindow->activateWindow();
        editor->setFocus();
        QTRY_COMPARE(QGuiApplication::focusWindow(), editorWindow->windowHandle());
        QTRY_COMPARE(inputFocus(), editorId());
    }

    void cleanupTestCase() {
        editorWindow.reset();
        if (compositor.state() != QProcess::NotRunning) {
            compositor.terminate();
            if (!compositor.waitForFinished(2000)) {
                compositor.kill();
                compositor.waitForFinished(2000);
            }
        }
    }

    void slidesInAndOutWithoutTakingFocus() {
        ToastRig rig(QStringLiteral("x11"), true);
        ToastWindowController controller(*rig.queue, *rig.settings, *rig.accessibility, *rig.colorScheme,
                                         rig.network.get());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        controller.setAvailableAreaProvider([area] { return std::optional<QRect>(area); });
        const QPoint rest = ToastWindowController::restingOrigin(area, QSize(436, 167));
        const QPoint margin(Panel::shadowMargin, Panel::shadowMargin);

        rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(controller.panel());
        QPointer<Panel> panel = controller.panel();
        QVERIFY(panel->isCompositing());
        const auto window = xcb_window_t(panel->winId());

        // Marked before it was mapped: on every desktop, out of the task bar, never given input.
        QCOMPARE(windowProperty(window, "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL), QList<uint32_t>{0xFFFFFFFF});
        const QList<uint32_t> states = windowProperty(window, "_NET_WM_STATE", XCB_ATOM_ATOM);
        for (const char* state : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
                                  "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"}) {
            QVERIFY2(states.contains(atom(state)), state);
        }
        const QList<uint32_t> hints = windowProperty(window, "WM_HINTS", XCB_ATOM_WM_HINTS);
        QVERIFY(hints.size() >= 2);
        QVERIFY(hints[0] & 1);  // the input field is set...
        QCOMPARE(hints[1], 0u); // ...to "no input"

        // Clicks on the shadow around the frame go through to what lies below.
        QCOMPARE(inputRegion(window), QRegion(QRect(margin, QSize(436, 167))));

        // Sliding in: downwards, fading up, the editor keeping the focus throughout.
        QTRY_COMPARE(mapState(window), MapState::viewable);
        QList<int> ys;
        QElapsedTimer clock;
        clock.start();
        bool partlyFaded = false;
        while (clock.elapsed() < 600) {
            ys.append(serverPosition(window).y());
            const QList<uint32_t> alpha = windowProperty(window, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL);
            partlyFaded =
                partlyFaded || (!alpha.isEmpty() && alpha.first() > 0 && alpha.first() < 0xFFFFFFFF);
            QCOMPARE(inputFocus(), editorId());
            QTest::qWait(15);
        }
        QVERIFY2(ys.first() < ys.last(), "the panel did not move down");
        QVERIFY(std::is_sorted(ys.begin(), ys.end()));
        // The server saw the fade while it ran, not only its end.
        QVERIFY(partlyFaded);
        QCOMPARE(serverPosition(window), rest - margin);
        QCOMPARE(QGuiApplication::focusWindow(), editorWindow->windowHandle());
        QVERIFY(!panel->isActiveWindow());
        const QList<uint32_t> opacity = windowProperty(window, "_NET_WM_WINDOW_OPACITY", XCB_ATOM_CARDINAL);
        QVERIFY(opacity.isEmpty() || opacity.first() == 0xFFFFFFFF);

        // For a person to look at: the composited screen around the toast.
        const QRect around = panel->geometry().adjusted(-20, -20, 20, 20);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, around.x(), around.y(), around.width(), around.height())
            .save(QCoreApplication::applicationDirPath() + QStringLiteral("/toast-renders-x11.png"));
        // This compositor blurs nothing: the card is opaque, not a veil over what lies behind.
        QVERIFY(sameColor(screenPixel(rest + QPoint(16 + 200, 16 + 6)), Qt::white));

        // Typing still reaches the editor while the toast is up.
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("abc")});
        if (xdotool.waitForStarted(2000)) {
            xdotool.waitForFinished(5000);
            QTRY_COMPARE(editor->text(), QStringLiteral("abc"));
        }

        // Out: upwards, then the window is gone.
        rig.queue->dismiss();
        ys.clear();
        clock.restart();
        while (mapState(window) == MapState::viewable && clock.elapsed() < 2000) {
            ys.append(serverPosition(window).y());
            QTest::qWait(15);
        }
        QVERIFY(ys.size() > 3);
        QVERIFY2(ys.last() < ys.first(), "the panel did not move up");
        QTRY_VERIFY(!controller.panel());
        QTRY_VERIFY(!panel);
        QTRY_COMPARE(mapState(window), MapState::destroyed);
        QCOMPARE(inputFocus(), editorId());
    }

    // The ask-mode list opens and closes by real clicks while the user's window keeps the
    // keyboard: what they type goes on reaching it.
    void askModeListLeavesTheKeyboard() {
        ToastRig rig(QStringLiteral("x11-askmode"), true);
        rig.settings->setTargetService(TargetServiceOption::askEachTime);
        ToastWindowController controller(*rig.queue, *rig.settings, *rig.accessibility, *rig.colorScheme,
                                         rig.network.get());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        controller.setAvailableAreaProvider([area] { return std::optional<QRect>(area); });
        controller.setSlideDuration(0ms);
        rig.queue->enqueueAskMode(ToastLinks::spotify, Platform::spotify);
        QTRY_VERIFY(controller.panel());
        QTRY_COMPARE(mapState(xcb_window_t(controller.panel()->winId())), MapState::viewable);
        auto* prompt = qobject_cast<PromptStateView*>(controller.contentView()->stateView());
        QVERIFY(prompt && prompt->askModeMenu());
        AskModeDropdownButton* menu = prompt->askModeMenu();
        const QPoint button = menu->mapToGlobal(menu->buttonRect().center().toPoint());
        const auto xdotool = [](const QStringList& arguments) {
            QProcess process;
            process.start(QStringLiteral("xdotool"), arguments);
            return process.waitForStarted(2000) && process.waitForFinished(5000) && process.exitCode() == 0;
        };
        const auto clickAt = [&](QPoint at) {
            return xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                            QStringLiteral("click"), QStringLiteral("1")});
        };

        QVERIFY(clickAt(button));
        QTRY_VERIFY(menu->dropdown());
        const auto list = xcb_window_t(menu->dropdown()->winId());
        QTRY_COMPARE(mapState(list), MapState::viewable);
        QTest::qWait(100);
        QCOMPARE(inputFocus(), editorId());
        QCOMPARE(QGuiApplication::focusWindow(), editorWindow->windowHandle());
        editor->clear();
        QVERIFY(xdotool({QStringLiteral("type"), QStringLiteral("xyz")}));
        QTRY_COMPARE(editor->text(), QStringLiteral("xyz"));
        QVERIFY(menu->dropdown());

        // A click outside the list closes it; one on the button again does not reopen it.
        QVERIFY(clickAt(button));
        QTRY_VERIFY(!menu->dropdown());
        QTest::qWait(100);
        QVERIFY(!menu->showDropdown());
        QVERIFY(clickAt(button));
        QTRY_VERIFY(menu->dropdown());
        QVERIFY(clickAt(editorWindow->mapToGlobal(QPoint(200, 60))));
        QTRY_VERIFY(!menu->dropdown());
        QCOMPARE(inputFocus(), editorId());
        QCOMPARE(rig.api->conversions, 0);
        rig.queue->dismiss();
        QTRY_VERIFY(!controller.panel());
    }

    // Where the desktop announces its blur behind windows (as KWin does on the root window), the
    // card stays translucent and the window asks for the blur; gone again, the card is opaque.
    void keepsTranslucencyWhereTheDesktopBlurs() {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root;
        const xcb_atom_t blur = atom("_KDE_NET_WM_BLUR_BEHIND_REGION");
        const uint32_t none = 0;
        xcb_change_property(connection(), XCB_PROP_MODE_REPLACE, root, blur, XCB_ATOM_CARDINAL, 32, 1, &none);
        xcb_flush(connection());
        {
            Panel panel(QSize(200, 80));
            QPainterPath card;
            card.addRoundedRect(QRectF(0, 0, 200, 80), 16, 16);
            panel.setCardShape(card);
            QVERIFY(panel.blursBehind());
            QVERIFY(!Panel::drawsOpaqueMaterial(&panel));
            QVERIFY(!windowProperty(xcb_window_t(panel.winId()), "_KDE_NET_WM_BLUR_BEHIND_REGION",
                                    XCB_ATOM_CARDINAL)
                         .isEmpty());
        }
        xcb_delete_property(connection(), root, blur);
        xcb_flush(connection());
        Panel plain(QSize(200, 80));
        QVERIFY(!plain.blursBehind());
        QVERIFY(Panel::drawsOpaqueMaterial(&plain));
    }

    void withoutCompositorItIsCutToTheCard() {
        compositor.terminate();
        QVERIFY(compositor.waitForFinished(3000));
        QVERIFY(waitForCompositor(false));

        ToastRig rig(QStringLiteral("x11-plain"), false);
        // A dark window under the left half of where the card rests (the frame's top and left
        // 16 are its transparent margin).
        const QRect card = QRect(ToastWindowController::restingOrigin(
                                     QGuiApplication::primaryScreen()->availableGeometry(), QSize(486, 88)),
                                 QSize(486, 88))
                               .adjusted(16, 16, 0, 0);
        QWidget dark(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        dark.setAttribute(Qt::WA_ShowWithoutActivating);
        dark.setAutoFillBackground(true);
        QPalette palette = dark.palette();
        palette.setColor(QPalette::Window, QColor(0x10, 0x14, 0x18));
        dark.setPalette(palette);
        dark.setGeometry(card.x() - 60, card.y() - 40, card.width() / 2 + 60, card.height() + 80);
        dark.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dark));
        ToastWindowController controller(*rig.queue, *rig.settings, *rig.accessibility, *rig.colorScheme,
                                         rig.network.get());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        controller.setAvailableAreaProvider([area] { return std::optional<QRect>(area); });
        rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(controller.panel());
        Panel* panel = controller.panel();
        QVERIFY(!panel->isCompositing());
        QVERIFY(!panel->mask().isEmpty());
        // No slide: it stands where it rests at once.
        const QPoint rest = ToastWindowController::restingOrigin(area, QSize(486, 88));
        QCOMPARE(panel->frameOrigin(), rest);
        const auto window = xcb_window_t(panel->winId());
        QTRY_COMPARE(mapState(window), MapState::viewable);
        QTRY_COMPARE(serverPosition(window), rest - QPoint(Panel::shadowMargin, Panel::shadowMargin));
        QCOMPARE(inputFocus(), editorId());

        // Opaque where nothing blurs: the same card over the dark window and beside it, in both
        // schemes. The renders are for a person to look at.
        for (const auto scheme : {ColorScheme::Scheme::light, ColorScheme::Scheme::dark}) {
            rig.colorScheme->setOverride(scheme);
            const QColor material = SystemColors::regularMaterial(scheme, true);
            QTRY_VERIFY_WITH_TIMEOUT(sameColor(screenPixel(card.topLeft() + QPoint(120, 6)), material) &&
                                         sameColor(screenPixel(card.topRight() + QPoint(-120, 6)), material),
                                     5000);
            const QRect around =
                card.adjusted(-80, -30, 30, 30).intersected(QGuiApplication::primaryScreen()->geometry());
            QGuiApplication::primaryScreen()
                ->grabWindow(0, around.x(), around.y(), around.width(), around.height())
                .save(QCoreApplication::applicationDirPath() + QStringLiteral("/toast-renders-x11-plain-") +
                      (scheme == ColorScheme::Scheme::dark ? QStringLiteral("dark.png")
                                                           : QStringLiteral("light.png")));
        }

        rig.queue->dismiss();
        QTRY_COMPARE(mapState(window), MapState::destroyed);
        QVERIFY(!controller.panel());
    }
};

ONDARI_TOAST_TEST_MAIN(ToastX11Test)
#include "tst_toast_x11.moc"
