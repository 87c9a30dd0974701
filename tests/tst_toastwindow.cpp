#include "AnimatedValue.h"
#include "AnimationClock.h"
#include "Panel.h"
#include "ToastTestSupport.h"
#include "ToastView.h"
#include "ToastWindow.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace std::chrono_literals;

namespace {
const QRect laptopArea(0, 0, 1440, 875);
constexpr auto slide = 200ms;

int count(const QStringList& lines, const QString& line) {
    return int(lines.count(line));
}
} // namespace

// The toast's controller on its queue, and the panel beneath it, on the offscreen platform.
class ToastWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ToastRig> rig;
    std::unique_ptr<ToastWindowController> controller;

    void build(bool preview = true, QRect area = laptopArea, std::chrono::milliseconds duration = slide) {
        rig = std::make_unique<ToastRig>(QStringLiteral("window"), preview);
        TestEnvironment::clearDebugLog();
        controller = std::make_unique<ToastWindowController>(*rig->queue, *rig->settings, *rig->accessibility,
                                                             *rig->colorScheme, rig->network.get());
        controller->setAvailableAreaProvider([area] { return std::optional<QRect>(area); });
        controller->setSlideDuration(duration);
        QCoreApplication::processEvents();
    }

    // The toast's own lines (the queue logs too).
    QStringList log() const {
        return TestEnvironment::debugLogMessages().filter(QRegularExpression("^Toast: "));
    }

