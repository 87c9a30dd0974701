#pragma once

#include "ColorScheme.h"

#include <QFont>
#include <QRect>
#include <QWidget>

class QPainter;

// A row of the toast card. The widget reaches `overflow` beyond the row on every side, so
// shadows, hover growth and the icon animation are not cut at the row's edges; the card's
// padding leaves room for it. Rows redraw when the colour scheme changes.
class ToastRowView : public QWidget {
    Q_OBJECT

public:
    static constexpr int overflow = 16;

    ToastRowView(ColorScheme& colorScheme, QWidget* parent = nullptr);

    // Puts the row itself at `row`, in parent coordinates.
    void setRowGeometry(const QRect& row);
    // The row in the widget's own coordinates.
    QRect rowRect() const;
    ColorScheme::Scheme scheme() const { return m_colorScheme.current(); }

protected:
    // Draws one line of text, cut with an ellipsis at `width`, vertically centred on `centerY`.
    static void drawLine(QPainter& painter, qreal x, qreal centerY, qreal width, const QString& text,
                         const QFont& font, const QColor& color);
    // Re-lays out children after a size change.
    virtual void layoutRow() {}
    void resizeEvent(QResizeEvent* event) override;

    ColorScheme& m_colorScheme;
};
