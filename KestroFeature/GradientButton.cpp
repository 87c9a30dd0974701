#include "GradientButton.h"

#include "Shadow.h"
#include "SystemColors.h"
#include "SystemSymbol.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

GradientButton::GradientButton(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    connect(&m_hover, &AnimatedValue::valueChanged, this, [this] { update(); });
}

void GradientButton::setParts(QList<Part> parts, qreal spacing) {
    m_parts = std::move(parts);
    m_spacing = spacing;
    relayout();
}

void GradientButton::setGradient(QList<QColor> stops) {
    m_gradient = std::move(stops);
    update();
}

void GradientButton::setTextColor(const QColor& color) {
    m_textColor = color;
    update();
}

void GradientButton::setShadow(const QColor& color, qreal radius, QPointF offset) {
    m_shadowColor = color;
    m_shadowRadius = radius;
    m_shadowOffset = offset;
    update();
}

void GradientButton::setPadding(qreal horizontal, qreal vertical) {
    m_paddingH = horizontal;
    m_paddingV = vertical;
    relayout();
}

void GradientButton::setCornerRadius(qreal radius) {
    m_cornerRadius = radius;
    update();
}

void GradientButton::setHoverEffect(qreal scale, qreal brightness) {
    m_hoverScale = scale;
    m_hoverBrightness = brightness;
    update();
}

QSizeF GradientButton::labelSize() const {
    qreal width = 0;
    qreal height = 0;
    for (const Part& part : m_parts) {
        if (!part.symbol.isEmpty()) {
            width += part.font.pixelSize();
            height = std::max<qreal>(height, part.font.pixelSize());
        } else {
            const QFontMetricsF metrics(part.font);
            width += metrics.horizontalAdvance(part.text);
            height = std::max(height, metrics.height());
        }
    }
    if (m_parts.size() > 1) {
        width += m_spacing * qreal(m_parts.size() - 1);
    }
    return {width, height};
}

QSizeF GradientButton::buttonSize() const {
    const QSizeF label = labelSize();
    return {std::ceil(label.width() + 2 * m_paddingH), std::ceil(label.height() + 2 * m_paddingV)};
}

QRectF GradientButton::buttonRect() const {
    return QRectF(QPointF(margin, margin), buttonSize());
}

void GradientButton::placeButton(QPointF topLeft) {
    const QPointF origin = topLeft - QPointF(margin, margin);
    const QSizeF size = buttonSize();
    setGeometry(
        QRect(origin.toPoint(), QSize(int(size.width()) + 2 * margin, int(size.height()) + 2 * margin)));
}

void GradientButton::relayout() {
    if (QWidget::size().isValid()) {
        placeButton(QPointF(pos()) + QPointF(margin, margin));
    }
    update();
}

bool GradientButton::hits(QPointF point) const {
    QPainterPath shape;
    shape.addRoundedRect(buttonRect(), m_cornerRadius, m_cornerRadius);
    return shape.contains(point);
}

void GradientButton::setHovered(bool hovered) {
    if (hovered == m_hovered) {
        return;
    }
    m_hovered = hovered;
    m_hover.animateTo(hovered ? 1 : 0, hoverDuration, TimingCurve::easeInOut());
    emit hoveredChanged(hovered);
}

void GradientButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && hits(event->position())) {
        m_pressed = true;
        event->accept();
        return;
    }
    event->ignore();
}

void GradientButton::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = m_pressed;
    m_pressed = false;
    if (wasPressed && event->button() == Qt::LeftButton && hits(event->position())) {
        event->accept();
        emit clicked();
        return;
    }
    event->ignore();
}

void GradientButton::mouseMoveEvent(QMouseEvent* event) {
    setHovered(hits(event->position()));
    event->ignore();
}

void GradientButton::leaveEvent(QEvent*) {
    setHovered(false);
}

void GradientButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRectF button = buttonRect();
    const qreal brightness = currentBrightness();
    const qreal scale = currentScale();
    painter.translate(button.center());
    painter.scale(scale, scale);
    painter.translate(-button.center());

    QPainterPath shape;
    shape.addRoundedRect(button, m_cornerRadius, m_cornerRadius);
    Shadow::paint(painter, shape, SystemColors::brightened(m_shadowColor, brightness), m_shadowRadius,
                  m_shadowOffset);

    QLinearGradient fill(button.topLeft(), button.bottomLeft());
    if (m_gradient.size() == 1) {
        fill.setColorAt(0, SystemColors::brightened(m_gradient.first(), brightness));
        fill.setColorAt(1, SystemColors::brightened(m_gradient.first(), brightness));
    }
    for (qsizetype i = 0; m_gradient.size() > 1 && i < m_gradient.size(); ++i) {
        fill.setColorAt(qreal(i) / qreal(m_gradient.size() - 1),
                        SystemColors::brightened(m_gradient[i], brightness));
    }
    painter.fillPath(shape, fill);

    const QColor ink = SystemColors::brightened(m_textColor, brightness);
    qreal x = button.left() + m_paddingH;
    const qreal centerY = button.center().y();
    for (const Part& part : m_parts) {
        const QColor color = SystemColors::withOpacity(ink, part.opacity);
        if (!part.symbol.isEmpty()) {
            const qreal size = part.font.pixelSize();
            SystemSymbol::paint(painter, QPointF(x + size / 2, centerY), part.symbol, size, color,
                                QFont::Weight(part.font.weight()));
            x += size + m_spacing;
            continue;
        }
        const QFontMetricsF metrics(part.font);
        painter.setFont(part.font);
        painter.setPen(color);
        const qreal width = metrics.horizontalAdvance(part.text);
        const QRectF line(x, centerY - metrics.height() / 2, width + 1, metrics.height());
        painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, part.text);
        x += width + m_spacing;
    }
}
