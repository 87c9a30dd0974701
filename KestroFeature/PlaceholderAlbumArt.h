#pragma once

#include "ColorScheme.h"

#include <QWidget>

// The cover picture shown when a song has none (or it could not be loaded): a rounded grey
// square with a music note.
class PlaceholderAlbumArt : public QWidget {
public:
    explicit PlaceholderAlbumArt(ColorScheme& colorScheme, QWidget* parent = nullptr);

    static constexpr qreal cornerRadius = 8;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ColorScheme& m_colorScheme;
};
