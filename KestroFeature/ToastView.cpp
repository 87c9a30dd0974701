#include "ToastView.h"

#include "AppConstants.h"
#include "ConversionQueue.h"
#include "ErrorStateView.h"
#include "LoadingStateView.h"
#include "Panel.h"
#include "PromptStateView.h"
#include "SettingsManager.h"
#include "SuccessStateView.h"
#include "SystemColors.h"
#include "ToastCloseButton.h"

#include <QLinearGradient>
#include <QPainter>

namespace {
constexpr int padding = int(AppConstants::toastScreenMargin);
constexpr int outerPadding = int(AppConstants::toastShadowPadding);
constexpr qreal cornerRadius = AppConstants::toastCornerRadius;
constexpr int closeDiameter = int(AppConstants::toastButtonSize);
constexpr int closeOffset = 4;
constexpr int stackSpacing = 16;
constexpr int stateRowHeight = 36;

QColor white(double opacity) {
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}
QColor black(double opacity) {
    return QColor::fromRgbF(0, 0, 0, float(opacity));
}
} // namespace

ToastContentView::ToastContentView(ToastEnvironment environment, QWidget* parent)
    : QWidget(parent), m_env(environment), m_preview(environment.settings.showURLPreview()),
      m_closeButton(new ToastCloseButton(environment.colorScheme, closeDiameter, this)) {
    m_closeButton->move(closeOffset, closeOffset);
    connect(m_closeButton, &ToastCloseButton::clicked, this, [this] { m_env.queue.dismiss(); });
    connect(&m_closeOpacity, &AnimatedValue::valueChanged, m_closeButton, &ToastCloseButton::setOpacity);
    connect(&m_env.queue, &ConversionQueue::changed, this, &ToastContentView::refresh);
    connect(&m_env.settings, &SettingsManager::changed, this, &ToastContentView::refresh);
    connect(&m_env.colorScheme, &ColorScheme::changed, this, [this] { update(); });
    resize(panelSize(m_preview));
    refresh();
}

QSize ToastContentView::cardSize(bool preview) {
    return preview
               ? QSize(int(AppConstants::toastWidthWithPreview), int(AppConstants::toastHeightWithPreview))
               : QSize(int(AppConstants::toastWidthCompact), int(AppConstants::toastHeightCompact));
}

QSize ToastContentView::panelSize(bool preview) {
    return cardSize(preview) + QSize(outerPadding, outerPadding);
}

QRect ToastContentView::cardRect() const {
    return QRect(QPoint(outerPadding, outerPadding), cardSize(m_preview));
}

QRect ToastContentView::contentRect() const {
    return cardRect().adjusted(padding, padding, -padding, -padding);
}

QPainterPath ToastContentView::cardPath() const {
    QPainterPath path;
    path.addRoundedRect(QRectF(cardRect()), cornerRadius, cornerRadius);
    return path;
}

QPainterPath ToastContentView::closeButtonPath() const {
    QPainterPath path;
    path.addEllipse(QRectF(closeOffset, closeOffset, closeDiameter, closeDiameter));
    return path;
}

QString ToastContentView::rowPlatform() const {
    const ConversionQueue& queue = m_env.queue;
    if (queue.toastState().kind != ToastState::Kind::success) {
        return Platforms::rawValue(queue.displaySourcePlatform());
    }
    if (queue.isUniversalLinkMode()) {
        return QStringLiteral("universalLink");
    }
    return Platforms::rawValue(queue.displayTargetPlatform());
}

SongPreviewView::Inputs ToastContentView::rowInputs() const {
    const ConversionQueue& queue = m_env.queue;
    return {queue.sourceMetadata(), queue.isLoadingMetadata(), rowPlatform(),
            Platforms::rawValue(queue.displaySourcePlatform()),
            queue.toastState().kind == ToastState::Kind::success};
}

void ToastContentView::refresh() {
    // The card keeps the layout its panel was built for; a new preview setting takes effect
    // with the next toast, as a card resized inside the old panel would be cut off.
    if (m_preview && !m_songRow) {
        m_songRow = new SongPreviewView(m_env.colorScheme, m_env.network, rowInputs(), this);
        m_songRow->show();
    } else if (m_preview) {
        m_songRow->setInputs(rowInputs());
    }

    const ToastState& state = m_env.queue.toastState();
    if (m_stateKind != state.kind || !m_stateView) {
        // The old body may be the sender of this very change (a button inside it), so it goes later.
        if (m_stateView) {
            m_stateView->hide();
            m_stateView->deleteLater();
        }
        m_stateKind = state.kind;
        QWidget* view = nullptr;
        switch (state.kind) {
        case ToastState::Kind::prompt:
            view = new PromptStateView(m_env.queue, m_env.accessibility, m_env.colorScheme, m_preview, this);
            break;
        case ToastState::Kind::loading:
            view = new LoadingStateView(m_env.colorScheme, this);
            break;
        case ToastState::Kind::success:
            view = new SuccessStateView(m_env.colorScheme, this);
            break;
        case ToastState::Kind::error:
            view = new ErrorStateView(m_env.queue, m_env.colorScheme, state.message, state.details, this);
            break;
        }
        m_stateView = view;
        view->show();
    } else if (auto* prompt = qobject_cast<PromptStateView*>(m_stateView)) {
        prompt->refresh();
    } else if (auto* error = qobject_cast<ErrorStateView*>(m_stateView)) {
        error->setError(state.message, state.details);
    }

    layoutChildren();
    m_closeButton->raise();
    update();
}

void ToastContentView::layoutChildren() {
    const QRect content = contentRect();
    int y = content.top();
    if (m_songRow) {
        m_songRow->setRowGeometry(QRect(content.left(), y, content.width(), SongPreviewView::rowHeight));
        y += SongPreviewView::rowHeight + stackSpacing + 1 + stackSpacing;
    }
    if (auto* row = qobject_cast<ToastRowView*>(m_stateView)) {
        row->setRowGeometry(QRect(content.left(), y, content.width(), stateRowHeight));
    }
}

void ToastContentView::setHovered(bool hovered) {
    if (hovered == m_hovered) {
        return;
    }
    m_hovered = hovered;
    m_closeOpacity.animateTo(hovered ? 1 : 0, hoverDuration, TimingCurve::easeInOut());
    emit shapeChanged();
}

void ToastContentView::enterEvent(QEnterEvent*) {
    setHovered(true);
}

void ToastContentView::leaveEvent(QEvent*) {
    setHovered(false);
}

void ToastContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto scheme = m_env.colorScheme.current();
    const bool dark = scheme == ColorScheme::Scheme::dark;
    const QRectF card = cardRect();
    painter.fillPath(cardPath(), SystemColors::regularMaterial(scheme, Panel::drawsOpaqueMaterial(this)));

    const QRectF edge = card.adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient border(card.topLeft(), card.bottomLeft());
    border.setColorAt(0, dark ? white(0.3) : black(0.08));
    border.setColorAt(0.5, dark ? white(0.12) : black(0.04));
    border.setColorAt(1, dark ? white(0.05) : black(0.02));
    QPainterPath outline;
    outline.addRoundedRect(edge, cornerRadius - 0.5, cornerRadius - 0.5);
    painter.strokePath(outline, QPen(QBrush(border), 1));

    if (m_songRow) {
        const QRect content = contentRect();
        const QRectF divider(content.left(), content.top() + SongPreviewView::rowHeight + stackSpacing,
                             content.width(), 1);
        painter.fillRect(divider, SystemColors::withOpacity(SystemColors::primaryLabel(scheme), 0.2));
    }
}
