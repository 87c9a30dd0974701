#include "ImageBlur.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace ImageBlur {

namespace {

// Four premultiplied channels per pixel, row after row.
using Pixels = std::vector<float>;

// Box widths whose three passes approximate a Gaussian of sigma (each odd, at least 1).
std::array<int, 3> boxesForGauss(qreal sigma) {
    const qreal ideal = std::sqrt(12 * sigma * sigma / 3 + 1);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0) {
        --lower;
    }
    lower = std::max(lower, 1);
    const int upper = lower + 2;
    const qreal m = std::round((12 * sigma * sigma - 3 * lower * lower - 12 * lower - 9) / (-4 * lower - 4));
    std::array<int, 3> widths{};
    for (int i = 0; i < 3; ++i) {
        widths[size_t(i)] = i < m ? lower : upper;
    }
    return widths;
}

// Index of pixel i of a line, rows when `horizontal`, else columns.
struct Line {
    int width;
    bool horizontal;
    int line;
    size_t at(int i) const {
        return 4 * (horizontal ? size_t(line) * size_t(width) + size_t(i)
                               : size_t(i) * size_t(width) + size_t(line));
    }
};

void boxPass(const Pixels& src, Pixels& dst, int width, int height, int radius, bool horizontal) {
    const int lines = horizontal ? height : width;
    const int length = horizontal ? width : height;
    const float scale = 1.0f / float(2 * radius + 1);
    for (int line = 0; line < lines; ++line) {
        const Line l{width, horizontal, line};
        std::array<float, 4> sum{};
        for (int i = 0; i <= std::min(radius, length - 1); ++i) {
            for (size_t c = 0; c < 4; ++c) {
                sum[c] += src[l.at(i) + c];
            }
        }
        for (int i = 0; i < length; ++i) {
            for (size_t c = 0; c < 4; ++c) {
                dst[l.at(i) + c] = sum[c] * scale;
            }
            const int out = i - radius;
            const int in = i + radius + 1;
            for (size_t c = 0; c < 4; ++c) {
                if (out >= 0) {
                    sum[c] -= src[l.at(out) + c];
                }
                if (in < length) {
                    sum[c] += src[l.at(in) + c];
                }
            }
        }
    }
}

// Boxes cannot make the soft edge of a blur below a pixel or two: a true kernel does.
void kernelPass(const Pixels& src, Pixels& dst, int width, int height, const std::vector<float>& kernel,
                bool horizontal) {
    const int lines = horizontal ? height : width;
    const int length = horizontal ? width : height;
    const int radius = int(kernel.size() / 2);
    for (int line = 0; line < lines; ++line) {
        const Line l{width, horizontal, line};
        for (int i = 0; i < length; ++i) {
            std::array<float, 4> sum{};
            for (int k = -radius; k <= radius; ++k) {
                const int j = i + k;
                if (j < 0 || j >= length) {
                    continue;
                }
                const float w = kernel[size_t(k + radius)];
                for (size_t c = 0; c < 4; ++c) {
                    sum[c] += src[l.at(j) + c] * w;
                }
            }
            for (size_t c = 0; c < 4; ++c) {
                dst[l.at(i) + c] = sum[c];
            }
        }
    }
}

std::vector<float> gaussKernel(qreal sigma) {
    const int radius = std::max(1, int(std::ceil(sigma * 3)));
    std::vector<float> kernel(size_t(2 * radius + 1));
    float total = 0;
    for (int i = -radius; i <= radius; ++i) {
        const float w = float(std::exp(-(i * i) / (2 * sigma * sigma)));
        kernel[size_t(i + radius)] = w;
        total += w;
    }
    for (float& w : kernel) {
        w /= total;
    }
    return kernel;
}

} // namespace

QImage blurred(const QImage& image, qreal sigma) {
    QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (source.isNull() || sigma <= 0) {
        return source;
    }
    const int width = source.width();
    const int height = source.height();
    Pixels a(size_t(width) * size_t(height) * 4);
    Pixels b(a.size());
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const size_t i = 4 * (size_t(y) * size_t(width) + size_t(x));
            a[i] = float(qAlpha(line[x]));
            a[i + 1] = float(qRed(line[x]));
            a[i + 2] = float(qGreen(line[x]));
            a[i + 3] = float(qBlue(line[x]));
        }
    }
    if (sigma < 2) {
        const std::vector<float> kernel = gaussKernel(sigma);
        kernelPass(a, b, width, height, kernel, true);
        kernelPass(b, a, width, height, kernel, false);
    } else {
        for (int box : boxesForGauss(sigma)) {
            const int radius = (box - 1) / 2;
            boxPass(a, b, width, height, radius, true);
            boxPass(b, a, width, height, radius, false);
        }
    }
    QImage out(width, height, QImage::Format_ARGB32_Premultiplied);
    auto channel = [](float v) { return std::clamp(int(std::lround(v)), 0, 255); };
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const size_t i = 4 * (size_t(y) * size_t(width) + size_t(x));
            const int alpha = channel(a[i]);
            // Premultiplied: no channel may exceed the alpha after rounding.
            line[x] = qRgba(std::min(channel(a[i + 1]), alpha), std::min(channel(a[i + 2]), alpha),
                            std::min(channel(a[i + 3]), alpha), alpha);
        }
    }
    out.setDevicePixelRatio(image.devicePixelRatio());
    return out;
}

} // namespace ImageBlur
