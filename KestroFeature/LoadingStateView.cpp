#include "LoadingStateView.h"

#include "SystemColors.h"
#include "SystemFont.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {
// The indicator's own size before the row scales it to 0.8.
constexpr qreal spinnerSize = 32;
constexpr qreal spinnerScale = 0.8;
constexpr qint64 turnMilliseconds = 1000;
} // namespace

LoadingStateView::LoadingStateView(ColorScheme& colorScheme, QWidget* parent, qreal iconSize)
    : ToastRowView(colorScheme, parent), m_iconSize(iconSize) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // The picture changes only when the lit spoke moves on: no frame in between.
    m_ticker.setInterval(int(turnMilliseconds / spokes));
    connect(&m_ticker, &QTimer::timeout, this, &LoadingStateView::tick);
    m_clock.start();
}

void LoadingStateView::showEvent(QShowEvent* event) {
    ToastRowView::showEvent(event);
    m_ticker.start();
}

void LoadingStateView::hideEvent(QHideEvent* event) {
    ToastRowView::hideEvent(event);
    m_ticker.stop();
}

void LoadingStateView::tick() {
    // From the clock, so late ticks never slow the turn down.
    const int step = int((m_clock.elapsed() * spokes / turnMilliseconds) % spokes);
    if (step != m_step) {
        m_step = step;
        update(spinnerRect());
    }
}

QRect LoadingStateView::spinnerRect() const {
    const QRect row = rowRect();
    const int side = int(std::ceil(std::max(m_iconSize, spinnerSize))) + 2;
    return QRect(row.left() + int(m_iconSize / 2) - side / 2, row.center().y() - side / 2, side, side);
}

QString LoadingStateView::text() const {
    return tr("Converting...");
}

void LoadingStateView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRect row = rowRect();
    const qreal centerY = row.top() + row.height() / 2.0;
    const QPointF center(row.left() + m_iconSize / 2, centerY);
    const QColor ink = SystemColors::primaryLabel(scheme());

    // A stepped spinner: the lit spoke moves one place per twelfth of a turn.
    const int lit = m_step;
    const qreal outer = spinnerSize * spinnerScale / 2;
    const qreal inner = outer * 0.5;
    const qreal width = outer * 0.18;
    painter.save();
    painter.translate(center);
    for (int i = 0; i < spokes; ++i) {
        const int age = (lit - i + spokes) % spokes;
        const qreal alpha = 1.0 - 0.75 * qreal(age) / qreal(spokes - 1);
        QPen pen(SystemColors::withOpacity(ink, alpha * 0.75), width, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        const qreal angle = 2 * std::numbers::pi * qreal(i) / spokes - std::numbers::pi / 2;
        painter.drawLine(QPointF(std::cos(angle) * inner, std::sin(angle) * inner),
                         QPointF(std::cos(angle) * outer, std::sin(angle) * outer));
    }
    painter.restore();

    const qreal textX = row.left() + m_iconSize + 12;
    drawLine(painter, textX, centerY, row.right() + 1 - textX, text(), SystemFont::font(14, QFont::Bold),
             ink);
}
