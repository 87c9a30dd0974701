#include "SystemSymbol.h"

#include "KestroResources.h"

#include <QFile>
#include <QHash>
#include <QPaintDevice>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>

namespace SystemSymbol {

namespace {

QByteArray source(const QString& name) {
    static QHash<QString, QByteArray> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        QFile file(KestroResources::symbolPath(name));
        it = cache.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    }
    return *it;
}

// Stroke width (in the drawings' 24-unit grid) for a font weight at a size: the grid's own width,
// but never thinner on screen than the weight's least width in pixels, so that small symbols
// keep their weight as a font's small sizes do.
QByteArray strokeWidth(QFont::Weight weight, qreal size) {
    qreal grid = 2;
    qreal leastPixels = 1.0;
    if (weight >= QFont::Bold) {
        grid = 3;
        leastPixels = 1.6;
    } else if (weight >= QFont::DemiBold) {
        grid = 2.6;
        leastPixels = 1.4;
    } else if (weight >= QFont::Medium) {
        grid = 2.3;
        leastPixels = 1.2;
    }
    const qreal width = size > 0 ? std::max(grid, leastPixels * 24 / size) : grid;
    return QByteArray::number(width, 'f', 2);
}

} // namespace

bool exists(const QString& name) {
    return !source(name).isEmpty();
}

QImage image(const QString& name, qreal size, const QColor& color, QFont::Weight weight,
             qreal devicePixelRatio) {
    QByteArray svg = source(name);
    const int pixels = int(std::ceil(size * devicePixelRatio));
    if (svg.isEmpty() || pixels <= 0) {
        return {};
    }
    svg.replace("stroke-width=\"2\"", "stroke-width=\"" + strokeWidth(weight, size) + "\"");
    QSvgRenderer renderer(svg);
    QImage out(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p, QRectF(0, 0, pixels, pixels));
        // The drawings are black; keep their coverage, take the colour.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(out.rect(), color);
    }
    out.setDevicePixelRatio(devicePixelRatio);
    return out;
}

void paint(QPainter& painter, QPointF center, const QString& name, qreal size, const QColor& color,
           QFont::Weight weight) {
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage symbol = image(name, size, color, weight, dpr);
    if (!symbol.isNull()) {
        painter.drawImage(QRectF(center.x() - size / 2, center.y() - size / 2, size, size), symbol);
    }
}

} // namespace SystemSymbol
