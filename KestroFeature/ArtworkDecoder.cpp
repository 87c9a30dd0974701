#include "ArtworkDecoder.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QPointer>
#include <QScopeGuard>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

namespace {

// Set when the event loop has ended: a decode still running then reads no further.
std::atomic<bool> g_stopping{false};

// The input of one decode, at an end once the program is quitting. The decoders read their input
// a few kilobytes at a time as they work, and stop at its end. Not a QBuffer: the JPEG reader
// takes a QBuffer's bytes all at once and would never read again.
class StoppableInput : public QIODevice {
public:
    explicit StoppableInput(QByteArray bytes) : m_bytes(std::move(bytes)) {}

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_bytes.size(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (g_stopping.load(std::memory_order_relaxed)) {
            return -1;
        }
        const qint64 count = std::clamp<qint64>(m_bytes.size() - pos(), 0, maxSize);
        std::memcpy(data, m_bytes.constData() + pos(), size_t(count));
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArray m_bytes;
};

quint32 bigEndian32(const char* at) {
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    return (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
}

quint16 bigEndian16(const char* at) {
    const auto* b = reinterpret_cast<const unsigned char*>(at);
    return quint16((b[0] << 8) | b[1]);
}

// The bytes of one pass of columns x rows pixels once inflated: a filter byte and the packed
// pixels of each row; none for an empty pass.
quint64 passBytes(quint64 columns, quint64 rows, quint64 bitsPerPixel) {
    return columns == 0 || rows == 0 ? 0 : rows * (1 + (columns * bitsPerPixel + 7) / 8);
}

// Bits per pixel of a PNG's colour type and bit depth; 0 for a combination PNG does not have.
int pngBitsPerPixel(int colourType, int depth) {
    const bool eightOrSixteen = depth == 8 || depth == 16;
    switch (colourType) {
    case 0: // grey
        return depth == 1 || depth == 2 || depth == 4 || eightOrSixteen ? depth : 0;
    case 2: // red, green, blue
        return eightOrSixteen ? 3 * depth : 0;
    case 3: // palette index
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 ? depth : 0;
    case 4: // grey and alpha
        return eightOrSixteen ? 2 * depth : 0;
    case 6: // red, green, blue and alpha
        return eightOrSixteen ? 4 * depth : 0;
    default:
        return 0;
    }
}

bool isStandaloneJpegMarker(unsigned char marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

} // namespace

QByteArray ArtworkDecoder::formatOf(const QByteArray& bytes) {
    if (bytes.startsWith("\xFF\xD8\xFF")) {
        return QByteArrayLiteral("jpeg");
    }
    if (bytes.startsWith("\x89PNG\r\n\x1A\n")) {
        return QByteArrayLiteral("png");
    }
    if (bytes.size() >= 12 && bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP") {
        return QByteArrayLiteral("webp");
    }
    return {};
}

std::optional<QByteArray> ArtworkDecoder::essentialPng(const QByteArray& bytes) {
    constexpr qsizetype signature = 8;
    if (bytes.size() < signature || !bytes.startsWith("\x89PNG\r\n\x1A\n")) {
        return std::nullopt;
    }
    QByteArray kept = bytes.left(signature);
    qsizetype at = signature;
    bool first = true;
    while (true) {
        // Length, type, data, CRC; a length is at most 2^31 - 1.
        if (bytes.size() - at < 12) {
            return std::nullopt;
        }
        const quint32 length = bigEndian32(bytes.constData() + at);
        if (length > 0x7FFFFFFFu || qint64(length) > bytes.size() - at - 12) {
            return std::nullopt;
        }
        const QByteArrayView type(bytes.constData() + at + 4, 4);
        const qsizetype whole = 12 + qsizetype(length);
        if (first != (type == "IHDR")) {
            return std::nullopt;
        }
        first = false;
        if (type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "IDAT" || type == "IEND") {
            kept.append(bytes.constData() + at, whole);
        }
        at += whole;
        if (type == "IEND") {
            return kept; // what a server appended after the end is never read
        }
    }
}

bool ArtworkDecoder::isBoundedPng(const QByteArray& bytes) {
    constexpr qsizetype signature = 8;
    if (bytes.size() < signature + 25 || !bytes.startsWith("\x89PNG\r\n\x1A\n")) {
        return false;
    }
    const char* header = bytes.constData() + signature;
    if (bigEndian32(header) != 13 || QByteArrayView(header + 4, 4) != "IHDR") {
        return false;
    }
    const quint32 width = bigEndian32(header + 8);
    const quint32 height = bigEndian32(header + 12);
    const int bitsPerPixel =
        pngBitsPerPixel(static_cast<unsigned char>(header[17]), static_cast<unsigned char>(header[16]));
    const int interlace = static_cast<unsigned char>(header[20]);
    if (width == 0 || height == 0 || width > quint32(maxSide) || height > quint32(maxSide) ||
        bitsPerPixel == 0 || interlace > 1) {
        return false;
    }
    quint64 rawBytes = 0;
    if (interlace == 0) {
        rawBytes = passBytes(width, height, quint64(bitsPerPixel));
    } else {
        // Adam7: each pass takes every step-th pixel from its start, across and down.
        static constexpr int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                             {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        for (const auto& [x, y, stepX, stepY] : passes) {
            const quint64 columns =
                width > quint32(x) ? (width - quint32(x) + quint32(stepX) - 1) / quint32(stepX) : 0;
            const quint64 rows =
                height > quint32(y) ? (height - quint32(y) + quint32(stepY) - 1) / quint32(stepY) : 0;
            rawBytes += passBytes(columns, rows, quint64(bitsPerPixel));
        }
    }

    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    const auto end = qScopeGuard([&stream] { inflateEnd(&stream); });
    // Inflated into a scratch buffer and counted, never kept.
    unsigned char scratch[16 * 1024];
    quint64 inflated = 0;
    qsizetype at = signature;
    while (bytes.size() - at >= 12) {
        const quint32 length = bigEndian32(bytes.constData() + at);
        if (length > 0x7FFFFFFFu || qint64(length) > bytes.size() - at - 12) {
            return false;
        }
        const QByteArrayView type(bytes.constData() + at + 4, 4);
        if (type == "IEND") {
            break;
        }
        if (type == "IDAT") {
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData() + at + 8));
            stream.avail_in = uInt(length);
            do {
                stream.next_out = scratch;
                stream.avail_out = sizeof scratch;
                const int result = inflate(&stream, Z_NO_FLUSH);
                inflated += sizeof scratch - stream.avail_out;
                if (inflated > rawBytes) {
                    return false;
                }
                if (result == Z_STREAM_END) {
                    return true; // the decoder reads no further
                }
                if (result == Z_BUF_ERROR) {
                    break; // this chunk's data is used up
                }
                if (result != Z_OK) {
                    return false;
                }
            } while (stream.avail_in > 0 || stream.avail_out == 0);
        }
        at += 12 + qsizetype(length);
    }
    // Cut short: the decoder ends such a picture itself, having inflated no more than counted here.
    return true;
}

bool ArtworkDecoder::isBoundedJpeg(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    const auto byteAt = [&](qsizetype i) { return static_cast<unsigned char>(bytes.at(i)); };
    if (size < 4 || byteAt(0) != 0xFF || byteAt(1) != 0xD8) {
        return false;
    }
    int scans = 0;
    int frames = 0;
    qsizetype at = 2;
    while (at < size) {
        if (byteAt(at) != 0xFF) {
            return false;
        }
        // Any number of fill bytes may stand before a marker.
        while (at < size && byteAt(at) == 0xFF) {
            ++at;
        }
        if (at == size) {
            return false;
        }
        const unsigned char marker = byteAt(at++);
        if (marker == 0xD9) {
            return frames == 1 && scans > 0; // what follows the end of the picture is never read
        }
        if (marker == 0x00 || marker == 0xD8 || isStandaloneJpegMarker(marker)) {
            if (marker == 0x01) {
                continue;
            }
            return false;
        }
        if (size - at < 2) {
            return false;
        }
        const quint16 length = bigEndian16(bytes.constData() + at);
        if (length < 2 || length > size - at) {
            return false;
        }
        at += length;
        // One frame, Huffman-coded, baseline or progressive, as covers are: lossless, hierarchical
        // and arithmetic-coded frames cost more per byte and are never sent.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (marker > 0xC2 || ++frames > 1) {
                return false;
            }
            continue;
        }
        if (marker != 0xDA) {
            continue;
        }
        if (++scans > maxJpegScans) {
            return false;
        }
        // The scan's coded data runs to the next marker other than a restart marker; a 0xFF in it
        // is followed by 0x00.
        while (at < size) {
            if (byteAt(at) != 0xFF) {
                ++at;
                continue;
            }
            if (at + 1 == size) {
                break;
            }
            const unsigned char next = byteAt(at + 1);
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                at += 2;
            } else if (next == 0xFF) {
                ++at;
            } else {
                break;
            }
        }
    }
    // Cut short after its last whole scan: the decoder ends such a picture itself.
    return frames == 1 && scans > 0;
}

