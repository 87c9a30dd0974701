#include "AdaptiveColors.h"
#include "AnimationClock.h"
#include "MenuBarTooltipView.h"
#include "MenuBarTooltipWindowController.h"
#include "OnboardingStyle.h"
#include "OnboardingTestSupport.h"
#include "Panel.h"

#include <QTest>

namespace {

const QRect screenArea(0, 0, 1920, 1080);

struct TooltipRig {
    ColorScheme scheme;
    MenuBarTooltipWindowController controller;

    explicit TooltipRig(std::chrono::milliseconds fade = std::chrono::milliseconds(30))
        : controller([](const QRect&) { return screenArea; }, &scheme,
                     MenuBarTooltipWindowController::Timing{fade, fade}) {
        scheme.setOverride(ColorScheme::Scheme::light);
    }
};

void click(QAbstractButton* button) {
    auto* scaled = qobject_cast<HoverScaleButton*>(button);
    QTest::mouseClick(button, Qt::LeftButton, {},
                      scaled ? scaled->contentRect().center().toPoint() : QPoint(2, 2));
}

} // namespace

class MenuBarTooltipTest : public QObject {
    Q_OBJECT

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void hangsCentredUnderTheAnchor() {
        TooltipRig rig;
        const QRect anchor(1000, 0, 24, 24);
        rig.controller.show(anchor);
        QVERIFY(rig.controller.panel());
        QVERIFY(!rig.controller.opensUpward());
        QCOMPARE(rig.controller.restingFrame(), QRect(862, 24, 300, 100));
        QTRY_COMPARE(rig.controller.panel()->frameRect(), QRect(862, 24, 300, 100));
        // The arrow's tip is under the anchor's centre, at the very top of the bubble.
        MenuBarTooltipView* view = rig.controller.view();
        QVERIFY(view->arrowOnTop());
        QCOMPARE(view->arrowCentre(), 150.0);
        QVERIFY(view->bubblePath().contains(QPointF(150, 1)));
        QVERIFY(!view->bubblePath().contains(QPointF(130, 5)));
        const QStringList log = TestEnvironment::debugLogMessages();
        QCOMPARE(log.value(0),
                 QStringLiteral("MenuBarTooltip: show() called with anchor frame: (1000, 0, 24, 24)"));
        QVERIFY(log.value(1).startsWith(QStringLiteral("MenuBarTooltip: Panel shown at (862, ")));
    }

    // A tray that tells no position: the bubble stands at the panel's tray end and points
    // nowhere, under a top panel and above a bottom one.
    void withoutAPositionItStandsAtTheTraysEndWithoutAnArrow() {
        const QRect screen(0, 0, 1920, 1080);
        for (const QRect& available : {QRect(0, 26, 1920, 1054), QRect(0, 0, 1920, 1040)}) {
            ColorScheme scheme;
            MenuBarTooltipWindowController controller(
                [&](const QRect&) { return MenuBarTooltipWindowController::ScreenAreas(screen, available); },
                &scheme, {std::chrono::milliseconds(30), std::chrono::milliseconds(30)});
            TestEnvironment::clearDebugLog();
            controller.show(QRect());
            const bool bottom = available.y() == 0;
            QCOMPARE(controller.restingFrame(), QRect(1612, bottom ? 940 : 26, 300, 100));
            QCOMPARE(controller.opensUpward(), bottom);
            MenuBarTooltipView* view = controller.view();
            QVERIFY(!view->arrowShown());
            // Nothing sticks out of the body where the arrow would be.
            const QPainterPath bubble = view->bubblePath();
            QVERIFY(!bubble.contains(QPointF(150, bottom ? 95 : 5)));
            QVERIFY(bubble.contains(QPointF(150, bottom ? 85 : 15)));
            QVERIFY(TestEnvironment::debugLogMessages().contains(
                QStringLiteral("MenuBarTooltip: The tray tells no icon position: shown at the tray's end of "
                               "the panel, without an arrow")));
        }
    }

    void staysInsideTheAvailableArea() {
        TooltipRig rig;
        rig.controller.show(QRect(0, 0, 24, 24));
        QCOMPARE(rig.controller.restingFrame().topLeft(), QPoint(8, 24));
        // An anchor above the area (a panel outside the available geometry) still gives a bubble inside.
        rig.controller.show(QRect(800, -40, 24, 24));
        QCOMPARE(rig.controller.restingFrame().top(), 0);
        QCOMPARE(rig.controller.restingFrame().left(), 662);
    }

