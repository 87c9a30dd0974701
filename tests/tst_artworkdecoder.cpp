#include "ArtworkDecoder.h"
#include "SongPreviewView.h"
#include "TestEnvironment.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QtEndian>
#include <QtTest>

#include <ctime>

#include <zlib.h>

namespace {

QByteArray bigEndian(quint32 value) {
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const QByteArray& type, const QByteArray& data) {
    const QByteArray typed = type + data;
    const auto crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size())));
    return bigEndian(quint32(data.size())) + typed + bigEndian(crc);
}

// A PNG of the given header whose IDAT holds zlibData as it is.
QByteArray png(quint32 width, quint32 height, int depth, int colourType, bool interlaced,
               const QByteArray& zlibData) {
    const QByteArray header = bigEndian(width) + bigEndian(height) + char(depth) + char(colourType) +
                              char(0) + char(0) + char(interlaced ? 1 : 0);
    return QByteArray("\x89PNG\r\n\x1A\n") + chunk("IHDR", header) + chunk("IDAT", zlibData) +
           chunk("IEND", {});
}

// The image data of a picture, counted pixel by pixel: for each pass the rows and columns that
// hold any of its pixels, each row a filter byte and its packed pixels.
qsizetype rawSize(int width, int height, int bitsPerPixel, bool interlaced) {
    struct Pass {
        int x, y, stepX, stepY;
    };
    const QList<Pass> passes = interlaced
                                   ? QList<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                 {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}
                                   : QList<Pass>{{0, 0, 1, 1}};
    qsizetype total = 0;
    for (const Pass& pass : passes) {
        int columns = 0;
        int rows = 0;
        for (int x = 0; x < width; ++x) {
            columns += x % pass.stepX == pass.x;
        }
        for (int y = 0; y < height; ++y) {
            rows += y % pass.stepY == pass.y;
        }
        if (columns > 0 && rows > 0) {
            total += rows * (1 + (qsizetype(columns) * bitsPerPixel + 7) / 8);
        }
    }
    return total;
}

// A zlib stream of gibibytes zero bytes, made without compressing them all: one mebibyte of
// zeros deflated to a byte boundary and its dictionary reset, that block repeated.
QByteArray zerosInflatingTo(int mebibytes) {
    const QByteArray zeros(1024 * 1024, '\0');
    z_stream stream{};
    deflateInit(&stream, 9);
    QByteArray out(2 * 1024 * 1024, Qt::Uninitialized);
    const auto deflated = [&](int flush, const QByteArray& input) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
        stream.avail_in = uInt(input.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = uInt(out.size());
        deflate(&stream, flush);
        return out.left(out.size() - qsizetype(stream.avail_out));
    };
    const QByteArray first = deflated(Z_FULL_FLUSH, zeros);
    const QByteArray block = deflated(Z_FULL_FLUSH, zeros);
    QByteArray result = first;
    for (int i = 1; i < mebibytes; ++i) {
        result += block;
    }
    QByteArray end = deflated(Z_FINISH, {});
    deflateEnd(&stream);
    uLong adler = adler32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(zeros.size()));
    const uLong one = adler;
    for (int i = 1; i < mebibytes; ++i) {
        adler = adler32_combine(adler, one, zeros.size());
    }
    end.chop(4);
    return result + end + bigEndian(quint32(adler));
}

qint64 threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QByteArray written(const QImage& image, const char* format, bool progressive = false) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return buffer.data();
}

} // namespace

