#include "SystemColors.h"

#include <algorithm>

namespace SystemColors {

namespace {
bool dark(Scheme scheme) {
    return scheme == Scheme::dark;
}
QColor rgba(double r, double g, double b, double a) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}
} // namespace

QColor primaryLabel(Scheme scheme) {
    return dark(scheme) ? rgba(1, 1, 1, 0.85) : rgba(0, 0, 0, 0.85);
}
QColor secondaryLabel(Scheme scheme) {
    return dark(scheme) ? rgba(1, 1, 1, 0.55) : rgba(0, 0, 0, 0.5);
}
QColor tertiaryLabel(Scheme scheme) {
    return dark(scheme) ? rgba(1, 1, 1, 0.25) : rgba(0, 0, 0, 0.26);
}
QColor systemGray() {
    return rgba(0.557, 0.557, 0.576, 1);
}
QColor systemPink(Scheme scheme) {
    return dark(scheme) ? rgba(1.0, 0.216, 0.373, 1) : rgba(1.0, 0.176, 0.333, 1);
}
QColor windowBackground(Scheme scheme) {
    return dark(scheme) ? rgba(0.196, 0.196, 0.196, 1) : rgba(0.925, 0.925, 0.925, 1);
}
QColor regularMaterial(Scheme scheme, bool opaque) {
    const double alpha = opaque ? 1.0 : 0.78;
    return dark(scheme) ? rgba(0.157, 0.157, 0.157, alpha) : rgba(1, 1, 1, alpha);
}

QColor withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(float(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
    return color;
}

QColor brightened(QColor color, qreal amount) {
    if (amount == 0) {
        return color;
    }
    auto lift = [amount](float c) { return float(std::clamp(c + amount, 0.0, 1.0)); };
    return QColor::fromRgbF(lift(color.redF()), lift(color.greenF()), lift(color.blueF()), color.alphaF());
}

QColor mix(const QColor& from, const QColor& to, qreal t) {
    auto lerp = [t](float a, float b) { return float(a + (b - a) * t); };
    return QColor::fromRgbF(lerp(from.redF(), to.redF()), lerp(from.greenF(), to.greenF()),
                            lerp(from.blueF(), to.blueF()), lerp(from.alphaF(), to.alphaF()));
}

} // namespace SystemColors
