#include "Appcast.h"

#include "TransportRule.h"

#include <QTextBoundaryFinder>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

const QString sparkleNamespace = QStringLiteral("http://www.andymatuschak.org/xml-namespaces/sparkle");

// Feed texts end up in the update dialog, whose label would take many seconds to lay out the
// megabytes a feed may hold: each is cut to 2,000 UTF-16 code units (at a character's boundary
// where one lies within them: one character may join thousands) and to its first 500
// user-perceived characters. Direction controls are dropped: inside the program's own sentence a
// version's U+202E would turn the rest of it around.
QString bounded(QString text) {
    constexpr qsizetype maxCharacters = 500;
    constexpr qsizetype maxLength = 2000;
    if (text.size() > maxLength) {
        // What follows the cut decides whether a boundary lies right at it; a little of it is enough.
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.left(maxLength + 64));
        finder.setPosition(maxLength);
        qsizetype end = finder.isAtBoundary() ? maxLength : finder.toPreviousBoundary();
        if (end <= 0) {
            end = text.at(maxLength - 1).isHighSurrogate() ? maxLength - 1 : maxLength;
        }
        text.truncate(end);
    }
    text.removeIf([](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
    });
    if (text.size() <= maxCharacters) {
        return text;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0) {
        if (++count == maxCharacters) {
            return text.left(finder.position());
        }
    }
    return text;
}

bool isWebPage(const QUrl& url) {
    return TransportRule::allows(url);
}

