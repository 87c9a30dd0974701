#pragma once

#include <QString>

// Counting in user-perceived characters (grapheme clusters), so a cut never splits an emoji
// or a letter from its accent.
namespace TextCounting {
// Number of user-perceived characters.
qsizetype characterCount(const QString& text);
// True when the text has more than the given number of user-perceived characters.
bool exceeds(const QString& text, qsizetype limit);
// The first n user-perceived characters.
QString prefix(const QString& text, qsizetype n);
// The first n user-perceived characters, fewer where they would take more than maxUtf8Bytes
// (a character may carry thousands of combining marks).
QString prefix(const QString& text, qsizetype n, qsizetype maxUtf8Bytes);
// At most maxUnits UTF-16 code units, cut at the last grapheme boundary within them; where none
// lies within (one character of thousands of joined emoji), cut there anyway, never inside a
// surrogate pair. A single character can take seconds to draw.
QString withinLength(const QString& text, qsizetype maxUnits);
} // namespace TextCounting
