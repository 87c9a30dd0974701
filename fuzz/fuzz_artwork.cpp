// The checks a cover passes before any decoder sees it, from any bytes: covers come from servers
// we do not control.
#include "ArtworkDecoder.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {

quint32 bigEndian32(const char* at) {
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (ArtworkDecoder::isBoundedJpeg(bytes) && ArtworkDecoder::formatOf(bytes) != "jpeg" &&
        !bytes.startsWith("\xFF\xD8")) {
        __builtin_trap();
    }
    const std::optional<QByteArray> png = ArtworkDecoder::essentialPng(bytes);
    if (!png) {
        return 0;
    }
    // What goes on to the decoder: never more than came, whole chunks of the five kinds a picture
    // needs, IHDR first and IEND last.
    if (png->size() > bytes.size() || !png->startsWith("\x89PNG\r\n\x1A\n")) {
        __builtin_trap();
    }
    qsizetype at = 8;
    QByteArrayView type;
    while (at < png->size()) {
        if (png->size() - at < 12) {
            __builtin_trap();
        }
        const qsizetype whole = 12 + qsizetype(bigEndian32(png->constData() + at));
        type = QByteArrayView(png->constData() + at + 4, 4);
        if ((at == 8) != (type == "IHDR") ||
            !(type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "IDAT" || type == "IEND") ||
            whole > png->size() - at) {
            __builtin_trap();
        }
        at += whole;
    }
    if (type != "IEND") {
        __builtin_trap();
    }
    // The image data bound reads only the header and the image data, which the rebuilt PNG keeps
    // as they came.
    if (ArtworkDecoder::isBoundedPng(*png) != ArtworkDecoder::isBoundedPng(bytes)) {
        __builtin_trap();
    }
    return 0;
}
