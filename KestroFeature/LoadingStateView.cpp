#include "LoadingStateView.h"

#include "SystemColors.h"
#include "SystemFont.h"

#include <QPainter>

#include <cmath>
#include <numbers>

namespace {
constexpr int spokes = 12;
// The indicator's own size before the row scales it to 0.8.
constexpr qreal spinnerSize = 32;
constexpr qreal spinnerScale = 0.8;
constexpr std::chrono::milliseconds turnDuration{1000};
} // namespace

LoadingStateView::LoadingStateView(ColorScheme& colorScheme, QWidget* parent, qreal iconSize)
    : ToastRowView(colorScheme, parent), m_iconSize(iconSize) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(&m_turn, &AnimatedValue::valueChanged, this, [this] { update(); });
    m_turn.repeatForever(1, turnDuration, TimingCurve::linear(), false);
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
    const int lit = int(std::floor(m_turn.value() * spokes)) % spokes;
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
