#pragma once

#include "ColorScheme.h"

#include <QColor>

#include <array>
#include <utility>

// Shared colours that differ between the dark and the light appearance. Anything but dark
// takes the light value.
namespace AdaptiveColors {

using Scheme = ColorScheme::Scheme;

QColor accentTeal(Scheme scheme);
QColor accentTealSecondary(Scheme scheme);
QColor success(Scheme scheme);
QColor warning(Scheme scheme);
QColor skeletonBase(Scheme scheme);
QColor skeletonHighlight(Scheme scheme);
QColor placeholderBackground(Scheme scheme);
QColor placeholderSymbol(Scheme scheme);

// The sparks of the success burst.
std::array<QColor, 8> particlePalette(Scheme scheme);
// The tints of the burst's three glow layers.
std::array<QColor, 3> tintPalette(Scheme scheme);
// The burst's centre glow and core.
std::pair<QColor, QColor> highlightPair(Scheme scheme);

} // namespace AdaptiveColors
