#pragma once

#include "ColorScheme.h"
#include "Platform.h"

#include <QColor>
#include <QList>

// The services' brand colours and button gradients of the toast, and the fixed teal that
// stands for the service-neutral song page.
namespace ToastColors {

using Scheme = ColorScheme::Scheme;

QColor brandTeal();
QColor brandTealDeep();

QColor brandColor(Platform platform, Scheme scheme);
// Top to bottom, evenly spaced.
QList<QColor> buttonGradient(Platform platform, Scheme scheme);
QList<QColor> universalGradient();
QColor buttonTextColor(Platform platform);

// The neutral slate of the ask-mode button and its shadow.
QList<QColor> slateGradient();
QColor slateShadow();
// The dark list behind popover rows, the same in both appearances.
QColor popoverBackground();

} // namespace ToastColors
