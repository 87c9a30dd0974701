#include "ToastRowView.h"

#include <QFontMetricsF>
#include <QPainter>

ToastRowView::ToastRowView(ColorScheme& colorScheme, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme) {
    connect(&colorScheme, &ColorScheme::changed, this, [this] { update(); });
}

void ToastRowView::setRowGeometry(const QRect& row) {
    setGeometry(row.adjusted(-overflow, -overflow, overflow, overflow));
}

QRect ToastRowView::rowRect() const {
    return rect().adjusted(overflow, overflow, -overflow, -overflow);
}

void ToastRowView::drawLine(QPainter& painter, qreal x, qreal centerY, qreal width, const QString& text,
                            const QFont& font, const QColor& color) {
    const QFontMetricsF metrics(font);
    const QString shown = metrics.elidedText(text, Qt::ElideRight, width);
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QRectF(x, centerY - metrics.height() / 2, width + 1, metrics.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

void ToastRowView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutRow();
}
