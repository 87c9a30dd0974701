#include "TextCounting.h"

#include <QList>
#include <QTextBoundaryFinder>
#include <QVarLengthArray>

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
    return prefix(text, limit).size() < text.size();
}

QString prefix(const QString& text, qsizetype n) {
    if (n <= 0) {
        return {};
    }
    if (text.size() <= n) {
        return text; // a character takes at least one UTF-16 unit
    }
    // The boundary finder works through its whole text up front, which costs seconds for the
    // megabytes a server may send; a window a few times longer than the cut serves almost always.
    // A boundary before the window's end depends only on what lies inside it, so the cut found
    // there is exact; only a text of unusually long characters needs the whole text.
    const qsizetype window = n * 8 + 64;
    if (text.size() > window) {
        const QString head = text.left(window);
        qsizetype count = 0;
        qsizetype end = -1;
        forEachBoundary(head, [&](qsizetype position) {
            if (++count == n) {
                end = position;
                return false;
            }
            return true;
        });
        if (end >= 0 && end < head.size()) {
            return text.left(end);
        }
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

QString withinLength(const QString& text, qsizetype maxUnits) {
    if (text.size() <= maxUnits) {
        return text;
    }
    if (maxUnits <= 0) {
        return {};
    }
    // What follows the cut decides whether a boundary lies right at it; a little of it is enough.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.left(maxUnits + 64));
    finder.setPosition(maxUnits);
    qsizetype end = finder.isAtBoundary() ? maxUnits : finder.toPreviousBoundary();
    if (end <= 0) {
        end = maxUnits;
        if (text.at(end - 1).isHighSurrogate() && text.at(end).isLowSurrogate()) {
            --end;
        }
    }
    return text.left(end);
}

QString forLayout(const QString& text, const std::function<bool(char32_t)>& drawable) {
    QList<char32_t> laid;
    QVarLengthArray<QChar::Script, maxScripts> scripts;
    for (const char32_t c : text.toUcs4()) { // a lone surrogate comes as U+FFFD
        if (!drawable(c)) {
            continue;
        }
        // Common and inherited characters (spaces, digits, marks) take their neighbours' fonts.
        const QChar::Script script = QChar::script(c);
        if (script > QChar::Script_Common && !scripts.contains(script)) {
            if (scripts.size() == maxScripts) {
                laid.append(0x2026);
                break;
            }
            scripts.append(script);
        }
        laid.append(c);
    }
    return QString::fromUcs4(laid.constData(), laid.size());
}

} // namespace TextCounting
