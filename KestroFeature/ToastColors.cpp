#include "ToastColors.h"

#include "SystemColors.h"

namespace ToastColors {

namespace {
QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b), 1.0f);
}

const QColor& spotifyGreen() {
    static const QColor color = rgb(0.075, 0.665, 0.295);
    return color;
}
const QColor& youtubeRed() {
    static const QColor color = rgb(1.0, 0, 0);
    return color;
}
const QColor& yandexYellow() {
    static const QColor color = rgb(1.0, 0.8, 0);
    return color;
}
const QColor& tidalCyan() {
    static const QColor color = rgb(0, 0.75, 0.75);
    return color;
}
const QColor& soundcloudOrange() {
    static const QColor color = rgb(1.0, 0.33, 0);
    return color;
}
} // namespace

QColor brandTeal() {
    return rgb(0.125, 0.776, 0.761);
}
QColor brandTealDeep() {
    return rgb(0.031, 0.569, 0.557);
}

QColor brandColor(Platform platform, Scheme scheme) {
    switch (platform) {
    case Platform::spotify:
        return spotifyGreen();
    case Platform::appleMusic:
        return SystemColors::systemPink(scheme);
    case Platform::youtubeMusic:
        return youtubeRed();
    case Platform::yandexMusic:
        return yandexYellow();
    case Platform::tidal:
        return tidalCyan();
    case Platform::soundcloud:
        return soundcloudOrange();
    }
    return spotifyGreen();
}

QList<QColor> buttonGradient(Platform platform, Scheme scheme) {
    const QColor middle = brandColor(platform, scheme);
    switch (platform) {
    case Platform::spotify:
        return {rgb(0.12, 0.75, 0.38), middle, rgb(0.05, 0.55, 0.24)};
    case Platform::appleMusic:
        return {rgb(1.0, 0.35, 0.55), middle, rgb(0.9, 0.2, 0.4)};
    case Platform::youtubeMusic:
        return {rgb(1.0, 0.2, 0.2), middle, rgb(0.8, 0, 0)};
    case Platform::yandexMusic:
        return {rgb(1.0, 0.85, 0.2), middle, rgb(0.9, 0.7, 0)};
    case Platform::tidal:
        return {rgb(0.15, 0.85, 0.85), middle, rgb(0, 0.6, 0.6)};
    case Platform::soundcloud:
        return {rgb(1.0, 0.45, 0.15), middle, rgb(0.85, 0.25, 0)};
    }
    return {middle};
}

QList<QColor> universalGradient() {
    return {brandTeal(), brandTealDeep()};
}

QColor buttonTextColor(Platform platform) {
    return platform == Platform::yandexMusic ? rgb(0.2, 0.15, 0) : QColor(Qt::white);
}

QList<QColor> slateGradient() {
    return {rgb(0.45, 0.45, 0.55), rgb(0.35, 0.35, 0.45), rgb(0.28, 0.28, 0.38)};
}
QColor slateShadow() {
    return rgb(0.35, 0.35, 0.45);
}
QColor popoverBackground() {
    return rgb(0.247, 0.251, 0.259);
}

} // namespace ToastColors
