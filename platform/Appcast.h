#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// One release listed in an appcast feed.
struct AppcastItem {
    QString title;
    // Compared against the running version.
    QString version;
    // Shown to the user; the version when the feed gives none.
    QString displayVersion;
    // Where the user gets it: the item's link, else its enclosure.
    QUrl downloadPage;

    bool operator==(const AppcastItem&) const = default;
};

// Reading of an appcast feed (RSS whose items carry sparkle:version and
// sparkle:shortVersionString, on the item or its enclosure) and the order of its versions.
class Appcast {
public:
    // Only this many items of a feed are read; the rest is ignored.
    static constexpr qsizetype maxItems = 1000;

    // Numeric components compared in turn, a missing one counting as 0; with those equal, a
    // version with letters after its numbers (a pre-release such as "1.0-rc1") is older than
    // the plain one, and two of them compare by what follows: negative, 0 or positive as a is
    // older than, the same as or newer than b.
    static int compareVersions(const QString& a, const QString& b);
    // The releases listed among the first maxItems items; none for a feed that cannot be read.
    static std::optional<QList<AppcastItem>> parse(const QByteArray& feed);
    // The newest release newer than the current version, if any.
    static std::optional<AppcastItem> newestUpdate(const QList<AppcastItem>& items,
                                                   const QString& currentVersion);
};
