#include "SubtitledMenuAction.h"

#include "SystemSymbol.h"

#include <QActionGroup>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <algorithm>

namespace {

constexpr int checkColumn = 28;
constexpr int rightPadding = 16;
constexpr int verticalPadding = 4;
constexpr int subtitlePixelSize = 11;

// Paints one item of the action in the menu that hosts it, in the menu's own palette: the
// menu around it is drawn by the Qt style, so its colours must match that, not the scheme's.
class ItemWidget : public QWidget {
public:
    ItemWidget(SubtitledMenuAction* action, QMenu* menu) : QWidget(menu), m_action(action), m_menu(menu) {
        setMouseTracking(true);
        setAttribute(Qt::WA_Hover);
        if (menu) {
            connect(menu, &QMenu::hovered, this, qOverload<>(&QWidget::update));
        }
        connect(action, &QAction::changed, this, qOverload<>(&QWidget::update));
    }

    QSize sizeHint() const override {
        const QFontMetrics title(font());
        const QFontMetrics small(subtitleFont());
        if (m_action->isNote()) {
            return {checkColumn + small.horizontalAdvance(m_action->text()) + rightPadding,
                    small.height() + 2 * verticalPadding};
        }
        const int width = std::max(title.horizontalAdvance(m_action->text()),
                                   small.horizontalAdvance(m_action->subtitle()));
        return {checkColumn + width + rightPadding,
                title.height() + 1 + small.height() + 2 * verticalPadding};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPalette& palette = this->palette();
        const bool enabled = m_action->isEnabled();
        const bool selected = enabled && !m_action->isNote() && m_menu && m_menu->activeAction() == m_action;
        if (selected) {
            painter.fillRect(rect(), palette.color(QPalette::Active, QPalette::Highlight));
        }
        const QColor text = selected  ? palette.color(QPalette::Active, QPalette::HighlightedText)
                            : enabled ? palette.color(QPalette::Active, QPalette::Text)
                                      : palette.color(QPalette::Disabled, QPalette::Text);
        // The secondary label colour: the text colour at half strength.
        QColor secondary = text;
        secondary.setAlphaF(text.alphaF() * (selected ? 0.8f : 0.5f));

        const QFont small = subtitleFont();
        if (m_action->isNote()) {
            painter.setFont(small);
            QColor noteColor = palette.color(QPalette::Active, QPalette::Text);
            noteColor.setAlphaF(noteColor.alphaF() * 0.5f);
            painter.setPen(noteColor);
            painter.drawText(rect().adjusted(checkColumn, 0, -rightPadding, 0),
                             Qt::AlignLeft | Qt::AlignVCenter, m_action->text());
            return;
        }
        const QFontMetrics titleMetrics(font());
        const QRect titleRect(checkColumn, verticalPadding, width() - checkColumn - rightPadding,
                              titleMetrics.height());
        const QRect mark(0, titleRect.top(), checkColumn, titleRect.height());
        const bool exclusive = m_action->actionGroup() && m_action->actionGroup()->isExclusive();
        if (exclusive && m_action->isChecked()) {
            // One of several that exclude each other: the radio dot the menu's other items show.
            painter.setPen(Qt::NoPen);
            painter.setBrush(text);
            painter.drawEllipse(QPointF(mark.center()) + QPointF(0.5, 0.5), 3.5, 3.5);
        } else if (m_action->isChecked()) {
            SystemSymbol::paint(painter, QPointF(mark.center()) + QPointF(0.5, 0.5),
                                QStringLiteral("checkmark"), 12, text, QFont::DemiBold);
        }
        painter.setFont(font());
        painter.setPen(text);
        painter.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, m_action->text());
        painter.setFont(small);
        painter.setPen(secondary);
        painter.drawText(
            QRect(checkColumn, titleRect.bottom() + 2, titleRect.width(), QFontMetrics(small).height()),
            Qt::AlignLeft | Qt::AlignVCenter, m_action->subtitle());
    }

    void enterEvent(QEnterEvent* event) override {
        QWidget::enterEvent(event);
        if (m_menu && m_action->isEnabled() && !m_action->isNote()) {
            m_menu->setActiveAction(m_action);
        }
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()) ||
            !m_action->isEnabled() || m_action->isNote()) {
            QWidget::mouseReleaseEvent(event);
            return;
        }
        // As a chosen item does, the whole chain of menus closes before the action runs.
        QPointer<SubtitledMenuAction> action(m_action);
        for (QWidget* w = m_menu; w; w = w->parentWidget()) {
            if (auto* menu = qobject_cast<QMenu*>(w)) {
                menu->hide();
            }
        }
        if (action) {
            action->activate(QAction::Trigger);
        }
    }

private:
    QFont subtitleFont() const {
        QFont small = font();
        small.setPixelSize(subtitlePixelSize);
        return small;
    }

    SubtitledMenuAction* m_action;
    QMenu* m_menu;
};

} // namespace

SubtitledMenuAction::SubtitledMenuAction(const QString& title, const QString& subtitle, QObject* parent)
    : QWidgetAction(parent), m_subtitle(subtitle) {
    setText(title);
}

SubtitledMenuAction* SubtitledMenuAction::note(const QString& text, QObject* parent) {
    auto* action = new SubtitledMenuAction(text, QString(), parent);
    action->m_note = true;
    action->setEnabled(false);
    return action;
}

QWidget* SubtitledMenuAction::createWidget(QWidget* parent) {
    return new ItemWidget(this, qobject_cast<QMenu*>(parent));
}
