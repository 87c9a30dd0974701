#include "ArtworkDecoder.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QPointer>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

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
        if (!essential) {
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
