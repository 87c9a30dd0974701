#pragma once

#include <QString>

#include <functional>

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

// Most scripts a line is laid out in: Qt loads fonts for each script of a line, at each size.
inline constexpr int maxScripts = 6;
// The text as a line of it is laid out: without the characters that `drawable` says no font
// has, which Qt looks for through every fallback font, and cut with an ellipsis where a script
// beyond maxScripts would begin. Either could hold the GUI thread for seconds.
QString forLayout(const QString& text, const std::function<bool(char32_t)>& drawable);
} // namespace TextCounting
