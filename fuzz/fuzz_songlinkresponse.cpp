// Decoding of a link-conversion answer from any bytes: the network may deliver anything.
#include "SongLinkModels.h"
#include "TextCounting.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

// What decoding hands on is bounded: a link only as a usable one, any other text cut short.
void checkLink(const std::optional<QString>& link) {
    if (link && !SongLinkResponse::isUsableLink(*link)) {
        __builtin_trap();
    }
}

void checkText(const std::optional<QString>& text) {
    if (text && TextCounting::characterCount(*text) > SongLinkResponse::maxTextCharacters) {
        __builtin_trap();
    }
}

void checkBounds(const SongLinkResponse& response) {
    checkLink(response.pageUrl);
    checkText(response.entityUniqueId);
    checkText(response.userCountry);
    for (const PlatformLink& link : response.linksByPlatform.value_or(QMap<QString, PlatformLink>())) {
        checkLink(link.url);
        checkText(link.nativeAppUriMobile);
        checkText(link.nativeAppUriDesktop);
        checkText(link.entityUniqueId);
    }
    for (const SongEntity& entity : response.entitiesByUniqueId.value_or(QMap<QString, SongEntity>())) {
        checkLink(entity.thumbnailUrl);
        checkText(entity.id);
        checkText(entity.type);
        checkText(entity.title);
        checkText(entity.artistName);
        checkText(entity.apiProvider);
        for (const QString& platform : entity.platforms.value_or(QStringList())) {
            checkText(platform);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy, as the network reply hands over its body.
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    SongLinkResponse::DecodingError error;
    const std::optional<SongLinkResponse> response = SongLinkResponse::decode(body, &error);
    // Either an answer or a reason, never both and never neither.
    if (response.has_value() != error.message.isEmpty()) {
        __builtin_trap();
    }
    if (response) {
        checkBounds(*response);
    }
    return 0;
}
