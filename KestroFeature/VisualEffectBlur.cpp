#include "VisualEffectBlur.h"

#include "ImageBlur.h"
#include "Panel.h"
#include "SystemColors.h"

#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cmath>

namespace {

QColor rgb(double r, double g, double b, double opacity) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(opacity));
}

struct Tint {
    QColor light;
    QColor dark;
};

Tint tint(VisualEffectBlur::Material material) {
    using M = VisualEffectBlur::Material;
    switch (material) {
    case M::titlebar:
        return {rgb(0.93, 0.93, 0.93, 0.8), rgb(0.17, 0.17, 0.17, 0.8)};
    case M::selection:
        return {rgb(0.0, 0.478, 1.0, 0.35), rgb(0.039, 0.518, 1.0, 0.35)};
    case M::menu:
    case M::popover:
        return {SystemColors::regularMaterial(ColorScheme::Scheme::light),
                SystemColors::regularMaterial(ColorScheme::Scheme::dark)};
    case M::sidebar:
        return {rgb(0.91, 0.91, 0.91, 0.72), rgb(0.12, 0.12, 0.12, 0.72)};
    case M::headerView:
        return {rgb(0.95, 0.95, 0.95, 0.85), rgb(0.15, 0.15, 0.15, 0.85)};
    case M::sheet:
        return {rgb(0.94, 0.94, 0.94, 0.85), rgb(0.2, 0.2, 0.2, 0.85)};
    case M::windowBackground:
        return {rgb(0.925, 0.925, 0.925, 0.9), rgb(0.196, 0.196, 0.196, 0.9)};
    case M::hudWindow:
        // A heads-up window stays dark in both appearances.
        return {rgb(0.12, 0.12, 0.12, 0.6), rgb(0.12, 0.12, 0.12, 0.6)};
    case M::fullScreenUI:
        return {rgb(0.96, 0.96, 0.96, 0.7), rgb(0.1, 0.1, 0.1, 0.7)};
    case M::toolTip:
        return {rgb(0.96, 0.96, 0.96, 0.9), rgb(0.17, 0.17, 0.17, 0.9)};
    case M::contentBackground:
        return {rgb(1, 1, 1, 0.9), rgb(0.12, 0.12, 0.12, 0.9)};
    case M::underWindowBackground:
        return {rgb(0.86, 0.86, 0.86, 0.6), rgb(0.09, 0.09, 0.09, 0.6)};
    case M::underPageBackground:
        return {rgb(0.8, 0.8, 0.8, 0.8), rgb(0.16, 0.16, 0.16, 0.8)};
    }
    return {rgb(1, 1, 1, 0.78), rgb(0.157, 0.157, 0.157, 0.78)};
}

} // namespace

VisualEffectBlur::VisualEffectBlur(ColorScheme& colorScheme, Material material, BlendingMode blendingMode,
                                   qreal cornerRadius, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme), m_material(material), m_blendingMode(blendingMode),
      m_cornerRadius(cornerRadius) {
    connect(&m_colorScheme, &ColorScheme::changed, this, qOverload<>(&QWidget::update));
    updateMask();
}

QColor VisualEffectBlur::materialColor(Material material, ColorScheme::Scheme scheme) {
    const Tint t = tint(material);
    return scheme == ColorScheme::Scheme::dark ? t.dark : t.light;
}

void VisualEffectBlur::setMaterial(Material material) {
    m_material = material;
    update();
}

void VisualEffectBlur::setBlendingMode(BlendingMode blendingMode) {
    m_blendingMode = blendingMode;
    update();
}

void VisualEffectBlur::setCornerRadius(qreal cornerRadius) {
    m_cornerRadius = cornerRadius;
    updateMask();
    update();
}

QPainterPath VisualEffectBlur::shape() const {
    QPainterPath path;
    const qreal radius = std::clamp<qreal>(m_cornerRadius, 0, std::min(width(), height()) / 2.0);
    if (radius > 0) {
        path.addRoundedRect(QRectF(rect()), radius, radius);
    } else {
        path.addRect(QRectF(rect()));
    }
    return path;
}

void VisualEffectBlur::updateMask() {
    // The mask cuts the children too; without corners the bounds alone do that.
    if (m_cornerRadius > 0 && !rect().isEmpty()) {
        setMask(QRegion(shape().toFillPolygon().toPolygon()));
    } else {
        clearMask();
    }
}

void VisualEffectBlur::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateMask();
}

QImage VisualEffectBlur::backdrop(int margin, qreal dpr) {
    const QRect area = rect().adjusted(-margin, -margin, margin, margin);
    QImage image(int(std::ceil(area.width() * dpr)), int(std::ceil(area.height() * dpr)),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    // Each widget from the window down, drawing only itself, never this view.
    QList<QWidget*> chain;
    for (QWidget* w = parentWidget(); w; w = w->isWindow() ? nullptr : w->parentWidget()) {
        chain.prepend(w);
    }
    for (QWidget* w : std::as_const(chain)) {
        w->render(&image, QPoint(), QRegion(area.translated(mapTo(w, QPoint(0, 0)))),
                  QWidget::DrawWindowBackground);
    }
    return image;
}

void VisualEffectBlur::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath outline = shape();
    painter.setClipPath(outline);
    if (m_blendingMode == BlendingMode::withinWindow && parentWidget()) {
        // Drawn with room around it, so the blur near the edges takes in what lies beyond them.
        const qreal sigma = ImageBlur::sigmaForRadius(blurRadius);
        const int margin = int(std::ceil(3 * sigma));
        const qreal dpr = devicePixelRatioF();
        painter.drawImage(QPointF(-margin, -margin), ImageBlur::blurred(backdrop(margin, dpr), sigma * dpr));
    }
    QColor tint = materialColor(m_material, m_colorScheme.current());
    if (m_blendingMode == BlendingMode::behindWindow && Panel::drawsOpaqueMaterial(this)) {
        // Nothing blurs the desktop behind this window: what shows through would be sharp.
        tint.setAlphaF(1);
    }
    painter.fillPath(outline, tint);
}
