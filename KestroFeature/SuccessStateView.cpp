#include "SuccessStateView.h"

#include "AdaptiveColors.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"

#include <QPainter>

SuccessStateView::SuccessStateView(ColorScheme& colorScheme, QWidget* parent, qreal iconSize)
    : ToastRowView(colorScheme, parent), m_iconSize(iconSize) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

QString SuccessStateView::text() const {
    return tr("Copied to clipboard!");
}

QColor SuccessStateView::iconColor() const {
    return AdaptiveColors::success(scheme());
}

void SuccessStateView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRect row = rowRect();
    const qreal centerY = row.top() + row.height() / 2.0;
    SystemSymbol::paint(painter, QPointF(row.left() + m_iconSize / 2, centerY),
                        QStringLiteral("checkmark.circle.fill"), 20, iconColor());
    const qreal textX = row.left() + m_iconSize + 12;
    drawLine(painter, textX, centerY, row.right() + 1 - textX, text(), SystemFont::font(14, QFont::Bold),
             SystemColors::primaryLabel(scheme()));
}
