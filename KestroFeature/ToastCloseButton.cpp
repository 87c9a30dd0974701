#include "ToastCloseButton.h"

#include "SystemColors.h"
#include "SystemSymbol.h"

#include <QMouseEvent>
#include <QPainter>

#include <cmath>

ToastCloseButton::ToastCloseButton(ColorScheme& colorScheme, qreal diameter, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme), m_diameter(diameter) {
    setFocusPolicy(Qt::NoFocus);
    const int side = int(std::ceil(diameter));
    setFixedSize(side, side);
    connect(&colorScheme, &ColorScheme::changed, this, [this] { update(); });
}

void ToastCloseButton::setOpacity(qreal opacity) {
    m_opacity = opacity;
    update();
}

bool ToastCloseButton::hits(QPointF point) const {
    const QPointF center(m_diameter / 2, m_diameter / 2);
    const QPointF d = point - center;
    return m_opacity > 0 && d.x() * d.x() + d.y() * d.y() <= m_diameter * m_diameter / 4;
}

void ToastCloseButton::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton && hits(event->position());
    event->setAccepted(m_pressed);
}

void ToastCloseButton::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = m_pressed;
    m_pressed = false;
    if (wasPressed && event->button() == Qt::LeftButton && hits(event->position())) {
        emit clicked();
        return;
    }
    event->ignore();
}

void ToastCloseButton::paintEvent(QPaintEvent*) {
    if (m_opacity <= 0) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_opacity);
    const auto scheme = m_colorScheme.current();
    const QRectF circle(0, 0, m_diameter, m_diameter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(SystemColors::windowBackground(scheme));
    painter.drawEllipse(circle);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(SystemColors::withOpacity(SystemColors::primaryLabel(scheme), 0.15), 0.5));
    painter.drawEllipse(circle.adjusted(0.25, 0.25, -0.25, -0.25));
    SystemSymbol::paint(painter, circle.center(), QStringLiteral("xmark"), 12,
                        SystemColors::secondaryLabel(scheme), QFont::Bold);
}
