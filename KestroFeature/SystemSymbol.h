#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointF>
#include <QString>

class QPainter;

// The named symbols the views take from the system ("music.note", "globe", "xmark", ...),
// drawn from our own small SVGs and tinted. A symbol at font size s fills an s x s square;
// a heavier weight draws thicker strokes.
namespace SystemSymbol {

bool exists(const QString& name);
QImage image(const QString& name, qreal size, const QColor& color, QFont::Weight weight = QFont::Normal,
             qreal devicePixelRatio = 1);
// Draws the symbol centred on `center`.
void paint(QPainter& painter, QPointF center, const QString& name, qreal size, const QColor& color,
           QFont::Weight weight = QFont::Normal);

} // namespace SystemSymbol
