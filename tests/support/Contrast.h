#pragma once

#include <QColor>
#include <QImage>

#include <algorithm>
#include <cmath>

// Contrast as the accessibility guidelines measure it, for tests that look at what a user sees.
namespace Contrast {

inline double luminance(const QColor& color) {
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

inline double ratio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// How many pixels of `image` stand out from `background` at 3:1 or better.
inline int legiblePixels(const QImage& image, const QColor& background) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += ratio(image.pixelColor(x, y), background) >= 3.0;
        }
    }
    return count;
}

} // namespace Contrast