// The checks a cover passes before a decoder sees it.
class TestArtworkDecoder : public QObject {
    Q_OBJECT

private slots:
    // A PNG's image data may inflate to its rows and not a byte more, each interlace pass
    // counted with its own rows; the decoder agrees where the data is exact.
    void pngImageDataBound_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("colourType");
        QTest::addColumn<int>("bitsPerPixel");
        QTest::addColumn<bool>("interlaced");
        QTest::newRow("grey, 1 bit, 9 x 5") << 9 << 5 << 1 << 0 << 1 << false;
        QTest::newRow("grey and alpha, 16 bits, 3 x 2") << 3 << 2 << 16 << 4 << 32 << false;
        QTest::newRow("RGB, 4096 x 1") << 4096 << 1 << 8 << 2 << 24 << false;
        QTest::newRow("interlaced RGB, 1 x 1") << 1 << 1 << 8 << 2 << 24 << true;
        QTest::newRow("interlaced RGBA, 3 x 5") << 3 << 5 << 8 << 6 << 32 << true;
        QTest::newRow("interlaced grey, 2 bits, 13 x 11") << 13 << 11 << 2 << 0 << 2 << true;
        QTest::newRow("interlaced RGB, 16 bits, 33 x 17") << 33 << 17 << 16 << 2 << 48 << true;
    }

    void pngImageDataBound() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, depth);
        QFETCH(int, colourType);
        QFETCH(int, bitsPerPixel);
        QFETCH(bool, interlaced);
        const QByteArray rows(rawSize(width, height, bitsPerPixel, interlaced), '\0');
        const QByteArray exact = png(width, height, depth, colourType, interlaced, qCompress(rows).mid(4));
        QVERIFY(ArtworkDecoder::isBoundedPng(exact));
        const QImage image = ArtworkDecoder::decode(exact);
        QCOMPARE(image.size(), QSize(width, height));

        const QByteArray over =
            png(width, height, depth, colourType, interlaced, qCompress(rows + '\0').mid(4));
        QVERIFY(!ArtworkDecoder::isBoundedPng(over));
        QVERIFY(ArtworkDecoder::decode(over).isNull());
    }

    // A small picture whose image data inflates to 4 GiB (5 MB sent): refused for a few
    // kilobytes of inflating, where decoding it costs seconds.
    void pngImageDataBombIsRefusedAtOnce() {
        const QByteArray bomb = png(64, 64, 8, 2, false, zerosInflatingTo(4096));
        QVERIFY(bomb.size() < SongPreviewView::maxCoverBytes);
        const qint64 before = threadCpuMs();
        QVERIFY(ArtworkDecoder::decode(bomb).isNull());
        const qint64 spent = threadCpuMs() - before;
        QVERIFY2(spent < 300, qPrintable(QStringLiteral("%1 ms of CPU").arg(spent)));
    }

    // Covers as servers send them, and the seeds of the fuzzing: every one is decoded.
    void realCoversAreDecoded() {
        QImage picture(300, 200, QImage::Format_ARGB32);
        QPainter painter(&picture);
        QLinearGradient gradient(0, 0, 300, 200);
        gradient.setColorAt(0, QColor(200, 30, 60, 255));
        gradient.setColorAt(1, QColor(20, 90, 220, 128));
        painter.fillRect(picture.rect(), gradient);
        painter.end();
        QList<std::pair<QString, QByteArray>> covers{
            {QStringLiteral("PNG, RGBA"), written(picture, "png")},
            {QStringLiteral("PNG, RGB"), written(picture.convertToFormat(QImage::Format_RGB32), "png")},
            {QStringLiteral("PNG, 16 bits"), written(picture.convertToFormat(QImage::Format_RGBA64), "png")},
            {QStringLiteral("PNG, grey"), written(picture.convertToFormat(QImage::Format_Grayscale8), "png")},
            {QStringLiteral("PNG, palette"),
             written(picture.convertToFormat(QImage::Format_Indexed8), "png")},
            {QStringLiteral("PNG, 1 bit"), written(picture.convertToFormat(QImage::Format_Mono), "png")},
            {QStringLiteral("JPEG, baseline"), written(picture, "jpeg")},
            {QStringLiteral("JPEG, progressive"), written(picture, "jpeg", true)},
        };
        const QDir seeds(QStringLiteral(ONDARI_ARTWORK_SEEDS));
        for (const QString& name : seeds.entryList(QDir::Files)) {
            QFile file(seeds.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            covers.append({name, file.readAll()});
        }
        QVERIFY(covers.size() > 8);
        for (const auto& [name, bytes] : covers) {
            if (ArtworkDecoder::formatOf(bytes) == "png") {
                QVERIFY2(ArtworkDecoder::isBoundedPng(bytes), qPrintable(name));
            }
            QVERIFY2(!ArtworkDecoder::decode(bytes).isNull(), qPrintable(name));
        }
    }
};

ONDARI_TEST_MAIN(TestArtworkDecoder)
#include "tst_artworkdecoder.moc"
