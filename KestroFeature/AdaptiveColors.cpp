#include "AdaptiveColors.h"

namespace AdaptiveColors {

namespace {
bool dark(Scheme scheme) {
    return scheme == Scheme::dark;
}

QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b), 1.0f);
}

// The platform's standard grey at an opacity.
QColor grey(double opacity) {
    return QColor::fromRgbF(0.557f, 0.557f, 0.576f, float(opacity));
}

QColor black(double opacity) {
    return QColor::fromRgbF(0, 0, 0, float(opacity));
}

QColor white() {
    return rgb(1, 1, 1);
}
} // namespace

QColor accentTeal(Scheme scheme) {
    return dark(scheme) ? rgb(0.2, 0.941, 0.918) : rgb(0.0, 0.45, 0.43);
}
QColor accentTealSecondary(Scheme scheme) {
    return dark(scheme) ? rgb(0.2, 0.9, 0.8) : rgb(0.0, 0.42, 0.38);
}
QColor success(Scheme scheme) {
    return dark(scheme) ? rgb(0.204, 0.816, 0.345) : rgb(0.118, 0.557, 0.243);
}
QColor warning(Scheme scheme) {
    return dark(scheme) ? rgb(1.0, 0.624, 0.263) : rgb(0.827, 0.329, 0.0);
}
QColor skeletonBase(Scheme scheme) {
    return dark(scheme) ? grey(0.3) : black(0.12);
}
QColor skeletonHighlight(Scheme scheme) {
    return dark(scheme) ? grey(0.5) : black(0.18);
}
QColor placeholderBackground(Scheme scheme) {
    return dark(scheme) ? grey(0.3) : black(0.1);
}
QColor placeholderSymbol(Scheme scheme) {
    return dark(scheme) ? grey(0.7) : black(0.35);
}

std::array<QColor, 8> particlePalette(Scheme scheme) {
    if (dark(scheme)) {
        return {white(),
                white(),
                rgb(1.0, 0.92, 0.7),
                rgb(1.0, 0.8, 0.85),
                rgb(0.8, 0.9, 1.0),
                rgb(0.85, 1.0, 0.9),
                rgb(1.0, 0.85, 0.7),
                rgb(0.9, 0.8, 1.0)};
    }
    return {rgb(0.3, 0.3, 0.35), rgb(0.35, 0.35, 0.4), rgb(0.8, 0.65, 0.2), rgb(0.85, 0.4, 0.55),
            rgb(0.3, 0.5, 0.8),  rgb(0.2, 0.7, 0.5),   rgb(0.9, 0.55, 0.3), rgb(0.6, 0.4, 0.8)};
}

std::array<QColor, 3> tintPalette(Scheme scheme) {
    if (dark(scheme)) {
        return {rgb(1.0, 0.95, 0.9), rgb(0.95, 0.9, 1.0), rgb(0.9, 0.98, 1.0)};
    }
    return {rgb(0.7, 0.6, 0.4), rgb(0.6, 0.5, 0.7), rgb(0.4, 0.6, 0.7)};
}

std::pair<QColor, QColor> highlightPair(Scheme scheme) {
    if (dark(scheme)) {
        return {white(), rgb(1.0, 0.95, 0.85)};
    }
    return {rgb(0.4, 0.4, 0.45), rgb(0.5, 0.45, 0.4)};
}

} // namespace AdaptiveColors
