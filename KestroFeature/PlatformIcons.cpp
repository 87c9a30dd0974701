#include "PlatformIcons.h"

#include "KestroResources.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"

#include <QFile>
#include <QHash>
#include <QLinearGradient>
#include <QPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

#include <cmath>

namespace {

QPainterPath roundedSquare(const QRectF& rect) {
    QPainterPath path;
    const qreal radius = rect.width() * PlatformIcon::cornerRadiusRatio;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QImage render(const QString& name, int pixels, qreal dpr) {
    QFile file(KestroResources::bundlePath(name, QStringLiteral("svg")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QSvgRenderer renderer(file.readAll());
    if (!renderer.isValid()) {
        return {};
    }
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    // Whatever its own proportions, the drawing fills the square.
    renderer.render(&p, QRectF(0, 0, pixels, pixels));
    p.end();
    image.setDevicePixelRatio(dpr);
    return image;
}

// Parsing and rendering a drawing takes longer than the rest of a toast's paint, and the toast
// paints while a conversion waits for the GUI thread: each drawing is rendered once per size.
QImage rasterise(const QString& name, qreal size, qreal dpr) {
    static QHash<QString, QImage> cache;
    const int pixels = int(std::ceil(size * dpr));
    const QString key =
        name + QLatin1Char('@') + QString::number(pixels) + QLatin1Char('@') + QString::number(dpr);
    if (const auto found = cache.constFind(key); found != cache.cend()) {
        return *found;
    }
    if (cache.size() >= 64) {
        cache.clear(); // sizes come from a handful of layouts; this only bounds the unexpected
    }
    const QImage image = render(name, pixels, dpr);
    cache.insert(key, image);
    return image;
}

} // namespace

PlatformIcon::PlatformIcon(const QString& platform, qreal size, QWidget* parent)
    : QWidget(parent), m_platform(platform), m_size(size) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int side = int(std::ceil(size));
    setFixedSize(side, side);
}

void PlatformIcon::setPlatform(const QString& platform) {
    m_platform = platform;
    update();
}

QString PlatformIcon::resourceName(const QString& platform) {
    if (platform == QLatin1String("spotify")) {
        return QStringLiteral("SpotifyIcon");
    }
    if (platform == QLatin1String("appleMusic")) {
        return QStringLiteral("AppleMusicIcon");
    }
    if (platform == QLatin1String("youtubeMusic")) {
        return QStringLiteral("YouTubeMusicIcon");
    }
    if (platform == QLatin1String("yandexMusic")) {
        return QStringLiteral("YandexMusicIcon");
    }
    if (platform == QLatin1String("tidal")) {
        return QStringLiteral("TidalIcon");
    }
    if (platform == QLatin1String("soundcloud")) {
        return QStringLiteral("SoundCloudIcon");
    }
    if (platform == QLatin1String("universalLink")) {
        return {};
    }
    return QStringLiteral("AppleMusicIcon");
}

void PlatformIcon::paint(QPainter& painter, const QRectF& rect, const QString& platform) {
    const QString name = resourceName(platform);
    if (name.isEmpty()) {
        paintUniversalLinkIcon(painter, rect);
    } else {
        paintBundledSVG(painter, rect, name);
    }
}

void PlatformIcon::paintBundledSVG(QPainter& painter, const QRectF& rect, const QString& name) {
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage image = rasterise(name, rect.width(), dpr * painter.worldTransform().m11());
    painter.save();
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipPath(roundedSquare(rect), Qt::IntersectClip);
    if (!image.isNull()) {
        painter.drawImage(rect, image);
    } else {
        painter.fillPath(roundedSquare(rect), SystemColors::withOpacity(SystemColors::systemGray(), 0.3));
        SystemSymbol::paint(painter, rect.center(), QStringLiteral("music.note"),
                            SystemFont::symbolDefaultSize, SystemColors::systemGray());
    }
    painter.restore();
}

void PlatformIcon::paintUniversalLinkIcon(QPainter& painter, const QRectF& rect) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, QColor::fromRgbF(0.125f, 0.776f, 0.761f));
    gradient.setColorAt(1, QColor::fromRgbF(0.031f, 0.569f, 0.557f));
    painter.fillPath(roundedSquare(rect), gradient);
    SystemSymbol::paint(painter, rect.center(), QStringLiteral("globe"), rect.width() * 0.55, Qt::white,
                        QFont::Medium);
    painter.restore();
}

void PlatformIcon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(0, 0, m_size, m_size), m_platform);
}