QImage ArtworkDecoder::decode(const QByteArray& bytes) {
    const QByteArray format = formatOf(bytes);
    if (format.isEmpty() || !QImageReader::supportedImageFormats().contains(format)) {
        return {};
    }
    QByteArray input = bytes;
    if (format == "png") {
        std::optional<QByteArray> essential = essentialPng(bytes);
        if (!essential || !isBoundedPng(*essential)) {
            return {};
        }
        input = std::move(*essential);
    } else if (format == "jpeg" && !isBoundedJpeg(bytes)) {
        return {};
    }
    // A WebP cannot be judged before decoding: its container holds one bitstream whose cost is
    // bound by its pixels, which the size check below limits; Qt reads it whole before decoding,
    // so a quit does not cut it short either.
    StoppableInput device(std::move(input));
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device, format);
    // The format named, and no other: no guessing from the content past the signature.
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    // Megabytes for the largest accepted picture at four bytes a pixel.
    reader.setAllocationLimit(maxSide * maxSide * 4 / (1024 * 1024));
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || size.width() > maxSide || size.height() > maxSide) {
        return {};
    }
    QImage image = reader.read();
    if (image.isNull() || image.width() > maxSide || image.height() > maxSide ||
        g_stopping.load(std::memory_order_relaxed)) {
        return {};
    }
    if (std::min(image.width(), image.height()) > keptSide) {
        image = image.scaled(keptSide, keptSide, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    }
    return image;
}

QThreadPool* ArtworkDecoder::pool() {
    static QPointer<QThreadPool> decoding;
    if (!decoding) {
        QCoreApplication* app = QCoreApplication::instance();
        Q_ASSERT(app);
        decoding = new QThreadPool(app);
        decoding->setMaxThreadCount(1);
        QObject::connect(app, &QCoreApplication::aboutToQuit, decoding,
                         [] { g_stopping.store(true, std::memory_order_relaxed); });
        // Qt ends the process with exit() when the X connection breaks, as at the end of a session,
        // without ending the event loop: a decode still running is stopped there as well, before
        // the libraries it runs in are torn down.
        static const bool stopsAtExit = std::atexit([] {
                                            g_stopping.store(true, std::memory_order_relaxed);
                                            if (decoding) {
                                                decoding->waitForDone(1000);
                                            }
                                        }) == 0;
        Q_UNUSED(stopsAtExit);
    }
    return decoding;
}
