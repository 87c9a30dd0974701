#pragma once

#include <QFont>
#include <QList>
#include <QString>

// The views' font at exact pixel sizes (a point size renders a third larger here), with the
// sizes of the named text styles. The family is Inter where it is installed: its Medium and
// Semibold faces are real and its widths close to the design's. Elsewhere the desktop's font
// stands in, each weight taken as the nearest one that font really has.
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

// The family in use.
QString family();
// The preferred family, when it is installed with all the weights the views use.
inline constexpr char preferredFamily[] = "Inter";

// Of the weights a family has, the one nearest to `wanted`; of two equally near, the one
// nearer to regular. `wanted` itself with nothing to choose from.
int nearestWeight(const QList<int>& available, int wanted);

// Tests: use `family` from now on (an empty one: choose again as the program does).
void setFamilyForTesting(const QString& family);

// Whether some installed font can draw the character: fontconfig's character sets, merged once,
// and for a script Qt shapes only with OpenType, a font whose GSUB table names it. Qt looks for
// a character no font draws through every installed font, again for each script and size;
// with a desktop's many fonts that takes seconds.
bool installedFontsHave(char32_t character);

// The size a symbol takes when nothing sets one.
inline constexpr int symbolDefaultSize = 17;

} // namespace SystemFont
