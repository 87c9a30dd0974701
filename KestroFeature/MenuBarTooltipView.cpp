#include "MenuBarTooltipView.h"

#include "AdaptiveColors.h"
#include "AppConstants.h"
#include "ColorScheme.h"
#include "OnboardingStyle.h"
#include "Panel.h"

#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

using namespace OnboardingStyle;

namespace {
const QString titleText = QStringLiteral("Ondari lives in your system tray.");
const QString subtitleText = QStringLiteral("It will detect links automatically when it's on.");
const QString gotItText = QStringLiteral("Got it");
constexpr double padding = 16;
constexpr double spacing = 12;
} // namespace

QPainterPath TooltipShape::path(const QRectF& rect, double arrowCentre, bool arrowOnTop,
                                bool withArrow) const {
    const double r = cornerRadius;
    const double w = arrowWidth;
    const double h = arrowHeight;
    // The arrow keeps clear of the rounded corners.
    const double mid =
        rect.left() + std::clamp(arrowCentre, r + w / 2, std::max(r + w / 2, rect.width() - r - w / 2));
    QPainterPath path;
    if (arrowOnTop) {
        const QRectF body(rect.left(), rect.top() + h, rect.width(), rect.height() - h);
        path.moveTo(body.left() + r, body.top());
        if (withArrow) {
            path.lineTo(mid - w / 2, body.top());
            path.lineTo(mid, rect.top());
            path.lineTo(mid + w / 2, body.top());
        }
        path.lineTo(body.right() - r, body.top());
        path.arcTo(QRectF(body.right() - 2 * r, body.top(), 2 * r, 2 * r), 90, -90);
        path.lineTo(body.right(), body.bottom() - r);
        path.arcTo(QRectF(body.right() - 2 * r, body.bottom() - 2 * r, 2 * r, 2 * r), 0, -90);
        path.lineTo(body.left() + r, body.bottom());
        path.arcTo(QRectF(body.left(), body.bottom() - 2 * r, 2 * r, 2 * r), 270, -90);
        path.lineTo(body.left(), body.top() + r);
        path.arcTo(QRectF(body.left(), body.top(), 2 * r, 2 * r), 180, -90);
    } else {
        const QRectF body(rect.left(), rect.top(), rect.width(), rect.height() - h);
        path.moveTo(body.left() + r, body.top());
        path.lineTo(body.right() - r, body.top());
        path.arcTo(QRectF(body.right() - 2 * r, body.top(), 2 * r, 2 * r), 90, -90);
        path.lineTo(body.right(), body.bottom() - r);
        path.arcTo(QRectF(body.right() - 2 * r, body.bottom() - 2 * r, 2 * r, 2 * r), 0, -90);
        if (withArrow) {
            path.lineTo(mid + w / 2, body.bottom());
            path.lineTo(mid, rect.bottom());
            path.lineTo(mid - w / 2, body.bottom());
        }
        path.lineTo(body.left() + r, body.bottom());
        path.arcTo(QRectF(body.left(), body.bottom() - 2 * r, 2 * r, 2 * r), 270, -90);
        path.lineTo(body.left(), body.top() + r);
        path.arcTo(QRectF(body.left(), body.top(), 2 * r, 2 * r), 180, -90);
    }
    path.closeSubpath();
    return path;
}

