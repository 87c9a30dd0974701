#include "TextCounting.h"

#include <QTextBoundaryFinder>

namespace TextCounting {

namespace {
// Calls f(boundary position) for each grapheme boundary after the start; stops when f returns false.
template <typename F> void forEachBoundary(const QString& text, F f) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toStart();
    while (finder.toNextBoundary() > 0) {
        if (!f(finder.position())) {
            return;
        }
    }
}
} // namespace

qsizetype characterCount(const QString& text) {
    qsizetype count = 0;
    forEachBoundary(text, [&](qsizetype) {
        ++count;
        return true;
    });
    return count;
}

bool exceeds(const QString& text, qsizetype limit) {
    if (text.size() <= limit) {
        return false; // a character takes at least one UTF-16 unit
    }
    qsizetype count = 0;
    forEachBoundary(text, [&](qsizetype) { return ++count <= limit; });
    return count > limit;
}

QString prefix(const QString& text, qsizetype n) {
    if (n <= 0) {
        return {};
    }
    qsizetype count = 0;
    qsizetype end = text.size();
    forEachBoundary(text, [&](qsizetype position) {
        if (++count == n) {
            end = position;
            return false;
        }
        return true;
    });
    return text.left(end);
}

QString prefix(const QString& text, qsizetype n, qsizetype maxUtf8Bytes) {
    qsizetype count = 0;
    qsizetype bytes = 0;
    qsizetype end = 0;
    forEachBoundary(text, [&](qsizetype position) {
        bytes += QStringView(text).mid(end, position - end).toUtf8().size();
        if (count == n || bytes > maxUtf8Bytes) {
            return false;
        }
        ++count;
        end = position;
        return true;
    });
    return text.left(end);
}

} // namespace TextCounting
