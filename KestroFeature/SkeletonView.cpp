#include "SkeletonView.h"

#include "AdaptiveColors.h"
#include "SystemColors.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

SkeletonView::SkeletonView(ColorScheme& colorScheme, bool animated, qreal cornerRadius, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme), m_animated(animated), m_cornerRadius(cornerRadius) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(&m_phase, &AnimatedValue::valueChanged, this, [this] { update(); });
    connect(&colorScheme, &ColorScheme::changed, this, [this] { update(); });
}

void SkeletonView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_animated && !m_isAnimating) {
        m_isAnimating = true;
        m_phase.repeatForever(1, shimmerDuration, TimingCurve::easeInOut(), true);
    }
}

void SkeletonView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto scheme = m_colorScheme.current();
    const QColor base = AdaptiveColors::skeletonBase(scheme);
    const QColor resting = SystemColors::withOpacity(base, 0.9);
    const qreal t = m_phase.value();
    const QColor middle = m_animated && m_isAnimating
                              ? SystemColors::mix(resting, AdaptiveColors::skeletonHighlight(scheme), t)
                              : resting;

    // The gradient's ends swap sides as the shimmer runs: trailing-to-leading at rest,
    // leading-to-trailing when lit.
    const QRectF box = rect();
    qreal startX = box.right() + (box.left() - box.right()) * t;
    qreal endX = box.left() + (box.right() - box.left()) * t;
    if (std::abs(endX - startX) < 0.5) {
        endX = startX + (t < 0.5 ? -0.5 : 0.5);
    }
    QLinearGradient gradient(QPointF(startX, box.center().y()), QPointF(endX, box.center().y()));
    gradient.setColorAt(0, base);
    gradient.setColorAt(0.5, middle);
    gradient.setColorAt(1, base);
    QPainterPath shape;
    shape.addRoundedRect(box, m_cornerRadius, m_cornerRadius);
    painter.fillPath(shape, gradient);
}