MenuBarTooltipView::MenuBarTooltipView(std::function<void()> onDismiss, ColorScheme& colorScheme,
                                       QWidget* parent)
    : QWidget(parent), m_onDismiss(std::move(onDismiss)), m_colorScheme(colorScheme),
      m_arrowCentre(AppConstants::tooltipWidth / 2), m_title(titleText), m_subtitle(subtitleText) {
    setAttribute(Qt::WA_TranslucentBackground);
    resize(int(AppConstants::tooltipWidth), int(AppConstants::tooltipArrowHeight + 90));
    const QFont gotItFont = pixelFont(12, QFont::Medium);
    const QFontMetricsF metrics(gotItFont);
    m_gotIt = new HoverScaleButton(
        QSizeF(std::ceil(metrics.horizontalAdvance(gotItText)) + 1, metrics.height()), 0, this);
    m_gotIt->setPainter([this, gotItFont](QPainter& painter, const QRectF& content, bool) {
        painter.setFont(gotItFont);
        painter.setPen(AdaptiveColors::accentTeal(m_colorScheme.current()));
        painter.drawText(content, Qt::AlignCenter, gotItText);
    });
    connect(m_gotIt, &QAbstractButton::clicked, this, [this] {
        if (m_onDismiss) {
            m_onDismiss();
        }
    });
    connect(&m_colorScheme, &ColorScheme::changed, this, [this] {
        update();
        m_gotIt->update();
    });
    relayout();
}

void MenuBarTooltipView::setArrow(double centre, bool onTop, bool shown) {
    m_arrowCentre = centre;
    m_arrowOnTop = onTop;
    m_arrowShown = shown;
    relayout();
}

void MenuBarTooltipView::setLines(const QString& title, const QString& subtitle) {
    m_title = title;
    m_subtitle = subtitle;
    update();
}

QRectF MenuBarTooltipView::body() const {
    const double h = AppConstants::tooltipArrowHeight;
    return m_arrowOnTop ? QRectF(0, h, width(), height() - h) : QRectF(0, 0, width(), height() - h);
}

QPainterPath MenuBarTooltipView::bubblePath() const {
    return TooltipShape{}.path(QRectF(0, 0, width(), height()), m_arrowCentre, m_arrowOnTop, m_arrowShown);
}

void MenuBarTooltipView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

void MenuBarTooltipView::relayout() {
    const QRectF inner = body().adjusted(padding, padding, -padding, -padding);
    const QSizeF button = m_gotIt->contentRect().size();
    m_gotIt->placeContent(
        QRectF(QPointF(inner.right() - button.width(), inner.center().y() - button.height() / 2), button));
    update();
}

void MenuBarTooltipView::paintEvent(QPaintEvent*) {
    const auto scheme = m_colorScheme.current();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const QPainterPath bubble = bubblePath();
    painter.fillPath(bubble, regularMaterial(scheme, Panel::drawsOpaqueMaterial(this)));
    QLinearGradient border(width() / 2.0, 0, width() / 2.0, height());
    const bool dark = scheme == ColorScheme::Scheme::dark;
    border.setColorAt(0.0, dark ? white(0.3) : black(0.08));
    border.setColorAt(0.5, dark ? white(0.12) : black(0.04));
    border.setColorAt(1.0, dark ? white(0.05) : black(0.02));
    QPen pen(QBrush(border), 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.strokePath(bubble, pen);

    // The texts take what the button and the two spacings leave.
    const QRectF inner = body().adjusted(padding, padding, -padding, -padding);
    const double textWidth = inner.width() - m_gotIt->contentRect().width() - 2 * spacing;
    const QFont titleFont = pixelFont(13, QFont::DemiBold);
    const QFont subtitleFont = pixelFont(12);
    const QRectF titleBounds = QFontMetricsF(titleFont).boundingRect(
        QRectF(0, 0, textWidth, 1000), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_title);
    const QRectF subtitleBounds =
        QFontMetricsF(subtitleFont)
            .boundingRect(QRectF(0, 0, textWidth, 1000), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop,
                          m_subtitle);
    const double block = titleBounds.height() + 4 + subtitleBounds.height();
    const double top = inner.center().y() - block / 2;
    painter.setFont(titleFont);
    painter.setPen(primary(scheme));
    painter.drawText(QRectF(inner.left(), top, textWidth, titleBounds.height()),
                     Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_title);
    painter.setFont(subtitleFont);
    painter.setPen(secondary(scheme));
    painter.drawText(QRectF(inner.left(), top + titleBounds.height() + 4, textWidth, subtitleBounds.height()),
                     Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, m_subtitle);
}
