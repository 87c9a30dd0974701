#include "ErrorStateView.h"

#include "AdaptiveColors.h"
#include "ConversionQueue.h"
#include "GradientButton.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"

#include <QFontMetricsF>
#include <QPainter>

namespace {
constexpr qreal spacing = 12;
constexpr qreal lineSpacing = 4;
QFont messageFont() {
    return SystemFont::font(14, QFont::Bold);
}
QFont detailsFont() {
    return SystemFont::font(12);
}
} // namespace

ErrorStateView::ErrorStateView(ConversionQueue& queue, ColorScheme& colorScheme, QString message,
                               std::optional<QString> details, QWidget* parent, qreal iconSize)
    : ToastRowView(colorScheme, parent), m_queue(queue), m_message(std::move(message)),
      m_details(std::move(details)), m_iconSize(iconSize), m_retry(new GradientButton(this)) {
    m_retry->setParts({{tr("Retry"), {}, SystemFont::font(14, QFont::DemiBold), 1}}, 0);
    m_retry->setTextColor(Qt::white);
    connect(m_retry, &GradientButton::clicked, this, [this] { m_queue.retry(); });
    connect(&colorScheme, &ColorScheme::changed, this, [this] { restyle(); });
    restyle();
}

void ErrorStateView::setError(QString message, std::optional<QString> details) {
    m_message = std::move(message);
    m_details = std::move(details);
    update();
}

QColor ErrorStateView::warningColor() const {
    return AdaptiveColors::warning(scheme());
}

void ErrorStateView::restyle() {
    m_retry->setGradient({warningColor()});
    update();
}

void ErrorStateView::layoutRow() {
    const QRect row = rowRect();
    const QSizeF button = m_retry->buttonSize();
    m_retry->placeButton(
        QPointF(row.right() + 1 - button.width(), row.top() + (row.height() - button.height()) / 2));
}

void ErrorStateView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRect row = rowRect();
    const qreal centerY = row.top() + row.height() / 2.0;
    SystemSymbol::paint(painter, QPointF(row.left() + m_iconSize / 2, centerY),
                        QStringLiteral("exclamationmark.triangle.fill"), 20, warningColor());

    const qreal textX = row.left() + m_iconSize + spacing;
    // The texts end where the spacing before the (collapsed) spacer and the button begins.
    const qreal textWidth =
        std::max<qreal>(0, m_retry->geometry().left() + GradientButton::margin - 2 * spacing - textX);
    const QFontMetricsF message(messageFont());
    const QColor primary = SystemColors::primaryLabel(scheme());
    if (!m_details) {
        drawLine(painter, textX, centerY, textWidth, m_message, messageFont(), primary);
        return;
    }
    const QFontMetricsF details(detailsFont());
    const qreal top = centerY - (message.height() + lineSpacing + details.height()) / 2;
    drawLine(painter, textX, top + message.height() / 2, textWidth, m_message, messageFont(), primary);
    drawLine(painter, textX, top + message.height() + lineSpacing + details.height() / 2, textWidth,
             *m_details, detailsFont(), SystemColors::secondaryLabel(scheme()));
}