// Digits compared as numbers of any length.
int compareNumbers(QStringView a, QStringView b) {
    while (a.size() > 1 && a.front() == u'0') {
        a = a.mid(1);
    }
    while (b.size() > 1 && b.front() == u'0') {
        b = b.mid(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return a.compare(b);
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

struct VersionParts {
    // The digit runs up to the first letter that follows a digit.
    QStringList numbers;
    // From that letter on ("rc1" of "1.0-rc1"): a pre-release of the numbered version.
    QStringView suffix;
};

VersionParts partsOf(const QString& version) {
    VersionParts parts;
    qsizetype i = 0;
    while (i < version.size() && !isDigit(version.at(i))) {
        ++i; // a leading "v" or name is no suffix
    }
    while (i < version.size()) {
        if (isDigit(version.at(i))) {
            const qsizetype start = i;
            while (i < version.size() && isDigit(version.at(i))) {
                ++i;
            }
            parts.numbers.append(version.mid(start, i - start));
        } else if (version.at(i).isLetter()) {
            parts.suffix = QStringView(version).mid(i);
            break;
        } else {
            ++i;
        }
    }
    return parts;
}

int compareNumberLists(const QStringList& left, const QStringList& right) {
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QString l = i < left.size() ? left[i] : QStringLiteral("0");
        const QString r = i < right.size() ? right[i] : QStringLiteral("0");
        if (const int order = compareNumbers(l, r); order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return 0;
}

// Runs of letters (compared as text, ignoring case) and of digits (as numbers), in turn.
int compareSuffixes(QStringView a, QStringView b) {
    const auto runs = [](QStringView text) {
        QList<QStringView> result;
        for (qsizetype i = 0; i < text.size();) {
            const bool digits = isDigit(text.at(i));
            if (!digits && !text.at(i).isLetter()) {
                ++i;
                continue;
            }
            const qsizetype start = i;
            while (i < text.size() && (digits ? isDigit(text.at(i)) : text.at(i).isLetter())) {
                ++i;
            }
            result.append(text.mid(start, i - start));
        }
        return result;
    };
    const QList<QStringView> left = runs(a);
    const QList<QStringView> right = runs(b);
    for (qsizetype i = 0; i < std::min(left.size(), right.size()); ++i) {
        const bool leftDigits = isDigit(left[i].front());
        const bool rightDigits = isDigit(right[i].front());
        int order = 0;
        if (leftDigits && rightDigits) {
            order = compareNumbers(left[i], right[i]);
        } else if (leftDigits != rightDigits) {
            order = leftDigits ? 1 : -1;
        } else {
            order = left[i].compare(right[i], Qt::CaseInsensitive);
        }
        if (order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    return left.size() == right.size() ? 0 : (left.size() < right.size() ? -1 : 1);
}

// One <item>; none when it names no version or is meant for another system.
std::optional<AppcastItem> readItem(QXmlStreamReader& xml, const QUrl& channelLink) {
    AppcastItem item;
    QString version;
    QString shortVersion;
    QString enclosureVersion;
    QString enclosureShortVersion;
    QUrl link;
    QUrl enclosureUrl;
    bool otherSystem = false;
    while (xml.readNextStartElement()) {
        const QStringView ns = xml.namespaceUri();
        const QStringView name = xml.name();
        if (ns.isEmpty() && name == u"title") {
            item.title = bounded(xml.readElementText().trimmed());
        } else if (ns.isEmpty() && name == u"link") {
            link = QUrl(xml.readElementText().trimmed());
        } else if (ns == sparkleNamespace && name == u"version") {
            version = bounded(xml.readElementText().trimmed());
        } else if (ns == sparkleNamespace && name == u"shortVersionString") {
            shortVersion = bounded(xml.readElementText().trimmed());
        } else if (ns.isEmpty() && name == u"enclosure") {
            const QXmlStreamAttributes attributes = xml.attributes();
            enclosureUrl = QUrl(attributes.value(QStringLiteral("url")).toString().trimmed());
            enclosureVersion =
                bounded(attributes.value(sparkleNamespace, QStringLiteral("version")).toString().trimmed());
            enclosureShortVersion =
                bounded(attributes.value(sparkleNamespace, QStringLiteral("shortVersionString"))
                            .toString()
                            .trimmed());
            const QStringView os = attributes.value(sparkleNamespace, QStringLiteral("os"));
            otherSystem = !os.isEmpty() && os != u"linux";
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    item.version = version.isEmpty() ? enclosureVersion : version;
    if (item.version.isEmpty() || otherSystem) {
        return std::nullopt;
    }
    const QString display = shortVersion.isEmpty() ? enclosureShortVersion : shortVersion;
    item.displayVersion = display.isEmpty() ? item.version : display;
    for (const QUrl& candidate : {link, enclosureUrl, channelLink}) {
        if (isWebPage(candidate)) {
            item.downloadPage = candidate;
            break;
        }
    }
    return item;
}

} // namespace

int Appcast::compareVersions(const QString& a, const QString& b) {
    const VersionParts left = partsOf(a);
    const VersionParts right = partsOf(b);
    if (const int order = compareNumberLists(left.numbers, right.numbers); order != 0) {
        return order;
    }
    // "0.1.0-rc1" comes before "0.1.0".
    if (left.suffix.isEmpty() != right.suffix.isEmpty()) {
        return left.suffix.isEmpty() ? 1 : -1;
    }
    return compareSuffixes(left.suffix, right.suffix);
}

std::optional<QList<AppcastItem>> Appcast::parse(const QByteArray& feed) {
    QXmlStreamReader xml(feed);
    if (!xml.readNextStartElement() || xml.name() != u"rss" || !xml.namespaceUri().isEmpty()) {
        return std::nullopt;
    }
    QList<AppcastItem> items;
    qsizetype itemsRead = 0;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        QUrl channelLink;
        while (xml.readNextStartElement()) {
            if (xml.namespaceUri().isEmpty() && xml.name() == u"link") {
                channelLink = QUrl(xml.readElementText().trimmed());
            } else if (xml.namespaceUri().isEmpty() && xml.name() == u"item") {
                if (std::optional<AppcastItem> item = readItem(xml, channelLink)) {
                    items.append(*item);
                }
                // Feeds list the newest first; the rest is not read at all.
                if (++itemsRead >= maxItems) {
                    return xml.hasError() ? std::nullopt : std::optional(items);
                }
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    // Reads to the end so that a feed cut short is caught.
    while (!xml.atEnd()) {
        xml.readNext();
    }
    if (xml.hasError()) {
        return std::nullopt;
    }
    return items;
}

std::optional<AppcastItem> Appcast::newestUpdate(const QList<AppcastItem>& items,
                                                 const QString& currentVersion) {
    std::optional<AppcastItem> newest;
    for (const AppcastItem& item : items) {
        if (compareVersions(item.version, currentVersion) > 0 &&
            (!newest || compareVersions(item.version, newest->version) > 0)) {
            newest = item;
        }
    }
    return newest;
}
