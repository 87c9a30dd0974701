#pragma once

#include <QImage>

// Gaussian blur of a whole picture, colour and alpha alike, for the soft layers of the toast's
// animations and its blurred backgrounds. `sigma` is in the image's device pixels.
namespace ImageBlur {

// The blurred image in premultiplied ARGB, at the size and device pixel ratio of `image`;
// what lies outside the image counts as transparent.
QImage blurred(const QImage& image, qreal sigma);

// The sigma that matches a view's blur radius in points.
inline qreal sigmaForRadius(qreal radius) {
    return radius / 2;
}

} // namespace ImageBlur
