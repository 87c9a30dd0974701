#include "Shadow.h"

#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace Shadow {

namespace {

// Box widths whose three passes approximate a Gaussian of sigma.
std::array<int, 3> boxesForGauss(qreal sigma) {
    const int n = 3;
    const qreal ideal = std::sqrt(12 * sigma * sigma / n + 1);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0) {
        --lower;
    }
    const int upper = lower + 2;
    const qreal m =
        std::round((12 * sigma * sigma - n * lower * lower - 4 * n * lower - 3 * n) / (-4 * lower - 4));
    std::array<int, 3> sizes{};
    for (int i = 0; i < n; ++i) {
        sizes[size_t(i)] = i < m ? lower : upper;
    }
    return sizes;
}

// One running-sum box pass along rows (horizontal) or columns.
void boxPass(std::vector<float>& src, std::vector<float>& dst, int width, int height, int radius,
             bool horizontal) {
    const int lines = horizontal ? height : width;
    const int length = horizontal ? width : height;
    const float scale = 1.0f / float(2 * radius + 1);
    for (int line = 0; line < lines; ++line) {
        auto at = [&](int i) -> size_t {
            return horizontal ? size_t(line) * size_t(width) + size_t(i)
                              : size_t(i) * size_t(width) + size_t(line);
        };
        float sum = 0;
        for (int i = -radius; i <= radius; ++i) {
            if (i >= 0 && i < length) {
                sum += src[at(i)];
            }
        }
        for (int i = 0; i < length; ++i) {
            dst[at(i)] = sum * scale;
            const int out = i - radius;
            const int in = i + radius + 1;
            if (out >= 0) {
                sum -= src[at(out)];
            }
            if (in < length) {
                sum += src[at(in)];
            }
        }
    }
}

} // namespace

QImage render(const QPainterPath& path, const QColor& color, qreal sigma, qreal devicePixelRatio,
              QPointF* origin) {
    const qreal spread = std::ceil(sigma * 3) + 1;
    const QRectF bounds = path.boundingRect().adjusted(-spread, -spread, spread, spread);
    if (origin) {
        *origin = bounds.topLeft();
    }
    const int width = int(std::ceil(bounds.width() * devicePixelRatio));
    const int height = int(std::ceil(bounds.height() * devicePixelRatio));
    if (width <= 0 || height <= 0) {
        return {};
    }
    QImage mask(width, height, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(devicePixelRatio, devicePixelRatio);
        p.translate(-bounds.topLeft());
        p.fillPath(path, Qt::black);
    }

    std::vector<float> a(size_t(width) * size_t(height));
    std::vector<float> b(a.size());
    for (int y = 0; y < height; ++y) {
        const uchar* line = mask.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            a[size_t(y) * size_t(width) + size_t(x)] = line[x];
        }
    }
    if (sigma > 0) {
        for (int box : boxesForGauss(sigma * devicePixelRatio)) {
            const int radius = (box - 1) / 2;
            boxPass(a, b, width, height, radius, true);
            boxPass(b, a, width, height, radius, false);
        }
    }

    QImage out(width, height, QImage::Format_ARGB32_Premultiplied);
    const QRgb tint = color.rgba();
    const float alpha = float(qAlpha(tint)) / 255.0f;
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const float coverage = a[size_t(y) * size_t(width) + size_t(x)] / 255.0f * alpha;
            const int a8 = std::clamp(int(std::lround(coverage * 255)), 0, 255);
            line[x] = qPremultiply(qRgba(qRed(tint), qGreen(tint), qBlue(tint), a8));
        }
    }
    out.setDevicePixelRatio(devicePixelRatio);
    return out;
}

void paint(QPainter& painter, const QPainterPath& path, const QColor& color, qreal radius, QPointF offset) {
    if (color.alpha() == 0) {
        return;
    }
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    QPointF origin;
    const QImage image = render(path, color, radius / 2, dpr, &origin);
    if (!image.isNull()) {
        painter.drawImage(origin + offset, image);
    }
}

} // namespace Shadow
