#pragma once

#include <QByteArray>
#include <QImage>

class QThreadPool;

// Turns the bytes an artwork server sent into the cover picture. Only the raster formats the
// services send are read (JPEG, PNG, and WebP where Qt has it), chosen from the bytes themselves:
// never a format that can name files or unpack itself, as SVG can. Pictures larger than
// maxSide on a side are refused before they are decoded, and what is kept is scaled down to the
// size the cover is drawn at.
class ArtworkDecoder {
public:
    static constexpr int maxSide = 4096;
    // The shorter side of a kept picture at most: the cover is 50 points, on screens of up to 4x.
    static constexpr int keptSide = 200;

    // A null image when the bytes are no picture of an accepted format and size. Safe on any thread.
    static QImage decode(const QByteArray& bytes);

    // "jpeg", "png", "webp" by the bytes' signature, or empty.
    static QByteArray formatOf(const QByteArray& bytes);

    // The one thread covers are decoded on. One, not Qt's shared pool: every thread that
    // decodes keeps a malloc arena of its own, and a pool's worth of them grew the memory by
    // megabytes over a thousand conversions.
    static QThreadPool& pool();
};
