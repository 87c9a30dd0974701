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
} // namespace TextCounting