private slots:
    void cleanup() {
        controller.reset();
        rig.reset();
        Panel::setCompositorOverride(std::nullopt);
        QCoreApplication::processEvents();
    }

    void startUpLogsOneFalse() {
        build();
        const QStringList lines = log();
        QCOMPARE(lines, (QStringList{QStringLiteral("Toast: ToastWindowController initialized"),
                                     QStringLiteral("Toast: Setting up observers"),
                                     QStringLiteral("Toast: isToastVisible changed to: false")}));
        QVERIFY(!controller->panel());
    }

    void panelAndCardSizes() {
        build(true);
        QCOMPARE(controller->toastWidth(), 420.0);
        QCOMPARE(controller->toastHeight(), 151.0);
        QCOMPARE(controller->panelSize(), QSize(436, 167));
        rig->settings->setShowURLPreview(false);
        QCOMPARE(controller->toastWidth(), 470.0);
        QCOMPARE(controller->toastHeight(), 72.0);
        QCOMPARE(controller->panelSize(), QSize(486, 88));

        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(controller->panel());
        Panel* panel = controller->panel();
        QCOMPARE(panel->frameSize(), QSize(486, 88));
        QCOMPARE(panel->size(), QSize(486 + 2 * Panel::shadowMargin, 88 + 2 * Panel::shadowMargin));
        QCOMPARE(controller->contentView()->size(), QSize(486, 88));
        QCOMPARE(controller->contentView()->pos(), QPoint(Panel::shadowMargin, Panel::shadowMargin));

        // The size is fixed when the panel is built; the next request takes the new one.
        rig->settings->setShowURLPreview(true);
        QCOMPARE(panel->frameSize(), QSize(486, 88));
        rig->queue->dismiss();
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(controller->panel() && controller->panel() != panel);
        QCOMPARE(controller->panel()->frameSize(), QSize(436, 167));
    }

    void slidesInToItsRestingPlace() {
        QCOMPARE(ToastWindowController::restingOrigin(laptopArea, QSize(436, 167)), QPoint(988, 0));
        QCOMPARE(ToastWindowController::restingOrigin(laptopArea, QSize(486, 88)), QPoint(938, 0));
        // An area that does not start at the origin (a panel at the top, a second screen).
        QCOMPARE(ToastWindowController::restingOrigin(QRect(1920, 32, 1280, 768), QSize(436, 167)),
                 QPoint(1920 + 1280 - 436 - 16, 32));

        build(true);
        AnimationClock clock;
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        QTRY_VERIFY(controller->panel());
        Panel* panel = controller->panel();
        QCOMPARE(panel->frameOrigin(), QPoint(988, -20));
        QCOMPARE(panel->opacity(), 0.0);
        QVERIFY(panel->isVisible());
        QVERIFY(log().contains(QStringLiteral("Toast: Panel shown at {{988, -20}, {436, 167}}")));

        // Down and in, never past the resting place, for the whole slide.
        clock.mark();
        clock.advance(1);
        QVERIFY(panel->isAnimating());
        int lastY = -20;
        qreal lastOpacity = 0;
        while (panel->isAnimating() && clock.now() < 2000) {
            clock.advance(10);
            QVERIFY(panel->frameOrigin().y() >= lastY);
            QVERIFY(panel->opacity() >= lastOpacity);
            QVERIFY(panel->frameOrigin().y() <= 0);
            lastY = panel->frameOrigin().y();
            lastOpacity = panel->opacity();
        }
        QVERIFY(clock.now() >= int(slide.count()));
        QCOMPARE(panel->frameOrigin(), QPoint(988, 0));
        QCOMPARE(panel->opacity(), 1.0);
        // The card lies 16 in from the panel's left and top.
        QCOMPARE(controller->contentView()->cardRect().topLeft() + panel->frameOrigin(), QPoint(1004, 16));
    }

    void noScreenLeavesThePanelWhereItIs() {
        build(true);
        controller->setAvailableAreaProvider([] { return std::optional<QRect>(); });
        controller->show();
        QVERIFY(controller->panel());
        QCOMPARE(controller->panel()->frameOrigin(), QPoint(0, -20));
        QTRY_VERIFY(!controller->panel()->isAnimating());
        QCOMPARE(controller->panel()->frameOrigin(), QPoint(0, 0));
    }

    void followsEveryRequestAndHidesWhenEmpty() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        QTRY_VERIFY(controller->panel());
        QPointer<Panel> first = controller->panel();

        // The next request replaces the panel at once, without a slide out.
        TestEnvironment::clearDebugLog();
        rig->queue->dismiss();
        QTRY_VERIFY(controller->panel() != first);
        QVERIFY(!first || !first->isVisible());
        QPointer<Panel> second = controller->panel();
        QStringList lines = log();
        QCOMPARE(count(lines, QStringLiteral("Toast: isToastVisible changed to: true")), 1);
        QCOMPARE(count(lines, QStringLiteral("Toast: show() called")), 1);
        QCOMPARE(count(lines, QStringLiteral("Toast: Creating panel")), 1);

        // Empty: it slides up and out, then it is gone.
        QTRY_VERIFY(!second->isAnimating());
        TestEnvironment::clearDebugLog();
        {
            AnimationClock clock;
            rig->queue->dismiss();
            clock.advance(1);
            QVERIFY(second->isAnimating());
            const int top = second->frameOrigin().y();
            clock.advance(60);
            QVERIFY(second->frameOrigin().y() < top);
            QVERIFY(second->opacity() < 1);
            clock.advance(int(slide.count()));
        }
        QTRY_VERIFY(!controller->panel());
        QTRY_VERIFY(!second);
        lines = log();
        QCOMPARE(lines, QStringList{QStringLiteral("Toast: isToastVisible changed to: false")});

        // A false with nothing shown only logs.
        TestEnvironment::clearDebugLog();
        controller->hide();
        QCOMPARE(log(), QStringList());
    }

    void twoTruesInARowRebuild() {
        build(true);
        controller->show();
        QPointer<Panel> first = controller->panel();
        controller->show();
        QVERIFY(controller->panel() != first);
        QVERIFY(!first || !first->isVisible());
        const QStringList lines = log();
        QCOMPARE(count(lines, QStringLiteral("Toast: show() called")), 2);
        QCOMPARE(count(lines, QStringLiteral("Toast: Creating panel")), 2);
        // Each new panel starts with the close button hidden.
        QVERIFY(!controller->contentView()->isHovered());
        QCOMPARE(controller->contentView()->closeButtonOpacity(), 0.0);
    }

    void panelBuiltAheadIsFreshAndFitsTheSettings() {
        build(true);
        controller->setBuildsPanelsAhead(true, 20ms);
        QTRY_VERIFY(controller->sparePanel());
        QPointer<Panel> spare = controller->sparePanel();
        QVERIFY(!spare->isVisible());
        QVERIFY(!spare->contentWidget());

        // Taken by the next show, which makes its content then and logs as always.
        TestEnvironment::clearDebugLog();
        controller->show();
        QCOMPARE(controller->panel(), spare.data());
        QVERIFY(spare->isVisible());
        QCOMPARE(controller->contentView(), spare->contentWidget());
        QVERIFY(!controller->contentView()->isHovered());
        QCOMPARE(count(log(), QStringLiteral("Toast: Creating panel")), 1);
        // The next one comes a while after the show, never as the same window.
        QVERIFY(!controller->sparePanel());
        QTRY_VERIFY(controller->sparePanel());
        QVERIFY(controller->sparePanel() != controller->panel());

        // Built for the old card size: not used once the size changed, and not kept.
        QPointer<Panel> stale = controller->sparePanel();
        rig->settings->setShowURLPreview(false);
        controller->show();
        QVERIFY(controller->panel() != stale);
        QCOMPARE(controller->panel()->frameSize(), QSize(486, 88));
        QTRY_VERIFY(!stale);

        // Once the toast is gone the next panel is built at once.
        controller->hide();
        QTRY_VERIFY(!controller->panel());
        QTRY_VERIFY(controller->sparePanel());
        QCOMPARE(controller->sparePanel()->frameSize(), QSize(486, 88));
        controller->setBuildsPanelsAhead(false);
        QVERIFY(!controller->sparePanel());
    }

    void showWhileSlidingOutKeepsTheNewPanel() {
        build(true);
        controller->show();
        QTRY_VERIFY(!controller->panel()->isAnimating());
        AnimationClock clock;
        QPointer<Panel> leaving = controller->panel();
        controller->hide();
        clock.advance(50);
        QVERIFY(leaving->isAnimating());
        controller->show();
        QPointer<Panel> fresh = controller->panel();
        QVERIFY(fresh != leaving);
        // Well past the old slide's end: the new panel is still the one shown.
        clock.advance(int(slide.count()) + 150, 10);
        QCOMPARE(controller->panel(), fresh.data());
        QVERIFY(fresh->isVisible());
        QCOMPARE(fresh->opacity(), 1.0);
        QVERIFY(!leaving || !leaving->isVisible());
    }

    void secondHideWhileSlidingOut() {
        build(true);
        controller->show();
        QTRY_VERIFY(!controller->panel()->isAnimating());
        AnimationClock clock;
        QPointer<Panel> panel = controller->panel();
        controller->hide();
        clock.advance(80);
        const QPoint midway = panel->frameOrigin();
        controller->hide();
        // Another 20 up from where it was.
        clock.advance(int(slide.count()) - 40);
        QVERIFY(panel);
        QVERIFY(panel->frameOrigin().y() < midway.y());
        clock.advance(int(slide.count()) + 50, 10);
        QTRY_VERIFY(!controller->panel());
        QTRY_VERIFY(!panel);
    }

    void panelWithoutCompositor() {
        Panel::setCompositorOverride(false);
        Panel panel(QSize(436, 167));
        QVERIFY(!panel.isCompositing());
        QPainterPath card;
        card.addRoundedRect(QRectF(16, 16, 420, 151), 12, 12);
        panel.setCardShape(card);
        // Cut to the card: the margin and the card's corners are outside.
        const QRegion mask = panel.mask();
        QVERIFY(mask.contains(QPoint(Panel::shadowMargin + 200, Panel::shadowMargin + 80)));
        QVERIFY(!mask.contains(QPoint(Panel::shadowMargin + 17, Panel::shadowMargin + 17)));
        QVERIFY(!mask.contains(QPoint(Panel::shadowMargin + 4, Panel::shadowMargin + 4)));
        QPainterPath button;
        button.addEllipse(QRectF(4, 4, 28, 28));
        panel.setCardShape(card, button);
        QVERIFY(panel.mask().contains(QPoint(Panel::shadowMargin + 18, Panel::shadowMargin + 10)));

        // Fades become plain shows and hides; the completion still comes afterwards.
        panel.setFrameOrigin(QPoint(100, 80));
        panel.setOpacity(0);
        panel.orderFront();
        int completed = 0;
        panel.animate(QPoint(100, 100), 1, 250ms, TimingCurve::cubic(0, 0, 0.2, 1), [&] { ++completed; });
        QCOMPARE(panel.frameOrigin(), QPoint(100, 100));
        QCOMPARE(completed, 0);
        QTRY_COMPARE(completed, 1);
    }

    void panelAnimationsHandOver() {
        Panel::setCompositorOverride(true);
        Panel panel(QSize(100, 50));
        QCOMPARE(panel.frameRect(),
                 QRect(panel.pos() + QPoint(Panel::shadowMargin, Panel::shadowMargin), QSize(100, 50)));
        panel.setFrameOrigin(QPoint(0, 0));
        panel.orderFront();
        QStringList done;
        {
            AnimationClock clock;
            panel.animate(QPoint(0, 100), 1, 300ms, TimingCurve::linear(), [&] { done << "first"; });
            clock.advance(100);
            const int y = panel.frameOrigin().y();
            QVERIFY(y > 0 && y < 100);
            // The new animation starts where the panel is; both completions wait for its end.
            panel.animate(QPoint(0, 0), 0, 100ms, TimingCurve::linear(), [&] { done << "second"; });
            clock.advance(20);
            QVERIFY(panel.frameOrigin().y() <= y);
            QCOMPARE(done, QStringList());
            clock.advance(100);
        }
        QTRY_COMPARE(done, (QStringList{"first", "second"}));
        QCOMPARE(panel.frameOrigin(), QPoint(0, 0));

        // Ordering out ends a running slide and reports it.
        panel.animate(QPoint(0, 50), 1, 500ms, TimingCurve::linear(), [&] { done << "third"; });
        panel.orderOut();
        QCOMPARE(done.last(), QStringLiteral("third"));
        QVERIFY(!panel.isVisible());
        QVERIFY(!panel.isAnimating());
    }

    void animatedValuesStartFromTheScreen() {
        AnimationClock clock;
        AnimatedValue value(0);
        value.animateTo(1, 200ms, TimingCurve::easeInOut());
        clock.advance(80);
        const qreal midway = value.value();
        QVERIFY(midway > 0 && midway < 1);
        value.animateTo(0, 200ms, TimingCurve::easeInOut());
        clock.advance(10);
        QVERIFY(value.value() <= midway && value.value() > 0);
        // A plain assignment stops the animation and holds.
        value.set(0.5);
        QVERIFY(!value.isAnimating());
        clock.advance(60);
        QCOMPARE(value.value(), 0.5);

        // The curves are the named cubic ones.
        const QEasingCurve easeOut = TimingCurve::easeOut();
        QVERIFY(easeOut.valueForProgress(0.25) > 0.25);
        QVERIFY(TimingCurve::easeIn().valueForProgress(0.25) < 0.25);
        QVERIFY(std::abs(TimingCurve::easeInOut().valueForProgress(0.5) - 0.5) < 0.01);
        QVERIFY(TimingCurve::cubic(0.4, 0, 1, 1).valueForProgress(0.5) < 0.5);

        // A ping-pong returns to where it started.
        AnimatedValue shimmer(0);
        shimmer.repeatForever(1, 60ms, TimingCurve::easeInOut(), true);
        qreal highest = 0;
        bool cameBack = false;
        for (int i = 0; i < 80; ++i) {
            clock.advance(5);
            highest = std::max(highest, shimmer.value());
            cameBack = cameBack || (highest > 0.9 && shimmer.value() < 0.1);
        }
        QVERIFY(highest > 0.9);
        QVERIFY(cameBack);
    }
};

ONDARI_TOAST_TEST_MAIN(ToastWindowTest)
#include "tst_toastwindow.moc"
