#include "OnboardingContentView.h"

#include "Accessibility.h"
#include "AdaptiveColors.h"
#include "AppConstants.h"
#include "ColorScheme.h"
#include "ModalAlert.h"
#include "MusicSelectionView.h"
#include "OnboardingStyle.h"
#include "OnboardingWindowController.h"
#include "Panel.h"
#include "Termination.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

using namespace OnboardingStyle;

namespace {
constexpr double pageWidth = AppConstants::onboardingWidth;
constexpr double pageHeight = AppConstants::onboardingHeight;
constexpr double actionWidth = 240;
// The shortcut as this desktop writes it.
const QString shortcutText = QStringLiteral("Ctrl+↩");

double lineHeight(const QFont& font) {
    return QFontMetricsF(font).height();
}

void drawText(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color,
              const QString& text, int flags) {
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(rect, flags, text);
}

QFont underlined(QFont font) {
    font.setUnderline(true);
    return font;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Permission page

struct OnboardingPermissionPage::Layout {
    QRectF icon;
    QRectF title;
    QRectF subtitle;
    QRectF card;
    QRectF cardTitle;
    QRectF cardText;
    QRectF action;
    QRectF skip;
    QRectF quit;
};

OnboardingPermissionPage::OnboardingPermissionPage(OnboardingWindowController& controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_shown(controller.state()), m_previous(controller.state()) {
    resize(int(pageWidth), int(pageHeight));
    setAttribute(Qt::WA_TranslucentBackground);

    m_closeButton =
        makeMinimizeButton(this, m_controller.colorScheme(), [this] { m_controller.minimizeToMenuBar(); });

    const QFont quitFont = pixelFont(11);
    m_quitButton = new HoverScaleButton(
        QSizeF(std::ceil(QFontMetricsF(quitFont).horizontalAdvance(QStringLiteral("Quit"))),
               lineHeight(quitFont)),
        0, this);
    m_quitButton->setPainter([this, quitFont](QPainter& painter, const QRectF& content, bool) {
        drawText(painter, content, quitFont, secondary(m_controller.colorScheme().current(), 0.6),
                 QStringLiteral("Quit"), Qt::AlignCenter);
    });
    connect(m_quitButton, &QAbstractButton::clicked, this, &Termination::terminateApplication);

    const QFont allowFont = pixelFont(14, QFont::Medium);
    m_allowButton = new HoverScaleButton(QSizeF(actionWidth, lineHeight(allowFont) + 28), 3, this);
    m_allowButton->setHoverScale(1.01);
    m_allowButton->setPainter([this, allowFont](QPainter& painter, const QRectF& content, bool) {
        const QColor teal = AdaptiveColors::accentTeal(m_controller.colorScheme().current());
        QColor fill = teal;
        fill.setAlphaF(0.15f);
        painter.fillPath(roundedRect(content, 10), fill);
        drawText(painter, content, allowFont, teal, QStringLiteral("Allow the Ctrl+Return shortcut"),
                 Qt::AlignCenter);
    });
    m_allowButton->setHitShape([](const QRectF& content) { return roundedRect(content, 10); });
    connect(m_allowButton, &QAbstractButton::clicked, this, [this] { m_controller.requestAccessibility(); });

    const QFont skipFont = underlined(pixelFont(13));
    m_skipButton = new HoverScaleButton(
        QSizeF(std::ceil(QFontMetricsF(skipFont).horizontalAdvance(QStringLiteral("Skip for now"))) + 1,
               lineHeight(skipFont)),
        0, this);
    m_skipButton->setPainter([this, skipFont](QPainter& painter, const QRectF& content, bool) {
        drawText(painter, content, skipFont, secondary(m_controller.colorScheme().current()),
                 QStringLiteral("Skip for now"), Qt::AlignCenter);
    });
    connect(m_skipButton, &QAbstractButton::clicked, this, [this] {
        if (onSkip) {
            onSkip();
        }
    });

    const auto skipHidden = [](OnboardingState s) {
        return s == OnboardingState::granted || s == OnboardingState::skipped;
    };
    m_swap = new OnboardingSpring(0.5, 0.85, 1.0, this);
    m_skipOpacity = new OnboardingSpring(0.5, 0.85, skipHidden(m_shown) ? 0.0 : 1.0, this);
    m_quitOpacity =
        new OnboardingSpring(0.5, 0.85, m_shown == OnboardingState::waitingForGrant ? 1.0 : 0.0, this);
    for (OnboardingSpring* spring : {m_swap, m_skipOpacity, m_quitOpacity}) {
        connect(spring, &OnboardingSpring::valueChanged, this, &OnboardingPermissionPage::relayout);
    }

    m_spinner.setInterval(1000 / 12);
    connect(&m_spinner, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % 12;
        update();
    });

    connect(&m_controller, &OnboardingWindowController::stateChanged, this,
            &OnboardingPermissionPage::stateChanged);
    connect(&m_controller, &OnboardingWindowController::showWelcomeTextChanged, this,
            qOverload<>(&QWidget::update));
    connect(&m_controller.colorScheme(), &ColorScheme::changed, this, [this] {
        update();
        for (HoverScaleButton* child : {m_closeButton, m_quitButton, m_allowButton, m_skipButton}) {
            child->update();
        }
    });
    relayout();
}

QString OnboardingPermissionPage::title() const {
    return m_controller.showWelcomeText() ? QStringLiteral("Welcome to Ondari!")
                                          : QStringLiteral("Enable Hotkey");
}

QString OnboardingPermissionPage::subtitle() const {
    const Accessibility& accessibility = m_controller.accessibility();
    if (!accessibility.sessionCanObserveKeys()) {
        // No permission can help here: say why, and that skipping loses only the shortcut.
        const QString reason =
            Accessibility::isWaylandSession()
                ? shortcutText + QStringLiteral(" needs an X11 session.")
                : QStringLiteral("This X server cannot report ") + shortcutText + QStringLiteral(".");
        return reason + QStringLiteral(" Skip this step and use the toast's Convert button.");
    }
    return m_controller.showWelcomeText() ? QStringLiteral("Before you start, we need one permission.")
                                          : QStringLiteral("Allow Ondari to watch for the ") + shortcutText +
                                                QStringLiteral(" shortcut.");
}

void OnboardingPermissionPage::stateChanged(OnboardingState state) {
    m_previous = m_shown;
    m_shown = state;
    m_swap->setValue(0.0);
    m_swap->animateTo(1.0);
    const bool skipHidden = state == OnboardingState::granted || state == OnboardingState::skipped;
    m_skipOpacity->animateTo(skipHidden ? 0.0 : 1.0);
    m_quitOpacity->animateTo(state == OnboardingState::waitingForGrant ? 1.0 : 0.0);
    relayout();
}

OnboardingPermissionPage::Layout OnboardingPermissionPage::computeLayout() const {
    Layout l;
    const QFont titleFont = pixelFont(24, QFont::Bold);
    const QFont subtitleFont = pixelFont(14);
    const QFont cardTitleFont = pixelFont(15, QFont::DemiBold);
    const QFont cardTextFont = pixelFont(13);
    const QFont skipFont = pixelFont(13);

    const double textColumn = lineHeight(cardTitleFont) + 6 + 2 * QFontMetricsF(cardTextFont).lineSpacing();
    const double actionHeight = m_allowButton->contentRect().height();
    const double cardHeight = std::max(textColumn, actionHeight) + 40;
    const double fixed = 80 + 16 + lineHeight(titleFont) + 8 + lineHeight(subtitleFont) + 28 + cardHeight +
                         lineHeight(skipFont) + 28;
    const double spacer = std::max(0.0, (pageHeight - fixed) / 2);

    double y = spacer;
    l.icon = QRectF(pageWidth / 2 - 40, y, 80, 80);
    y += 80 + 16;
    l.title = QRectF(0, y, pageWidth, lineHeight(titleFont));
    y += l.title.height() + 8;
    l.subtitle = QRectF(0, y, pageWidth, lineHeight(subtitleFont));
    y += l.subtitle.height() + 28;
    l.card = QRectF(40, y, pageWidth - 80, cardHeight);
    const QRectF inner = l.card.adjusted(20, 20, -20, -20);
    const double textWidth = inner.width() - actionWidth - 8;
    const double textTop = inner.center().y() - textColumn / 2;
    l.cardTitle = QRectF(inner.left(), textTop, textWidth, lineHeight(cardTitleFont));
    l.cardText = QRectF(inner.left(), textTop + l.cardTitle.height() + 6, textWidth,
                        2 * QFontMetricsF(cardTextFont).lineSpacing());
    l.action = QRectF(inner.right() - actionWidth, inner.top(), actionWidth, inner.height());
    y += cardHeight + spacer;
    const QSizeF skipSize = m_skipButton->contentRect().size();
    l.skip = QRectF(QPointF(pageWidth / 2 - skipSize.width() / 2, y), skipSize);
    const QSizeF quitSize = m_quitButton->contentRect().size();
    l.quit = QRectF(QPointF(pageWidth - 12 - quitSize.width(), 12), quitSize);
    return l;
}

void OnboardingPermissionPage::relayout() {
    const Layout l = computeLayout();
    m_closeButton->placeContent(QRectF(12, 12, 24, 24));
    m_quitButton->placeContent(l.quit);
    m_skipButton->placeContent(l.skip);
    const QSizeF allowSize = m_allowButton->contentRect().size();
    m_allowButton->placeContent(
        QRectF(QPointF(l.action.left(), l.action.center().y() - allowSize.height() / 2), allowSize));

    const double swap = std::clamp(m_swap->value(), 0.0, 1.0);
    double allowOpacity = 0.0;
    if (m_shown == OnboardingState::needsPermission) {
        allowOpacity = m_previous == OnboardingState::needsPermission ? 1.0 : swap;
    } else if (m_previous == OnboardingState::needsPermission) {
        allowOpacity = 1.0 - swap;
    }
    m_allowButton->setPaintOpacity(allowOpacity);
    m_allowButton->setVisible(allowOpacity > 0.001);
    m_allowButton->setEnabled(m_shown == OnboardingState::needsPermission);

    const double skipOpacity = std::clamp(m_skipOpacity->value(), 0.0, 1.0);
    const bool skipActive = m_shown != OnboardingState::granted && m_shown != OnboardingState::skipped;
    m_skipButton->setPaintOpacity(skipOpacity);
    m_skipButton->setEnabled(skipActive);

    const double quitOpacity = std::clamp(m_quitOpacity->value(), 0.0, 1.0);
    m_quitButton->setPaintOpacity(quitOpacity);
    m_quitButton->setVisible(quitOpacity > 0.001 || m_shown == OnboardingState::waitingForGrant);
    m_quitButton->setEnabled(m_shown == OnboardingState::waitingForGrant);

    const bool spinning = m_shown == OnboardingState::waitingForGrant ||
                          (m_previous == OnboardingState::waitingForGrant && swap < 1.0);
    if (spinning && !m_spinner.isActive()) {
        m_spinner.start();
    } else if (!spinning) {
        m_spinner.stop();
    }
    update();
}

void OnboardingPermissionPage::paintEvent(QPaintEvent*) {
    const auto scheme = m_controller.colorScheme().current();
    const Layout l = computeLayout();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    paintCard(painter, QRectF(0, 0, pageWidth, pageHeight), AppConstants::onboardingCornerRadius, scheme,
              Panel::drawsOpaqueMaterial(this));
    paintAppIcon(painter, l.icon);
    drawText(painter, l.title, pixelFont(24, QFont::Bold), primary(scheme), title(), Qt::AlignCenter);
    drawText(painter, l.subtitle, pixelFont(14), secondary(scheme), subtitle(), Qt::AlignCenter);

    // The permission card: an almost invisible fill that only catches the eye as a shape.
    QColor cardFill = scheme == ColorScheme::Scheme::dark ? white() : black();
    cardFill.setAlphaF(0.015f);
    painter.fillPath(roundedRect(l.card, 12), cardFill);

    const QFont cardTitleFont = pixelFont(15, QFont::DemiBold);
    drawText(painter, l.cardTitle, cardTitleFont, primary(scheme),
             QFontMetricsF(cardTitleFont)
                 .elidedText(QStringLiteral("Shortcut Permission"), Qt::ElideRight, l.cardTitle.width()),
             Qt::AlignLeft | Qt::AlignVCenter);

    // "When a music link is detected,\npress ⟨shortcut⟩ to convert it." with the shortcut set apart.
    const QFont textFont = pixelFont(13);
    const QFont shortcutFont = pixelFont(13, QFont::Medium);
    const double lineSpacing = QFontMetricsF(textFont).lineSpacing();
    painter.save();
    painter.setClipRect(l.cardText);
    drawText(painter, QRectF(l.cardText.left(), l.cardText.top(), l.cardText.width(), lineSpacing), textFont,
             secondary(scheme), QStringLiteral("When a music link is detected,"),
             Qt::AlignLeft | Qt::AlignVCenter);
    double x = l.cardText.left();
    const double secondLine = l.cardText.top() + lineSpacing;
    const auto run = [&](const QString& text, const QFont& runFont, const QColor& color) {
        const double advance = QFontMetricsF(runFont).horizontalAdvance(text);
        drawText(painter, QRectF(x, secondLine, advance + 1, lineSpacing), runFont, color, text,
                 Qt::AlignLeft | Qt::AlignVCenter);
        x += advance;
    };
    run(QStringLiteral("press "), textFont, secondary(scheme));
    run(shortcutText, shortcutFont, primary(scheme));
    run(QStringLiteral(" to convert it."), textFont, secondary(scheme));
    painter.restore();

    const double swap = std::clamp(m_swap->value(), 0.0, 1.0);
    if (m_previous != m_shown && swap < 1.0) {
        paintActionArea(painter, l.action, m_previous, 1.0 - swap);
    }
    paintActionArea(painter, l.action, m_shown, m_previous != m_shown ? swap : 1.0);
}

void OnboardingPermissionPage::paintActionArea(QPainter& painter, const QRectF& area, OnboardingState state,
                                               double opacity) {
    if (opacity <= 0.001) {
        return;
    }
    const auto scheme = m_controller.colorScheme().current();
    painter.save();
    painter.setOpacity(opacity);
    switch (state) {
    case OnboardingState::needsPermission:
        // The allow button draws itself.
        break;
    case OnboardingState::waitingForGrant: {
        const QFont waitingFont = pixelFont(13);
        const QString text = QStringLiteral("Waiting...");
        const double spinner = 32 * 0.6;
        const double textWidth = QFontMetricsF(waitingFont).horizontalAdvance(text);
        const double total = spinner + 6 + textWidth;
        const double left = area.center().x() - total / 2;
        paintSpinner(painter, QPointF(left + spinner / 2, area.center().y()), 1.0);
        drawText(painter, QRectF(left + spinner + 6, area.top(), textWidth + 2, area.height()), waitingFont,
                 secondary(scheme), text, Qt::AlignLeft | Qt::AlignVCenter);
        break;
    }
    case OnboardingState::granted: {
        const QColor teal = AdaptiveColors::accentTealSecondary(scheme);
        const QFont labelFont = pixelFont(14, QFont::Medium);
        const double height = lineHeight(labelFont) + 28;
        const QRectF bar(area.left(), area.center().y() - height / 2, area.width(), height);
        QColor fill = teal;
        fill.setAlphaF(0.15f);
        painter.fillPath(roundedRect(bar, 10), fill);
        const QString text = QStringLiteral("Ctrl+Return shortcut enabled");
        const double textWidth = QFontMetricsF(labelFont).horizontalAdvance(text);
        const double total = 14 + 8 + textWidth;
        const double left = bar.center().x() - total / 2;
        paintSymbol(painter, QStringLiteral("checkmark"), QRectF(left, bar.center().y() - 7, 14, 14), teal,
                    QFont::DemiBold);
        drawText(painter, QRectF(left + 22, bar.top(), textWidth + 2, bar.height()), labelFont, teal, text,
                 Qt::AlignLeft | Qt::AlignVCenter);
        break;
    }
    case OnboardingState::skipped:
        drawText(painter, area, pixelFont(14, QFont::Medium), secondary(scheme), QStringLiteral("Skipped"),
                 Qt::AlignCenter);
        break;
    case OnboardingState::musicSelection:
        break;
    }
    painter.restore();
}

void OnboardingPermissionPage::paintSpinner(QPainter& painter, const QPointF& centre, double opacity) {
    const auto scheme = m_controller.colorScheme().current();
    painter.save();
    painter.translate(centre);
    const double outer = 32 * 0.6 / 2;
    QPen pen(secondary(scheme), 2.0, Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < 12; ++i) {
        // The spoke at the current step is the brightest; the others trail off behind it.
        const int age = (m_spinnerStep - i + 12) % 12;
        QColor color = primary(scheme);
        color.setAlphaF(float(color.alphaF() * opacity * (1.0 - age / 13.0)));
        pen.setColor(color);
        painter.setPen(pen);
        const double angle = i * M_PI / 6;
        const QPointF direction(std::sin(angle), -std::cos(angle));
        painter.drawLine(direction * outer * 0.5, direction * outer);
    }
    painter.restore();
}

// ---------------------------------------------------------------------------------------------
// Content view

OnboardingContentView::OnboardingContentView(OnboardingWindowController& controller, QWidget* parent)
    : QWidget(parent), m_controller(controller) {
    resize(int(pageWidth), int(pageHeight));
    setAttribute(Qt::WA_TranslucentBackground);
    m_permissionPage = new OnboardingPermissionPage(controller, this);
    m_permissionPage->onSkip = [this] { confirmSkip(); };
    m_progress = new OnboardingSpring(0.5, 0.85, 1.0, this);
    connect(m_progress, &OnboardingSpring::valueChanged, this, [this](double value) {
        update();
        if (!m_progress->isRunning() && value == m_progress->target()) {
            finishTransition();
        }
    });
    connect(&controller, &OnboardingWindowController::stateChanged, this,
            &OnboardingContentView::stateChanged);
    showPage(controller.state() == OnboardingState::musicSelection, false);
}

QSize OnboardingContentView::sizeHint() const {
    return {int(pageWidth), int(pageHeight)};
}

double OnboardingContentView::transitionProgress() const {
    return m_transition ? m_progress->value() : 1.0;
}

void OnboardingContentView::stateChanged(OnboardingState state) {
    const bool music = state == OnboardingState::musicSelection;
    if (music != m_showingMusic) {
        showPage(music, true);
    }
}

void OnboardingContentView::showPage(bool music, bool animated) {
    if (m_transition) {
        finishTransition();
    }
    QWidget* outgoing = m_showingMusic ? static_cast<QWidget*>(m_musicPage.data()) : m_permissionPage;
    if (music) {
        // Each showing of the music page starts from the stored settings.
        m_musicPage = new MusicSelectionView(m_controller, this);
        m_musicPage->move(0, 0);
    }
    m_showingMusic = music;
    if (!animated || !outgoing) {
        m_permissionPage->setVisible(!music);
        if (m_musicPage) {
            m_musicPage->setVisible(music);
            if (!music) {
                m_musicPage->deleteLater();
                m_musicPage = nullptr;
            }
        }
        return;
    }
    m_transition = Transition{outgoing->grab(), music};
    outgoing->hide();
    if (outgoing == m_musicPage.data()) {
        m_musicPage->deleteLater();
        m_musicPage = nullptr;
    }
    QWidget* incoming = music ? static_cast<QWidget*>(m_musicPage.data()) : m_permissionPage;
    incoming->hide();
    m_progress->setValue(0.0);
    m_progress->animateTo(1.0);
    update();
}

void OnboardingContentView::finishTransition() {
    if (!m_transition) {
        return;
    }
    m_transition.reset();
    if (m_showingMusic && m_musicPage) {
        m_musicPage->show();
    } else {
        m_permissionPage->show();
    }
    update();
}

void OnboardingContentView::paintEvent(QPaintEvent*) {
    if (!m_transition) {
        return;
    }
    const double p = m_progress->value();
    const double fade = std::clamp(p, 0.0, 1.0);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QWidget* incoming = m_transition->toMusic ? static_cast<QWidget*>(m_musicPage.data()) : m_permissionPage;
    if (m_transition->toMusic) {
        // The permission page leaves upwards while the music page rises into place.
        painter.setOpacity(1.0 - fade);
        painter.drawPixmap(QPointF(0, -30 * p), m_transition->outgoing);
        if (incoming) {
            painter.setOpacity(fade);
            painter.drawPixmap(QPointF(0, 20 * (1.0 - p)), incoming->grab());
        }
    } else {
        painter.setOpacity(1.0 - fade);
        painter.drawPixmap(QPointF(0, 0), m_transition->outgoing);
        if (incoming) {
            painter.setOpacity(fade);
            painter.drawPixmap(QPointF(0, 0), incoming->grab());
        }
    }
}

void OnboardingContentView::confirmSkip() {
    AlertRequest alert;
    alert.messageText = QStringLiteral("Skip Shortcut Permission?");
    alert.informativeText = QStringLiteral("Without this permission, the ") + shortcutText +
                            QStringLiteral(" keyboard shortcut will not work.");
    alert.style = AlertRequest::Style::warning;
    alert.buttons = {QStringLiteral("Skip Anyway"), QStringLiteral("Cancel")};
    if (m_controller.alerts().runModal(alert) == 0) {
        m_controller.skip();
    }
}

void OnboardingContentView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_dragOffset = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void OnboardingContentView::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragOffset && (event->buttons() & Qt::LeftButton)) {
        window()->move(event->globalPosition().toPoint() - *m_dragOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void OnboardingContentView::mouseReleaseEvent(QMouseEvent* event) {
    m_dragOffset.reset();
    QWidget::mouseReleaseEvent(event);
}
