// Reading of an update feed from any bytes: the feed comes from a server we do not control.
#include "Appcast.h"
#include "TransportRule.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

// Feed texts are cut to 500 characters; a character takes a few UTF-16 units at most, barring
// long runs of combining marks.
constexpr qsizetype maxTextUnits = 500 * 8 + 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray feed(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<QList<AppcastItem>> items = Appcast::parse(feed);
    if (!items) {
        return 0;
    }
    if (items->size() > Appcast::maxItems) {
        __builtin_trap();
    }
    for (const AppcastItem& item : *items) {
        if (item.version.isEmpty() || item.displayVersion.isEmpty() || item.title.size() > maxTextUnits ||
            item.version.size() > maxTextUnits || item.displayVersion.size() > maxTextUnits) {
            __builtin_trap();
        }
        // Only a web page the program may talk to is ever offered for download.
        if (!item.downloadPage.isEmpty() && !TransportRule::allows(item.downloadPage)) {
            __builtin_trap();
        }
    }
    // The order of versions is an order: reflexive and antisymmetric on what feeds hold.
    for (qsizetype i = 0; i + 1 < items->size() && i < 16; ++i) {
        const QString& a = items->at(i).version;
        const QString& b = items->at(i + 1).version;
        if (Appcast::compareVersions(a, a) != 0 ||
            Appcast::compareVersions(a, b) != -Appcast::compareVersions(b, a)) {
            __builtin_trap();
        }
    }
    // Nothing listed is newer than the one offered.
    const QString current = items->isEmpty() ? QString() : items->first().version;
    if (const std::optional<AppcastItem> newest = Appcast::newestUpdate(*items, current)) {
        for (const AppcastItem& item : *items) {
            if (Appcast::compareVersions(item.version, newest->version) > 0) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
