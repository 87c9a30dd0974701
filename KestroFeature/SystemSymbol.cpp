#include "SystemSymbol.h"

#include "KestroResources.h"

#include <QFile>
#include <QHash>
#include <QPaintDevice>
#include <QPainter>
#include <QSvgRenderer>

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

// Stroke width (in the drawings' 24-unit grid) for a font weight.
QByteArray strokeWidth(QFont::Weight weight) {
    if (weight >= QFont::Bold) {
        return "3";
    }
    if (weight >= QFont::DemiBold) {
        return "2.6";
    }
    if (weight >= QFont::Medium) {
        return "2.3";
    }
    return "2";
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
    svg.replace("stroke-width=\"2\"", "stroke-width=\"" + strokeWidth(weight) + "\"");
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
