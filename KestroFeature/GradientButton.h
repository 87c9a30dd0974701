#pragma once

#include "AnimatedValue.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QWidget>

// The toast's plain, self-drawn action button: a label of texts and symbols on a rounded
// rectangle filled with a top-to-bottom gradient, a soft coloured shadow, and a hover that
// grows and brightens it. The widget is larger than the button by `margin` on every side,
// so the shadow and the growth have room; only the rounded rectangle takes clicks.
class GradientButton : public QWidget {
    Q_OBJECT

public:
    struct Part {
        QString text;   // a text, or
        QString symbol; // a symbol name, drawn at font.pixelSize()
        QFont font;
        qreal opacity = 1;
    };

    static constexpr int margin = 12;

    explicit GradientButton(QWidget* parent = nullptr);

    void setParts(QList<Part> parts, qreal spacing);
    QList<Part> parts() const { return m_parts; }
    void setGradient(QList<QColor> stops);
    QList<QColor> gradient() const { return m_gradient; }
    void setTextColor(const QColor& color);
    QColor textColor() const { return m_textColor; }
    // Colour at its final opacity, blur radius, offset.
    void setShadow(const QColor& color, qreal radius, QPointF offset);
    QColor shadowColor() const { return m_shadowColor; }
    void setPadding(qreal horizontal, qreal vertical);
    void setCornerRadius(qreal radius);
    void setHoverEffect(qreal scale, qreal brightness);

    // The button's own size (label plus padding), and where it lies in the widget.
    QSizeF buttonSize() const;
    QRectF buttonRect() const;
    // Puts the button's top-left corner at `topLeft` in parent coordinates.
    void placeButton(QPointF topLeft);

    bool isHovered() const { return m_hovered; }
    // 0 at rest, 1 fully hovered; the scale and brightness follow it.
    qreal hoverProgress() const { return m_hover.value(); }
    qreal currentScale() const { return 1 + (m_hoverScale - 1) * m_hover.value(); }
    qreal currentBrightness() const { return m_hoverBrightness * m_hover.value(); }

    static constexpr std::chrono::milliseconds hoverDuration{150};

signals:
    void clicked();
    void hoveredChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QSizeF labelSize() const;
    bool hits(QPointF point) const;
    void setHovered(bool hovered);
    void relayout();

    QList<Part> m_parts;
    qreal m_spacing = 8;
    QList<QColor> m_gradient;
    QColor m_textColor = Qt::white;
    QColor m_shadowColor = Qt::transparent;
    qreal m_shadowRadius = 6;
    QPointF m_shadowOffset{0, 2};
    qreal m_paddingH = 16;
    qreal m_paddingV = 8;
    qreal m_cornerRadius = 8;
    qreal m_hoverScale = 1.03;
    qreal m_hoverBrightness = 0.1;
    bool m_hovered = false;
    bool m_pressed = false;
    AnimatedValue m_hover{0};
};
