#pragma once

#include <QString>
#include <QWidget>

class QPainter;

// The square icon of a music service, chosen by its key (a service's raw value, or
// "universalLink" for the song page that links every service). Unknown keys show the Apple
// Music icon. The service icons are bundled drawings; the song-page icon is drawn here.
class PlatformIcon : public QWidget {
public:
    PlatformIcon(const QString& platform, qreal size, QWidget* parent = nullptr);

    QString platform() const { return m_platform; }
    void setPlatform(const QString& platform);
    qreal iconSize() const { return m_size; }

    // Draws the icon for `platform` filling the square `rect`.
    static void paint(QPainter& painter, const QRectF& rect, const QString& platform);
    // The bundled drawing a key shows; empty for the song-page icon.
    static QString resourceName(const QString& platform);
    // A bundled SVG by name, stretched to the square and cut to its rounded shape; the grey
    // note placeholder when the file is missing or unreadable.
    static void paintBundledSVG(QPainter& painter, const QRectF& rect, const QString& name);
    static void paintUniversalLinkIcon(QPainter& painter, const QRectF& rect);

    // Corner radius of every icon shape, relative to its size.
    static constexpr qreal cornerRadiusRatio = 0.22;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_platform;
    qreal m_size;
};
