#include "ArtworkDecoder.h"

#include <QBuffer>
#include <QImageReader>
#include <QThreadPool>

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

QImage ArtworkDecoder::decode(const QByteArray& bytes) {
    const QByteArray format = formatOf(bytes);
    if (format.isEmpty() || !QImageReader::supportedImageFormats().contains(format)) {
        return {};
    }
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
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
    if (image.isNull() || image.width() > maxSide || image.height() > maxSide) {
        return {};
    }
    if (std::min(image.width(), image.height()) > keptSide) {
        image = image.scaled(keptSide, keptSide, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    }
    return image;
}

QThreadPool& ArtworkDecoder::pool() {
    static QThreadPool decoding;
    decoding.setMaxThreadCount(1);
    return decoding;
}
