#pragma once

#include <QFont>

// The desktop's font at exact pixel sizes (a point size renders a third larger here), with
// the sizes of the named text styles.
namespace SystemFont {

enum class TextStyle {
    largeTitle,
    title,
    title2,
    title3,
    headline,
    body,
    callout,
    subheadline,
    footnote,
    caption,
    caption2
};

QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont font(TextStyle style);
int pixelSize(TextStyle style);

// The size a symbol takes when nothing sets one.
inline constexpr int symbolDefaultSize = 17;

} // namespace SystemFont
