#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QPointF>

class QPainter;

// Soft shadows and glows: a shape's coverage blurred with a Gaussian (three box passes) and
// tinted. A view shadow of radius r blurs with sigma r / 2.
namespace Shadow {

// The tinted, blurred shape as an image at `devicePixelRatio`; `origin` receives where the
// image's top-left corner lies in the path's coordinates.
QImage render(const QPainterPath& path, const QColor& color, qreal sigma, qreal devicePixelRatio,
              QPointF* origin);

// Paints the blurred shape under whatever the painter draws next.
void paint(QPainter& painter, const QPainterPath& path, const QColor& color, qreal radius,
           QPointF offset = {});

} // namespace Shadow
