#pragma once

#include "ColorScheme.h"

#include <QColor>

// The desktop-neutral stand-ins for the standard colours the views name (label colours,
// window background, the translucent card material), picked by the detected scheme and
// never by the Qt palette.
namespace SystemColors {

using Scheme = ColorScheme::Scheme;

QColor primaryLabel(Scheme scheme);
QColor secondaryLabel(Scheme scheme);
QColor tertiaryLabel(Scheme scheme);
QColor systemGray();
QColor systemPink(Scheme scheme);
QColor windowBackground(Scheme scheme);
// The card fill that lets what lies behind shine through; `opaque` where nothing blurs it.
QColor regularMaterial(Scheme scheme, bool opaque = false);

// The colour with its opacity multiplied by `opacity`.
QColor withOpacity(QColor color, qreal opacity);
// Adds `amount` to each colour component (clamped), as a brightness adjustment does.
QColor brightened(QColor color, qreal amount);
// Straight mix: 0 gives `from`, 1 gives `to`.
QColor mix(const QColor& from, const QColor& to, qreal t);

} // namespace SystemColors
