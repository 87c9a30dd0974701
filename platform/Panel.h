#pragma once

#include <QEasingCurve>
#include <QImage>
#include <QPainterPath>
#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QVariantAnimation;

// A small floating window: frameless, above other windows, on every desktop, out of the task
// bar. Callers place and size its frame; the window itself is larger by a transparent margin on
// every side that holds the card's shadow. Without a compositor the window is cut to the card's
// shape, draws no shadow, and fades become plain shows and hides.
class Panel : public QWidget {
    Q_OBJECT

public:
    static constexpr int shadowMargin = 32;

    // Whether the panel takes the keyboard focus when it is ordered in. On X11 a panel that never
    // does is not managed by the window manager (override-redirect), as menus are.
    enum class Focus { never, whenShown };

    explicit Panel(QSize frameSize, Focus focus = Focus::never, QWidget* parent = nullptr);
    ~Panel() override;

    // Panels float above ordinary windows, so a dialog opened while one is shown would open
    // behind it: this keeps `dialog` above the shown panels (call before showing it).
    static void keepAboveShownPanels(QWidget* dialog);

    // Placed at the frame and sized to it; the panel takes ownership.
    void setContentWidget(QWidget* content);
    QWidget* contentWidget() const { return m_content; }

    QSize frameSize() const { return m_frameSize; }
    // The frame in screen coordinates (the window's geometry less the shadow margin).
    QRect frameRect() const;
    QPoint frameOrigin() const;
    void setFrameOrigin(QPoint origin);

    // The opaque card in frame coordinates: it casts the shadow, is what a desktop may blur
    // behind, and without a compositor is the window's shape together with `extraShape`.
    void setCardShape(const QPainterPath& card, const QPainterPath& extraShape = {});
    void setShadow(const QColor& color, qreal radius, QPointF offset);

    qreal opacity() const { return m_opacity; }
    void setOpacity(qreal opacity);

    // Shows the panel in front without activating it.
    void orderFront();
    // Hides it at once; a running animation stops and its completions run.
    void orderOut();
    bool isOrderedIn() const { return isVisible(); }

    // Moves the frame to `origin` and the opacity to `opacity` on `curve`. A new animation
    // starts from where the panel is; the completions of the one it replaces run when the new
    // one ends. Without a compositor the panel jumps to the end values.
    void animate(QPoint origin, qreal opacity, std::chrono::milliseconds duration, const QEasingCurve& curve,
                 std::function<void()> completion = {});
    bool isAnimating() const { return m_animation != nullptr; }

    bool isCompositing() const { return m_compositing; }
    // Whether a compositing manager runs on the display (always true off X11).
    static bool compositorRunning();
    // Tests decide; none asks the display again.
    static void setCompositorOverride(std::optional<bool> running);

    // Whether the desktop blurs what lies behind the card. Where it does not, a translucent card
    // shows the windows behind it sharp, so the card's material is drawn opaque.
    bool blursBehind() const { return m_blursBehind; }
    // The desktop offers a blur behind windows (KWin announces its blur on the root window);
    // true off X11. It blurs only while a compositor runs, which callers know already.
    static bool desktopBlursBehind();
    static void setBlurOverride(std::optional<bool> offered);
    // Whether `widget` lies in a panel that draws its material opaque.
    static bool drawsOpaqueMaterial(const QWidget* widget);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void markNative();
    void updateShape();
    void flush();
    void finishAnimation();

    QSize m_frameSize;
    Focus m_focus;
    QWidget* m_content = nullptr;
    bool m_compositing;
    bool m_blursBehind;
    qreal m_opacity = 1;
    QPainterPath m_card;
    QPainterPath m_extraShape;
    QColor m_shadowColor{0, 0, 0, 72};
    qreal m_shadowRadius = 18;
    QPointF m_shadowOffset{0, 5};
    QImage m_shadowImage;
    QPointF m_shadowOrigin;
    QVariantAnimation* m_animation = nullptr;
    std::vector<std::function<void()>> m_completions;
};