    void opensUpwardAboveABottomPanel() {
        TooltipRig rig;
        rig.controller.show(QRect(1000, 1056, 24, 24));
        QVERIFY(rig.controller.opensUpward());
        QCOMPARE(rig.controller.restingFrame(), QRect(862, 956, 300, 100));
        MenuBarTooltipView* view = rig.controller.view();
        QVERIFY(!view->arrowOnTop());
        QVERIFY(view->bubblePath().contains(QPointF(150, 99)));
        QVERIFY(!view->bubblePath().contains(QPointF(130, 95)));
        QVERIFY(view->bubblePath().contains(QPointF(20, 2)));
        QTRY_COMPARE(rig.controller.panel()->frameRect(), QRect(862, 956, 300, 100));
        // It leaves towards the panel it came from.
        QPointer<Panel> panel = rig.controller.panel();
        click(view->gotItButton());
        QVERIFY(panel->frameOrigin().y() >= 956);
        QTRY_VERIFY(!panel);
    }

    void slidesAndFades() {
        TooltipRig rig(std::chrono::milliseconds(300));
        AnimationClock clock; // mid-way is where the test says, however busy the machine
        rig.controller.show(QRect(1000, 0, 24, 24));
        Panel* panel = rig.controller.panel();
        // It starts 15 above its place, invisible.
        QCOMPARE(panel->frameOrigin(), QPoint(862, 9));
        QCOMPARE(panel->opacity(), 0.0);
        QVERIFY(panel->isVisible());
        clock.advance(120);
        QVERIFY(panel->opacity() > 0.0 && panel->opacity() < 1.0);
        QVERIFY(panel->frameOrigin().y() > 9 && panel->frameOrigin().y() <= 24);
        clock.advance(200);
        QCOMPARE(panel->opacity(), 1.0);
        QCOMPARE(panel->frameOrigin(), QPoint(862, 24));
    }

    void gotItSlidesItAwayAndReleasesIt() {
        TooltipRig rig(std::chrono::milliseconds(200));
        AnimationClock clock;
        rig.controller.show(QRect(1000, 0, 24, 24));
        clock.advance(250);
        QCOMPARE(rig.controller.panel()->opacity(), 1.0);
        QPointer<Panel> panel = rig.controller.panel();
        TestEnvironment::clearDebugLog();
        click(rig.controller.view()->gotItButton());
        // Logged when the fade starts, before it ends.
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 QStringList{QStringLiteral("MenuBarTooltip: Dismissed")});
        QVERIFY(rig.controller.panel());
        clock.advance(100);
        QVERIFY(panel->opacity() < 1.0);
        QVERIFY(panel->frameOrigin().y() < 24);
        clock.advance(150);
        QTRY_VERIFY(!rig.controller.panel());
        QTRY_VERIFY(!panel);
        // Nothing left to dismiss.
        rig.controller.dismiss();
        QCOMPARE(TestEnvironment::debugLogMessages().size(), 1);
    }

    void gotItIsTealInBothSchemes() {
        for (const auto scheme : {ColorScheme::Scheme::light, ColorScheme::Scheme::dark}) {
            ColorScheme colors;
            colors.setOverride(scheme);
            MenuBarTooltipView view([] {}, colors);
            const QImage image = view.grab().toImage();
            // Somewhere on the button the text's own teal shows.
            const QRect button = view.gotItButton()->geometry();
            const QColor teal = AdaptiveColors::accentTeal(scheme);
            bool found = false;
            for (int y = button.top(); y <= button.bottom() && !found; ++y) {
                for (int x = button.left(); x <= button.right() && !found; ++x) {
                    const QColor c = image.pixelColor(x, y);
                    found = std::abs(c.red() - teal.red()) < 12 && std::abs(c.green() - teal.green()) < 12 &&
                            std::abs(c.blue() - teal.blue()) < 12 && c.alpha() > 200;
                }
            }
            QVERIFY2(found, scheme == ColorScheme::Scheme::dark ? "dark" : "light");
        }
    }
};

ONDARI_WIDGET_TEST_MAIN(MenuBarTooltipTest)
#include "tst_menubartooltip.moc"
