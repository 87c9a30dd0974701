#include "PlaceholderAlbumArt.h"

#include "AdaptiveColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"

#include <QPainter>
#include <QPainterPath>

PlaceholderAlbumArt::PlaceholderAlbumArt(ColorScheme& colorScheme, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(&colorScheme, &ColorScheme::changed, this, [this] { update(); });
}

void PlaceholderAlbumArt::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto scheme = m_colorScheme.current();
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    painter.fillPath(shape, AdaptiveColors::placeholderBackground(scheme));
    SystemSymbol::paint(painter, QRectF(rect()).center(), QStringLiteral("music.note"),
                        SystemFont::pixelSize(SystemFont::TextStyle::title),
                        AdaptiveColors::placeholderSymbol(scheme));
}
