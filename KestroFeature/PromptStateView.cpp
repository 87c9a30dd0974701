#include "PromptStateView.h"

#include "Accessibility.h"
#include "AskModeDropdownButton.h"
#include "ConversionQueue.h"
#include "GradientButton.h"
#include "Shadow.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"
#include "ToastColors.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr qreal spacing = 12;
constexpr qreal lineSpacing = 2;
constexpr qreal iconSide = 36;
constexpr qreal glowRadius = 8;
QFont titleFont() {
    return SystemFont::font(14, QFont::Bold);
}
QFont queueFont() {
    return SystemFont::font(SystemFont::TextStyle::caption);
}
} // namespace

PromptStateView::PromptStateView(ConversionQueue& queue, Accessibility& accessibility,
                                 ColorScheme& colorScheme, bool songRowShown, QWidget* parent)
    : ToastRowView(colorScheme, parent), m_queue(queue), m_accessibility(accessibility),
      m_songRowShown(songRowShown) {
    connect(&colorScheme, &ColorScheme::changed, this, [this] { restyle(); });
    refresh();
}

GradientButton* PromptStateView::convertButton() const {
    return m_convert;
}

AskModeDropdownButton* PromptStateView::askModeMenu() const {
    return m_menu;
}

QString PromptStateView::shortcutHint() {
    return QStringLiteral("Ctrl+⏎");
}

QList<Platform> PromptStateView::targetOptions(Platform source) {
    QList<Platform> options;
    for (Platform platform : Platforms::allCases()) {
        if (platform != source) {
            options.append(platform);
        }
    }
    return options;
}

QString PromptStateView::title() const {
    if (m_queue.isAskMode()) {
        return tr("Convert %1 link").arg(Platforms::displayName(m_queue.displaySourcePlatform()));
    }
    if (m_queue.isUniversalLinkMode()) {
        return tr("Convert to a Universal Link?");
    }
    return tr("Convert URL to %1?").arg(Platforms::displayName(m_queue.displayTargetPlatform()));
}

QString PromptStateView::queueLine() const {
    const int count = m_queue.queueCount();
    return count > 0 ? tr("+%1 more in queue").arg(qint64(count)) : QString();
}

bool PromptStateView::showsIcon() const {
    return !m_songRowShown;
}

qreal PromptStateView::textLeft() const {
    return rowRect().left() + (showsIcon() ? iconSide + spacing : 0);
}

qreal PromptStateView::titleWidth() const {
    // The flexible spacer between the texts and the action keeps the stack's spacing on both
    // sides. The action keeps its ideal size; the title gives way.
    const GradientButton* action = m_convert ? static_cast<GradientButton*>(m_convert) : m_menu;
    const qreal actionLeft =
        action ? action->geometry().left() + GradientButton::margin : rowRect().right() + 1;
    return std::max<qreal>(0, actionLeft - 2 * spacing - textLeft());
}

QString PromptStateView::shownTitle() const {
    return QFontMetricsF(titleFont()).elidedText(title(), Qt::ElideRight, titleWidth());
}

QColor PromptStateView::accentColor() const {
    return m_queue.isUniversalLinkMode() ? ToastColors::brandTeal()
                                         : ToastColors::brandColor(m_queue.displayTargetPlatform(), scheme());
}

QList<QColor> PromptStateView::buttonGradient() const {
    return m_queue.isUniversalLinkMode()
               ? ToastColors::universalGradient()
               : ToastColors::buttonGradient(m_queue.displayTargetPlatform(), scheme());
}

QColor PromptStateView::buttonTextColor() const {
    return m_queue.isUniversalLinkMode() ? QColor(Qt::white)
                                         : ToastColors::buttonTextColor(m_queue.displayTargetPlatform());
}

void PromptStateView::refresh() {
    const bool askMode = m_queue.isAskMode();
    const Platform source = m_queue.displaySourcePlatform();
    // Trust is asked each time the row is evaluated; its change alone does not redraw.
    m_hint = m_accessibility.isTrusted();
    if (!m_built || askMode != m_isAskMode || (askMode && source != m_menuSource)) {
        m_built = true;
        m_isAskMode = askMode;
        // Dropped later: the change may come from inside the old button's own click.
        for (QWidget* old : {static_cast<QWidget*>(m_convert), static_cast<QWidget*>(m_menu)}) {
            if (old) {
                old->hide();
                old->deleteLater();
            }
        }
        m_convert = nullptr;
        m_menu = nullptr;
        if (askMode) {
            m_menuSource = source;
            m_menu = new AskModeDropdownButton(
                source, targetOptions(source), [this](Platform chosen) { m_queue.confirmConversion(chosen); },
                this);
            m_menu->show();
        } else {
            m_convert = new GradientButton(this);
            connect(m_convert, &GradientButton::clicked, this, [this] { m_queue.confirmConversion(); });
            m_convert->show();
        }
    }
    restyle();
}

void PromptStateView::restyle() {
    if (m_convert) {
        QList<GradientButton::Part> parts{{tr("Convert"), {}, SystemFont::font(14, QFont::DemiBold), 1}};
        if (m_hint) {
            parts.append({shortcutHint(), {}, SystemFont::font(14), 0.7});
        }
        m_convert->setParts(parts, 8);
        m_convert->setGradient(buttonGradient());
        m_convert->setTextColor(buttonTextColor());
        QColor shadow = accentColor();
        shadow.setAlphaF(0.3f);
        m_convert->setShadow(shadow, 6, QPointF(0, 2));
    }
    layoutRow();
    update();
}

void PromptStateView::layoutRow() {
    const QRect row = rowRect();
    GradientButton* action = m_convert ? static_cast<GradientButton*>(m_convert) : m_menu;
    if (action) {
        const QSizeF size = action->buttonSize();
        action->placeButton(
            QPointF(row.right() + 1 - size.width(), row.top() + (row.height() - size.height()) / 2));
    }
}

void PromptStateView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRect row = rowRect();
    const qreal centerY = row.top() + row.height() / 2.0;
    const qreal x = textLeft();
    if (showsIcon()) {
        const QRectF icon(row.left(), centerY - iconSide / 2, iconSide, iconSide);
        QPainterPath circle;
        circle.addEllipse(icon);
        // A soft glow rather than a crisp disc.
        Shadow::paint(painter, circle, SystemColors::withOpacity(accentColor(), 0.2), glowRadius);
        SystemSymbol::paint(painter, icon.center(), QStringLiteral("music.note"),
                            SystemFont::pixelSize(SystemFont::TextStyle::title2), accentColor());
    }

    const qreal width = titleWidth();
    const QColor primary = SystemColors::primaryLabel(scheme());
    const QFontMetricsF titleMetrics(titleFont());
    const QString more = queueLine();
    if (more.isEmpty()) {
        drawLine(painter, x, centerY, width, title(), titleFont(), primary);
        return;
    }
    const QFontMetricsF line(queueFont());
    const qreal top = centerY - (titleMetrics.height() + lineSpacing + line.height()) / 2;
    drawLine(painter, x, top + titleMetrics.height() / 2, width, title(), titleFont(), primary);
    drawLine(painter, x, top + titleMetrics.height() + lineSpacing + line.height() / 2, width, more,
             queueFont(), SystemColors::secondaryLabel(scheme()));
}
