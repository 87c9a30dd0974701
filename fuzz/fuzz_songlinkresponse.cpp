// Decoding of a link-conversion answer from any bytes: the network may deliver anything.
#include "SongLinkModels.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy, as the network reply hands over its body.
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    SongLinkResponse::DecodingError error;
    const std::optional<SongLinkResponse> response = SongLinkResponse::decode(body, &error);
    // Either an answer or a reason, never both and never neither.
    if (response.has_value() != error.message.isEmpty()) {
        __builtin_trap();
    }
    return 0;
}
