#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

class QThreadPool;

// Turns the bytes an artwork server sent into the cover picture. Only the raster formats the
// services send are read (JPEG, PNG, and WebP where Qt has it), chosen from the bytes themselves:
// never a format that can name files or unpack itself, as SVG can. Pictures larger than
// maxSide on a side are refused before they are decoded, and what is kept is scaled down to the
// size the cover is drawn at.
//
// The decoder sees only what a picture needs: a PNG's ancillary chunks (text, profiles, and
// whatever else) are dropped, whatever their size or number, a PNG whose image data inflates to
// more than its rows is refused, and so is a JPEG with more scans than any real cover has: no
// cover costs more than the pixels it holds. The worst of each kind within the bounds, as CPU
// time of one decode (release build, median of 5, on the machine of the README's benchmarks):
// a 4096 x 4096 PNG whose image data is at the bound, Paeth-filtered, 0.56 s (checks included);
// a 4096 x 4096 JPEG of 32 progressive scans, 6.7 MB, 0.62 s; a 4096 x 4096 WebP of 7 MB 0.68 s.
class ArtworkDecoder {
public:
    static constexpr int maxSide = 4096;
    // The shorter side of a kept picture at most: the cover is 50 points, on screens of up to 4x.
    static constexpr int keptSide = 200;
    // Covers carry one scan, or ten or so when progressive.
    static constexpr int maxJpegScans = 32;

    // A null image when the bytes are no picture of an accepted format and size. Safe on any thread.
    static QImage decode(const QByteArray& bytes);

    // "jpeg", "png", "webp" by the bytes' signature, or empty.
    static QByteArray formatOf(const QByteArray& bytes);

    // The PNG rebuilt from its IHDR, PLTE, tRNS, IDAT and IEND chunks alone; none when its chunk
    // structure does not hold (IHDR first, an IEND, every length within the file).
    static std::optional<QByteArray> essentialPng(const QByteArray& bytes);
    // Whether a PNG's header describes a picture of at most maxSide a side, and its image data
    // (the IDAT chunks together) inflates to no more than the picture's rows, filter bytes
    // included, counted for each interlace pass. Inflation stops as soon as that is passed.
    static bool isBoundedPng(const QByteArray& bytes);
    // Whether a JPEG's segments are whole, its one frame baseline or progressive with Huffman
    // coding, and its scans no more than maxJpegScans.
    static bool isBoundedJpeg(const QByteArray& bytes);

    // The one thread covers are decoded on, owned by the application: it goes with the
    // application object, and a decode still running when the event loop ends is stopped at its
    // next read of the input, so quitting never waits for a cover. One thread, not Qt's shared
    // pool: every thread that decodes keeps a malloc arena of its own, and a pool's worth of them
    // grew the memory by megabytes over a thousand conversions. Needs the application object.
    static QThreadPool* pool();
};
