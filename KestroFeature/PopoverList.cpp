#include "PopoverList.h"

#include "Panel.h"
#include "PlatformIcons.h"
#include "SystemFont.h"
#include "ToastColors.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <algorithm>

namespace {
constexpr qreal rowSpacing = 12;
constexpr qreal highlightRadius = 8;
constexpr qreal bubbleRadius = 10;
constexpr qreal arrowHalfWidth = 9;
QFont titleFont() {
    return SystemFont::font(12);
}
} // namespace

// Not a Qt popup: that grabs the keyboard, taking it from the window the user types in while
// the toast's list is open. Unmanaged and never given input, it holds the pointer only, to see
// the click outside it that closes it.
PopoverList::PopoverList(QList<Row> rows, int width, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::NoDropShadowWindowHint),
      m_rows(std::move(rows)), m_width(width) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_X11NetWmWindowTypeDropDownMenu);
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
    const int height = arrowHeight + 2 * padding + int(m_rows.size()) * rowHeight();
    setFixedSize(m_width, height);
    m_arrowX = m_width / 2;
}

int PopoverList::rowHeight() const {
    return int(std::ceil(std::max<qreal>(iconSize, QFontMetricsF(titleFont()).height()))) + 2 * padding;
}

QRect PopoverList::rowRect(int index) const {
    return QRect(padding, arrowHeight + padding + index * rowHeight(), m_width - 2 * padding, rowHeight());
}

std::optional<int> PopoverList::rowAt(QPointF point) const {
    for (int i = 0; i < m_rows.size(); ++i) {
        if (QRectF(rowRect(i)).contains(point)) {
            return i;
        }
    }
    return std::nullopt;
}

void PopoverList::popUp(QPoint anchor) {
    QPoint topLeft(anchor.x() - m_width / 2, anchor.y());
    if (QScreen* screen = QGuiApplication::screenAt(anchor)) {
        const QRect area = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.right() + 1 - m_width)));
    }
    m_arrowX = std::clamp(anchor.x() - topLeft.x(), int(bubbleRadius + arrowHalfWidth),
                          int(m_width - bubbleRadius - arrowHalfWidth));
    move(topLeft);
    if (!Panel::compositorRunning()) {
        setMask(QRegion(bubble().toFillPolygon().toPolygon()));
    }
    show();
    raise();
    // Every click now comes here, also one on the opening button: it closes the list and
    // goes no further, so that button does not open it again.
    grabMouse();
}

QPainterPath PopoverList::bubble() const {
    QPainterPath body;
    body.addRoundedRect(QRectF(0, arrowHeight, width(), height() - arrowHeight), bubbleRadius, bubbleRadius);
    QPainterPath arrow;
    arrow.moveTo(m_arrowX - arrowHalfWidth, arrowHeight + 1);
    arrow.lineTo(m_arrowX, 0);
    arrow.lineTo(m_arrowX + arrowHalfWidth, arrowHeight + 1);
    arrow.closeSubpath();
    return body.united(arrow);
}

void PopoverList::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.fillPath(bubble(), ToastColors::popoverBackground());
    for (int i = 0; i < m_rows.size(); ++i) {
        const QRectF row = rowRect(i);
        if (m_hovered == i) {
            QPainterPath highlight;
            highlight.addRoundedRect(row, highlightRadius, highlightRadius);
            painter.fillPath(highlight, QColor::fromRgbF(1, 1, 1, 0.1f));
        }
        const QRectF icon(row.left() + padding, row.center().y() - iconSize / 2.0, iconSize, iconSize);
        PlatformIcon::paint(painter, icon, m_rows[i].iconKey);
        const qreal textX = icon.right() + rowSpacing;
        const QFontMetricsF metrics(titleFont());
        painter.setFont(titleFont());
        painter.setPen(Qt::white);
        const qreal textWidth = row.right() - padding - textX;
        painter.drawText(QRectF(textX, row.center().y() - metrics.height() / 2, textWidth, metrics.height()),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         metrics.elidedText(m_rows[i].title, Qt::ElideRight, textWidth));
    }
}

void PopoverList::mouseMoveEvent(QMouseEvent* event) {
    const std::optional<int> row = rowAt(event->position());
    if (row != m_hovered) {
        m_hovered = row;
        update();
    }
}

void PopoverList::leaveEvent(QEvent*) {
    if (m_hovered) {
        m_hovered.reset();
        update();
    }
}

void PopoverList::mousePressEvent(QMouseEvent* event) {
    if (!bubble().contains(event->position())) {
        close();
    }
}

void PopoverList::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isVisible()) {
        return;
    }
    if (const std::optional<int> row = rowAt(event->position())) {
        emit rowChosen(*row);
    }
}

void PopoverList::hideEvent(QHideEvent* event) {
    if (mouseGrabber() == this) {
        releaseMouse();
    }
    QWidget::hideEvent(event);
    emit closed();
}
