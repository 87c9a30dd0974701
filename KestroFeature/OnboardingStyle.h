#pragma once

#include "ColorScheme.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainterPath>

#include <functional>

class AnimatedValue;

// Colours, fonts and small drawing pieces shared by the onboarding pages and the tooltip.
namespace OnboardingStyle {

using Scheme = ColorScheme::Scheme;

QColor rgb(double r, double g, double b, double opacity = 1.0);
QColor white(double opacity = 1.0);
QColor black(double opacity = 1.0);

// The desktop's label colours as the pages use them.
QColor primary(Scheme scheme, double opacity = 1.0);
QColor secondary(Scheme scheme, double opacity = 1.0);
QColor systemGrey(double opacity = 1.0);
// The page's accent colour where a symbol stands in for the program's icon.
QColor accent();
// The translucent card fill; `opaque` where nothing blurs what lies behind it.
QColor regularMaterial(Scheme scheme, bool opaque = false);

// The fixed teal of the music page and its darker gradient partner.
QColor brandTeal();
QColor brandTealDeep();
// The same-service warning.
QColor amber();
// The popover lists are dark in both schemes.
QColor popoverBackground();

// The pages' border: top and bottom colours of the gradient.
QColor pageBorderTop(Scheme scheme);
QColor pageBorderBottom(Scheme scheme);

QFont pixelFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// A named symbol from the program's resources, drawn in one colour inside `rect`.
void paintSymbol(QPainter& painter, const QString& name, const QRectF& rect, const QColor& color,
                 QFont::Weight weight = QFont::Normal);
// A music service's icon by its key, filling `rect`.
void paintServiceIcon(QPainter& painter, const QString& key, const QRectF& rect);
// A white rounded tile with a black symbol (options that are no single service).
void paintSymbolTile(QPainter& painter, const QString& symbol, const QRectF& rect, double radius,
                     double symbolSize);

// The program's icon when it has one, else the "music.note.list" symbol, in an 80 x 80 square.
void paintAppIcon(QPainter& painter, const QRectF& rect);

// Adds `amount` to each colour component of every painted pixel (alpha kept).
void brighten(QImage& image, double amount);

// The outline of a rounded rectangle with continuous corners, close enough for our sizes.
QPainterPath roundedRect(const QRectF& rect, double radius);
// Fills the page card (material) and strokes its two-colour gradient border.
void paintCard(QPainter& painter, const QRectF& rect, double radius, Scheme scheme, bool opaque = false);
// The ring around a control that has the keyboard focus.
void paintFocusRing(QPainter& painter, const QPainterPath& shape);
// Whether a focus change came from the keyboard: only then is the ring drawn.
bool isKeyboardFocus(Qt::FocusReason reason);

} // namespace OnboardingStyle

// A self-drawn button that grows (and optionally brightens) under the pointer. Its widget is
// larger than its nominal content by a margin, so the growth is not clipped; only the content
// shape takes clicks. Tab reaches it and Space presses it where its window takes the focus.
class HoverScaleButton : public QAbstractButton {
    Q_OBJECT

public:
    using Painter = std::function<void(QPainter&, const QRectF& content, bool hovered)>;

    HoverScaleButton(QSizeF contentSize, double margin, QWidget* parent = nullptr);

    void setPainter(Painter painter) { m_painter = std::move(painter); }
    // The shape, in content coordinates, that takes clicks; the whole content when empty.
    void setHitShape(std::function<QPainterPath(const QRectF&)> shape) { m_hitShape = std::move(shape); }
    void setHoverScale(double scale) { m_hoverScale = scale; }
    void setHoverBrightness(double amount) { m_hoverBrightness = amount; }
    // When false, hovering shows no feedback (a disabled look is the painter's).
    void setHoverFeedback(bool on);
    // The whole button drawn at this opacity (its fades are the owner's).
    void setPaintOpacity(double opacity);
    double paintOpacity() const { return m_opacity; }

    // Places the button so that its content rectangle lies at `content` in the parent.
    void placeContent(const QRectF& content);
    QRectF contentRect() const;

    bool isHovered() const { return m_hovered; }
    // The scale now on screen.
    double currentScale() const;
    double currentBrightness() const;

signals:
    void hoveredChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void setHovered(bool hovered);
    void animateFeedback();

    bool m_keyboardFocus = false;

    QSizeF m_contentSize;
    double m_margin;
    Painter m_painter;
    std::function<QPainterPath(const QRectF&)> m_hitShape;
    double m_hoverScale = 1.0;
    double m_hoverBrightness = 0.0;
    bool m_feedback = true;
    double m_opacity = 1.0;
    bool m_hovered = false;
    AnimatedValue* m_scale;
    AnimatedValue* m_brightness;
};

// A value that follows its target on a damped spring (response in seconds, damping fraction),
// starting from the value and velocity now on screen.
class OnboardingSpring : public QObject {
    Q_OBJECT

public:
    OnboardingSpring(double response, double damping, double initial, QObject* parent = nullptr);

    double value() const { return m_value; }
    double target() const { return m_target; }
    bool isRunning() const;

    void animateTo(double target);
    // Jumps there, stopping a running animation.
    void setValue(double value);

signals:
    void valueChanged(double value);

private:
    void step(double elapsedSeconds);

    double m_omega;
    double m_damping;
    double m_value;
    double m_velocity = 0.0;
    double m_target;
    double m_startOffset = 0.0;
    double m_startVelocity = 0.0;
    class QVariantAnimation* m_clock;
};

// The round close button at the top-left of both onboarding pages; it sends the panel to the tray.
HoverScaleButton* makeMinimizeButton(QWidget* parent, const ColorScheme& colorScheme,
                                     std::function<void()> onClick);
