#include "MusicSelectionView.h"

#include "AppConstants.h"
#include "ColorScheme.h"
#include "OnboardingStyle.h"
#include "OnboardingWindowController.h"
#include "Panel.h"
#include "ScreenArea.h"
#include "SettingsManager.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWheelEvent>

#include <algorithm>

using namespace OnboardingStyle;

namespace {

constexpr double pageWidth = AppConstants::onboardingWidth;
constexpr double pageHeight = AppConstants::onboardingHeight;
constexpr double sideInset = 48;
constexpr double sectionSpacing = 16;
constexpr double arrowFrameWidth = 50;
constexpr double switchWidth = 44;
constexpr double switchHeight = 26;
// Default spacing of a horizontal stack.
constexpr double stackSpacing = 8;
// The closed pickers' spring, for their label and their height.
constexpr double pickerResponse = 0.3;
constexpr double pickerDamping = 0.8;

double lineHeight(const QFont& font) {
    return QFontMetricsF(font).height();
}

double wrappedHeight(const QFont& font, const QString& text, double width, int maxLines = 0) {
    const QFontMetricsF metrics(font);
    const QRectF bounds = metrics.boundingRect(QRectF(0, 0, width, 10000),
                                               Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
    double height = bounds.height();
    if (maxLines > 0) {
        height = std::min(height, maxLines * metrics.lineSpacing());
    }
    return std::max(height, metrics.height());
}

void drawText(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color,
              const QString& text, int flags) {
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(rect, flags, text);
}

void drawElided(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color,
                const QString& text) {
    const QString shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, rect.width());
    drawText(painter, rect, font, color, shown, Qt::AlignLeft | Qt::AlignVCenter);
}

// A text of at most `maxLines` wrapped lines; the last one elided.
void drawWrapped(QPainter& painter, const QRectF& rect, const QFont& font, const QColor& color,
                 const QString& text, int maxLines) {
    painter.save();
    painter.setClipRect(rect.adjusted(0, 0, 0, 1));
    const QFontMetricsF metrics(font);
    const double full = wrappedHeight(font, text, rect.width());
    if (maxLines <= 0 || full <= maxLines * metrics.lineSpacing() + 0.5) {
        drawText(painter, rect, font, color, text, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop);
    } else {
        // Lay the lines out one by one so that the last shown line ends in an ellipsis.
        QStringList words = text.split(QLatin1Char(' '));
        QStringList lines;
        QString line;
        while (!words.isEmpty() && lines.size() < maxLines - 1) {
            const QString next = line.isEmpty() ? words.first() : line + QLatin1Char(' ') + words.first();
            if (metrics.horizontalAdvance(next) > rect.width() && !line.isEmpty()) {
                lines.append(line);
                line.clear();
            } else {
                line = next;
                words.removeFirst();
            }
        }
        const QString rest =
            (line.isEmpty() ? QString() : line + QLatin1Char(' ')) + words.join(QLatin1Char(' '));
        lines.append(metrics.elidedText(rest.trimmed(), Qt::ElideRight, rect.width()));
        drawText(painter, rect, font, color, lines.join(QLatin1Char('\n')), Qt::AlignLeft | Qt::AlignTop);
    }
    painter.restore();
}

QString sourceSymbol(SourceServiceOption option) {
    return option == SourceServiceOption::anyService ? QStringLiteral("music.note.list") : QString();
}

QString targetSymbol(TargetServiceOption option) {
    switch (option) {
    case TargetServiceOption::askEachTime:
        return QStringLiteral("questionmark.bubble");
    case TargetServiceOption::universalLink:
        return QStringLiteral("globe");
    default:
        return {};
    }
}

template <typename Option> QString serviceKey(Option option) {
    const std::optional<Platform> platform = SettingOptions::platform(option);
    return platform ? Platforms::rawValue(*platform) : QString();
}

// What a closed picker shows for a choice.
struct PickerLabel {
    QString serviceKey;
    QString symbol;
    QString title;
    std::optional<QString> subtitle;
};

PickerLabel sourceLabel(SourceServiceOption option) {
    return {serviceKey(option), sourceSymbol(option), SettingOptions::displayName(option),
            SettingOptions::subtitle(option)};
}

PickerLabel targetLabel(TargetServiceOption option) {
    return {serviceKey(option), targetSymbol(option), SettingOptions::displayName(option),
            SettingOptions::subtitle(option)};
}

// The icon slot of a picker or a row: the service's icon, or a white tile with a symbol.
void paintOptionIcon(QPainter& painter, const QString& key, const QString& symbol, const QRectF& rect) {
    if (!key.isEmpty()) {
        paintServiceIcon(painter, key, rect);
        return;
    }
    const bool large = rect.width() >= 32;
    paintSymbolTile(painter, symbol, rect, large ? 6 : 4, large ? 16 : 12);
}

// A closed picker's icon and texts (its background and chevron stay through a change).
void paintPickerContent(QPainter& painter, const QRectF& content, const PickerLabel& label, Scheme scheme) {
    const QRectF inner = content.adjusted(14, 12, -14, -12);
    const QRectF icon(inner.left(), content.center().y() - 16, 32, 32);
    paintOptionIcon(painter, label.serviceKey, label.symbol, icon);

    const double chevronLeft = inner.right() - 12;
    const double textLeft = icon.right() + 12;
    const double textWidth = chevronLeft - 12 - textLeft;
    if (label.subtitle) {
        const QFont titleFont = pixelFont(14, QFont::Medium);
        const QFont subtitleFont = pixelFont(10, QFont::Light);
        const double titleHeight = lineHeight(titleFont);
        const double subtitleHeight = wrappedHeight(subtitleFont, *label.subtitle, textWidth, 2);
        const double top = content.center().y() - (titleHeight + 2 + subtitleHeight) / 2;
        drawElided(painter, QRectF(textLeft, top, textWidth, titleHeight), titleFont, primary(scheme),
                   label.title);
        drawWrapped(painter, QRectF(textLeft, top + titleHeight + 2, textWidth, subtitleHeight), subtitleFont,
                    secondary(scheme), *label.subtitle, 2);
    } else {
        const QFont titleFont = pixelFont(15, QFont::Medium);
        drawElided(painter, QRectF(textLeft, content.top(), textWidth, content.height()), titleFont,
                   primary(scheme), label.title);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TealToggle

TealToggle::TealToggle(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(44, 26);
    m_knob = new OnboardingSpring(0.35, 0.5, -9, this);
    connect(m_knob, &OnboardingSpring::valueChanged, this, qOverload<>(&QWidget::update));
}

double TealToggle::knobOffset() const {
    return m_knob->value();
}

void TealToggle::setPaintOpacity(double opacity) {
    m_opacity = opacity;
    update();
}

void TealToggle::checkStateSet() {
    m_knob->animateTo(isChecked() ? 9 : -9);
}

void TealToggle::nextCheckState() {
    // A click sets the state with refreshes blocked, so checkStateSet does not hear of it.
    QAbstractButton::nextCheckState();
    m_knob->animateTo(isChecked() ? 9 : -9);
}

void TealToggle::jumpToState() {
    m_knob->setValue(isChecked() ? 9 : -9);
}

void TealToggle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_opacity);
    const QRectF track(0, 0, 44, 26);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? brandTeal() : systemGrey(0.3));
    painter.drawRoundedRect(track, 13, 13);

    const QRectF knob(track.center().x() - 11 + m_knob->value(), track.center().y() - 11, 22, 22);
    // Three soft shadows under the knob, outermost first.
    struct Shadow {
        double opacity, radius, dy;
    };
    const Shadow shadows[] = {{0.1, 4, 3}, {0.2, 2, 2}, {0.1, 0.5, 0.5}};
    for (const Shadow& shadow : shadows) {
        for (int ring = int(std::ceil(shadow.radius)); ring >= 1; --ring) {
            painter.setBrush(black(shadow.opacity / (shadow.radius + 1)));
            painter.drawEllipse(
                knob.translated(0, shadow.dy).adjusted(-ring * 0.5, -ring * 0.5, ring * 0.5, ring * 0.5));
        }
    }
    painter.setBrush(white());
    painter.drawEllipse(knob);
    if (m_keyboardFocus && hasFocus()) {
        paintFocusRing(painter, roundedRect(track.adjusted(1, 1, -1, -1), 12));
    }
}

void TealToggle::focusInEvent(QFocusEvent* event) {
    QAbstractButton::focusInEvent(event);
    m_keyboardFocus = isKeyboardFocus(event->reason());
    update();
}

void TealToggle::focusOutEvent(QFocusEvent* event) {
    QAbstractButton::focusOutEvent(event);
    m_keyboardFocus = false;
    update();
}

// ---------------------------------------------------------------------------------------------
// MusicSelectionView

struct MusicSelectionView::Layout {
    QRectF icon;
    QRectF title;
    QRectF subtitle;
    QRectF sourceLabel;
    QRectF targetLabel;
    QRectF sourcePicker;
    QRectF targetPicker;
    QPointF arrowCenter;
    QRectF divider;
    QRectF rowTitle;
    QRectF rowSubtitle;
    QRectF switchRect;
    double rowOffset = 0;
    QRectF save;
    QRectF warning;
};

namespace {
const QString titleText = QStringLiteral("Choose your music services");
const QString subtitleText = QStringLiteral("Tell Ondari which music services to detect and convert to.");
const QString sourceLabelText = QStringLiteral("Detect music URLs from:");
const QString targetLabelText = QStringLiteral("Convert music URLs to:");
const QString rowTitleText = QStringLiteral("Bi-directional conversion:");
const QString rowSubtitleText = QStringLiteral("Detect & convert both ways between your selected pair");
const QString warningMessage = QStringLiteral("You can't convert between the same music service.");
} // namespace

MusicSelectionView::MusicSelectionView(OnboardingWindowController& controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_settings(controller.settings()),
      m_selectedSource(m_settings.sourceService()), m_selectedTarget(m_settings.targetService()),
      m_isBidirectional(m_settings.isBidirectional()) {
    resize(int(pageWidth), int(pageHeight));
    setAttribute(Qt::WA_TranslucentBackground);

    m_closeButton =
        makeMinimizeButton(this, m_controller.colorScheme(), [this] { m_controller.minimizeToMenuBar(); });

    for (const bool source : {true, false}) {
        auto* picker = new HoverScaleButton(QSizeF(241, 56), 4, this);
        picker->setHoverScale(1.02);
        picker->setHoverBrightness(0.05);
        picker->setPainter([this, source](QPainter& painter, const QRectF& content, bool) {
            paintPickerLabel(painter, content, source);
        });
        connect(picker, &QAbstractButton::clicked, this,
                [this, source] { source ? toggleSourceDropdown() : toggleTargetDropdown(); });
        (source ? m_sourcePicker : m_targetPicker) = picker;
    }

    m_saveButton = new HoverScaleButton(QSizeF(140, 41), 4, this);
    m_saveButton->setHoverScale(1.03);
    m_saveButton->setHoverBrightness(0.1);
    m_saveButton->setPainter([this](QPainter& painter, const QRectF& content, bool) {
        const double radius = content.height() / 2;
        const QPainterPath capsule = roundedRect(content, radius);
        if (isSameService()) {
            painter.fillPath(capsule, systemGrey(0.5));
        } else {
            QLinearGradient fill(content.center().x(), content.top(), content.center().x(), content.bottom());
            fill.setColorAt(0, brandTeal());
            fill.setColorAt(1, brandTealDeep());
            painter.fillPath(capsule, fill);
        }
        painter.setClipPath(capsule);
        drawText(painter, content, pixelFont(14, QFont::DemiBold), white(), QStringLiteral("Save"),
                 Qt::AlignCenter);
    });
    m_saveButton->setHitShape(
        [](const QRectF& content) { return roundedRect(content, content.height() / 2); });
    connect(m_saveButton, &QAbstractButton::clicked, this, &MusicSelectionView::save);

    m_switch = new TealToggle(this);
    m_switch->setChecked(m_isBidirectional);
    m_switch->jumpToState();
    connect(m_switch, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != m_isBidirectional) {
            setBidirectional(on);
        }
    });
    // Tab goes as the eye does: the pickers, the switch under them, then Save.
    setTabOrder(m_closeButton, m_sourcePicker);
    setTabOrder(m_sourcePicker, m_targetPicker);
    setTabOrder(m_targetPicker, m_switch);
    setTabOrder(m_switch, m_saveButton);
    m_sourcePicker->installEventFilter(this);
    m_targetPicker->installEventFilter(this);

    m_rowPresence = new OnboardingSpring(0.4, 0.8, canBeBidirectional() ? 1.0 : 0.0, this);
    connect(m_rowPresence, &OnboardingSpring::valueChanged, this, &MusicSelectionView::relayout);
    m_arrow = new OnboardingSpring(0.35, 0.7, showsTwoWayArrow() ? 1.0 : 0.0, this);
    connect(m_arrow, &OnboardingSpring::valueChanged, this, qOverload<>(&QWidget::update));
    m_pickerHeight = new OnboardingSpring(pickerResponse, pickerDamping, targetPickerHeight(), this);
    connect(m_pickerHeight, &OnboardingSpring::valueChanged, this, &MusicSelectionView::relayout);
    for (const bool source : {true, false}) {
        auto* change = new OnboardingSpring(pickerResponse, pickerDamping, 1.0, this);
        HoverScaleButton* picker = source ? m_sourcePicker : m_targetPicker;
        connect(change, &OnboardingSpring::valueChanged, picker, qOverload<>(&QWidget::update));
        (source ? m_sourceChange : m_targetChange) = change;
    }

    connect(&m_settings, &SettingsManager::changed, this, qOverload<>(&QWidget::update));
    connect(&m_controller.colorScheme(), &ColorScheme::changed, this, [this] {
        update();
        for (QWidget* child : {static_cast<QWidget*>(m_closeButton), static_cast<QWidget*>(m_sourcePicker),
                               static_cast<QWidget*>(m_targetPicker), static_cast<QWidget*>(m_saveButton)}) {
            child->update();
        }
    });

    choicesChanged(false);
    relayout();
}

MusicSelectionView::~MusicSelectionView() {
    delete m_sourceList.data();
    delete m_targetList.data();
}

QSize MusicSelectionView::sizeHint() const {
    return {int(pageWidth), int(pageHeight)};
}

bool MusicSelectionView::isSameService() const {
    const std::optional<Platform> source = SettingOptions::platform(m_selectedSource);
    const std::optional<Platform> target = SettingOptions::platform(m_selectedTarget);
    return source && target && *source == *target;
}

bool MusicSelectionView::canBeBidirectional() const {
    return m_selectedSource != SourceServiceOption::anyService &&
           m_selectedTarget != TargetServiceOption::askEachTime &&
           m_selectedTarget != TargetServiceOption::universalLink;
}

bool MusicSelectionView::hasSubtitledSelection() const {
    return SettingOptions::subtitle(m_selectedSource).has_value() ||
           SettingOptions::subtitle(m_selectedTarget).has_value();
}

double MusicSelectionView::targetPickerHeight() const {
    return hasSubtitledSelection() ? 72 : 56;
}

double MusicSelectionView::pickerHeight() const {
    return m_pickerHeight->value();
}

double MusicSelectionView::pickerChangeProgress(bool source) const {
    return std::clamp((source ? m_sourceChange : m_targetChange)->value(), 0.0, 1.0);
}

bool MusicSelectionView::showsTwoWayArrow() const {
    return m_isBidirectional && m_selectedSource != SourceServiceOption::anyService;
}

QString MusicSelectionView::warningText() const {
    return isSameService() ? warningMessage : QStringLiteral(" ");
}

double MusicSelectionView::bidirectionalRowPresence() const {
    return m_rowPresence->value();
}

double MusicSelectionView::twoWayArrowProgress() const {
    return m_arrow->value();
}

void MusicSelectionView::chooseSource(SourceServiceOption option) {
    if (option != m_selectedSource) {
        startLabelChange(true);
    }
    m_selectedSource = option;
    if (option == SourceServiceOption::anyService) {
        setBidirectional(false);
    }
    closeList(true);
    choicesChanged(true);
}

void MusicSelectionView::chooseTarget(TargetServiceOption option) {
    if (option != m_selectedTarget) {
        startLabelChange(false);
    }
    m_selectedTarget = option;
    closeList(false);
    choicesChanged(false);
}

void MusicSelectionView::startLabelChange(bool source) {
    // The label chosen so far fades out while the new one fades in, on the label's spring.
    if (source) {
        m_leavingSource = m_selectedSource;
    } else {
        m_leavingTarget = m_selectedTarget;
    }
    OnboardingSpring* change = source ? m_sourceChange : m_targetChange;
    change->setValue(0.0);
    change->animateTo(1.0);
}

void MusicSelectionView::setBidirectional(bool on) {
    m_isBidirectional = on;
    if (m_switch->isChecked() != on) {
        const QSignalBlocker blocker(m_switch);
        m_switch->setChecked(on);
    }
    m_arrow->animateTo(showsTwoWayArrow() ? 1.0 : 0.0);
}

void MusicSelectionView::choicesChanged(bool sourceChanged) {
    if (sourceChanged) {
        m_arrow->animateTo(showsTwoWayArrow() ? 1.0 : 0.0);
    }
    const double presence = canBeBidirectional() ? 1.0 : 0.0;
    if (m_rowPresence->target() != presence) {
        m_rowPresence->animateTo(presence);
    }
    if (m_pickerHeight->target() != targetPickerHeight()) {
        m_pickerHeight->animateTo(targetPickerHeight());
    }
    const bool same = isSameService();
    m_saveButton->setEnabled(!same);
    m_saveButton->setHoverFeedback(!same);
    m_sourcePicker->update();
    m_targetPicker->update();
    m_saveButton->update();
    relayout();
}

void MusicSelectionView::save() {
    m_settings.setSourceService(m_selectedSource);
    m_settings.setTargetService(m_selectedTarget);
    m_settings.setIsBidirectional(m_isBidirectional);
    m_controller.musicSelectionCompleted();
}

MusicSelectionView::Layout MusicSelectionView::computeLayout() const {
    Layout l;
    const QFont titleFont = pixelFont(24, QFont::Bold);
    const QFont subtitleFont = pixelFont(14);
    const QFont labelFont = pixelFont(13);
    const QFont rowTitleFont = pixelFont(13, QFont::DemiBold);
    const QFont saveFont = pixelFont(14, QFont::DemiBold);
    const QFont warningFont = pixelFont(12);

    const double pickerHeight = m_pickerHeight->value();
    const double subtitleHeight = wrappedHeight(subtitleFont, subtitleText, pageWidth);
    const double header = 80 + 4 + 12 + lineHeight(titleFont) + 12 + subtitleHeight + 32;

    const double labelHeight = lineHeight(labelFont);
    const double serviceRow = labelHeight + 8 + pickerHeight;
    const double rowWidth = pageWidth - 2 * sideInset;
    const double rowTextWidth = rowWidth - switchWidth - stackSpacing * 2;
    const double rowSubtitleHeight = wrappedHeight(labelFont, rowSubtitleText, rowTextWidth);
    const double rowTextHeight = lineHeight(rowTitleFont) + 4 + rowSubtitleHeight;
    const double rowHeight = std::max(rowTextHeight, switchHeight);
    const double presence = std::clamp(m_rowPresence->value(), 0.0, 1.2);
    const double extra = 20 + 1 + 20 + rowHeight;
    const double selection = serviceRow + presence * extra + 12;

    const double saveHeight = lineHeight(saveFont) + 24;
    const double warningHeight = lineHeight(warningFont);
    const double saveGroup = saveHeight + 12 + warningHeight + 32;

    const double spacer = std::max(0.0, (pageHeight - header - selection - saveGroup) / 2);

    double y = spacer;
    l.icon = QRectF(pageWidth / 2 - 40, y, 80, 80);
    y += 80 + 4 + 12;
    l.title = QRectF(0, y, pageWidth, lineHeight(titleFont));
    y += l.title.height() + 12;
    l.subtitle = QRectF(24, y, pageWidth - 48, subtitleHeight);
    y += subtitleHeight + 32;

    const double sectionWidth = (rowWidth - 2 * sectionSpacing - arrowFrameWidth) / 2;
    const double sourceX = sideInset;
    const double arrowX = sourceX + sectionWidth + sectionSpacing;
    const double targetX = arrowX + arrowFrameWidth + sectionSpacing;
    l.sourceLabel = QRectF(sourceX, y, sectionWidth, labelHeight);
    l.targetLabel = QRectF(targetX, y, sectionWidth, labelHeight);
    l.sourcePicker = QRectF(sourceX, y + labelHeight + 8, sectionWidth, pickerHeight);
    l.targetPicker = QRectF(targetX, y + labelHeight + 8, sectionWidth, pickerHeight);
    // The arrow's frame is padded 22 at the top and centred on the row.
    l.arrowCenter = QPointF(arrowX + arrowFrameWidth / 2, y + serviceRow / 2 + 11);
    y += serviceRow + 20 * presence;

    l.divider = QRectF(sideInset, y, rowWidth, 1);
    y += (1 + 20) * presence;
    // The row comes in from the top edge of its slot.
    l.rowOffset = -(1.0 - std::min(presence, 1.0)) * rowHeight;
    const double rowTop = y + l.rowOffset;
    const double textTop = rowTop + (rowHeight - rowTextHeight) / 2;
    l.rowTitle = QRectF(sideInset, textTop, rowTextWidth, lineHeight(rowTitleFont));
    l.rowSubtitle = QRectF(sideInset, textTop + l.rowTitle.height() + 4, rowTextWidth, rowSubtitleHeight);
    l.switchRect = QRectF(sideInset + rowWidth - switchWidth, rowTop + (rowHeight - switchHeight) / 2,
                          switchWidth, switchHeight);
    y += rowHeight * presence + 12;

    y += spacer;
    l.save = QRectF(pageWidth / 2 - 70, y, 140, saveHeight);
    y += saveHeight + 12;
    l.warning = QRectF(0, y, pageWidth, warningHeight);
    return l;
}

void MusicSelectionView::relayout() {
    const Layout l = computeLayout();
    m_closeButton->placeContent(QRectF(12, 12, 24, 24));
    m_sourcePicker->placeContent(l.sourcePicker);
    m_targetPicker->placeContent(l.targetPicker);
    m_saveButton->placeContent(l.save);
    m_switch->setGeometry(l.switchRect.toRect());
    const double presence = std::clamp(m_rowPresence->value(), 0.0, 1.0);
    m_switch->setPaintOpacity(presence);
    m_switch->setVisible(presence > 0.01 || canBeBidirectional());
    m_switch->setEnabled(canBeBidirectional());
    m_closeButton->raise();
    update();
}

bool MusicSelectionView::eventFilter(QObject* watched, QEvent* event) {
    // A focused picker opens its list with Enter or an arrow key too, as a pop-up button does.
    if ((watched == m_sourcePicker || watched == m_targetPicker) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Down || key == Qt::Key_Up) {
            const bool source = watched == m_sourcePicker;
            if (!(source ? m_showSourceDropdown : m_showTargetDropdown)) {
                openList(source);
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MusicSelectionView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

void MusicSelectionView::paintEvent(QPaintEvent*) {
    const auto scheme = m_controller.colorScheme().current();
    const Layout l = computeLayout();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    paintCard(painter, QRectF(0, 0, pageWidth, pageHeight), AppConstants::onboardingCornerRadius, scheme,
              Panel::drawsOpaqueMaterial(this));

    paintAppIcon(painter, l.icon);
    drawText(painter, l.title, pixelFont(24, QFont::Bold), primary(scheme), titleText, Qt::AlignCenter);
    drawText(painter, l.subtitle, pixelFont(14), secondary(scheme), subtitleText,
             Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap);

    drawText(painter, l.sourceLabel, pixelFont(13), secondary(scheme), sourceLabelText,
             Qt::AlignLeft | Qt::AlignVCenter);
    drawText(painter, l.targetLabel, pixelFont(13), secondary(scheme), targetLabelText,
             Qt::AlignLeft | Qt::AlignVCenter);

    // Two arrows on one centre, trading opacity and scale.
    const double twoWay = m_arrow->value();
    const auto paintArrow = [&](const QString& symbol, double opacity, double scale) {
        if (opacity <= 0.001 || scale <= 0.001) {
            return;
        }
        painter.save();
        painter.setOpacity(std::clamp(opacity, 0.0, 1.0));
        painter.translate(l.arrowCenter);
        painter.scale(scale, scale);
        paintSymbol(painter, symbol, QRectF(-9, -9, 18, 18), brandTeal(), QFont::Medium);
        painter.restore();
    };
    paintArrow(QStringLiteral("arrow.left.arrow.right"), twoWay, 0.5 + 0.5 * twoWay);
    paintArrow(QStringLiteral("arrow.right"), 1.0 - twoWay, 1.0 - 0.5 * twoWay);

    const double presence = std::clamp(m_rowPresence->value(), 0.0, 1.0);
    if (presence > 0.001) {
        painter.save();
        painter.setOpacity(presence);
        const double dividerScale = 0.95 + 0.05 * presence;
        QRectF divider = l.divider;
        divider.setWidth(divider.width() * dividerScale);
        divider.moveCenter(l.divider.center());
        painter.fillRect(divider, primary(scheme, 0.1));
        drawText(painter, l.rowTitle, pixelFont(13, QFont::DemiBold), primary(scheme), rowTitleText,
                 Qt::AlignLeft | Qt::AlignVCenter);
        drawText(painter, l.rowSubtitle, pixelFont(13), secondary(scheme), rowSubtitleText,
                 Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap);
        painter.restore();
    }

    painter.save();
    painter.setOpacity(warningOpacity());
    drawText(painter, l.warning, pixelFont(12), amber(), warningText(), Qt::AlignCenter);
    painter.restore();
}

void MusicSelectionView::paintPickerLabel(QPainter& painter, const QRectF& content, bool source) const {
    const auto scheme = m_controller.colorScheme().current();
    const QPainterPath shape = roundedRect(content, 10);
    painter.fillPath(shape, scheme == ColorScheme::Scheme::dark ? white(0.08) : black(0.06));
    if (isSameService()) {
        painter.save();
        painter.setPen(QPen(amber(), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
        painter.restore();
    }

    const QRectF inner = content.adjusted(14, 12, -14, -12);
    const QRectF chevron(inner.right() - 12, content.center().y() - 6, 12, 12);
    paintSymbol(painter, QStringLiteral("chevron.down"), chevron, secondary(scheme), QFont::Medium);

    const PickerLabel now = source ? sourceLabel(m_selectedSource) : targetLabel(m_selectedTarget);
    const double progress = pickerChangeProgress(source);
    if (progress >= 1.0) {
        paintPickerContent(painter, content, now, scheme);
        return;
    }
    // A change in flight: the two labels cross over.
    const PickerLabel leaving = source ? sourceLabel(m_leavingSource) : targetLabel(m_leavingTarget);
    const double opacity = painter.opacity();
    painter.setOpacity(opacity * (1.0 - progress));
    paintPickerContent(painter, content, leaving, scheme);
    painter.setOpacity(opacity * progress);
    paintPickerContent(painter, content, now, scheme);
    painter.setOpacity(opacity);
}

// ---------------------------------------------------------------------------------------------
// The pickers' lists

namespace {
// When a click outside the list lands on its own picker, the list closes and that click must
// not open it again.
QElapsedTimer& lastDismissal() {
    static QElapsedTimer timer;
    return timer;
}
QPointer<QWidget>& lastDismissedPicker() {
    static QPointer<QWidget> picker;
    return picker;
}
bool justDismissedBy(QWidget* picker) {
    return lastDismissedPicker() == picker && lastDismissal().isValid() && lastDismissal().elapsed() < 250;
}
} // namespace

void MusicSelectionView::toggleSourceDropdown() {
    if (justDismissedBy(m_sourcePicker)) {
        return;
    }
    if (m_showSourceDropdown) {
        closeList(true);
    } else {
        openList(true);
    }
}

void MusicSelectionView::toggleTargetDropdown() {
    if (justDismissedBy(m_targetPicker)) {
        return;
    }
    if (m_showTargetDropdown) {
        closeList(false);
    } else {
        openList(false);
    }
}

void MusicSelectionView::openList(bool source) {
    std::vector<ServiceDropdownList::Row> rows;
    if (source) {
        for (const SourceServiceOption option : SettingOptions::allCases<SourceServiceOption>()) {
            rows.push_back({SettingOptions::displayName(option), SettingOptions::subtitle(option),
                            serviceKey(option), sourceSymbol(option), option == m_selectedSource});
        }
    } else {
        for (const TargetServiceOption option : SettingOptions::allCases<TargetServiceOption>()) {
            rows.push_back({SettingOptions::displayName(option), SettingOptions::subtitle(option),
                            serviceKey(option), targetSymbol(option), option == m_selectedTarget});
        }
    }
    auto* list = new ServiceDropdownList(std::move(rows), this);
    QPointer<MusicSelectionView> self(this);
    list->onChoose = [self, source](int index) {
        if (!self) {
            return;
        }
        if (source) {
            self->chooseSource(SettingOptions::allCases<SourceServiceOption>().at(size_t(index)));
        } else {
            self->chooseTarget(SettingOptions::allCases<TargetServiceOption>().at(size_t(index)));
        }
    };
    list->onHover = [self, source](std::optional<int> index) {
        if (!self) {
            return;
        }
        if (source) {
            self->m_hoveredSourceOption =
                index ? std::optional(SettingOptions::allCases<SourceServiceOption>().at(size_t(*index)))
                      : std::nullopt;
        } else {
            self->m_hoveredTargetOption =
                index ? std::optional(SettingOptions::allCases<TargetServiceOption>().at(size_t(*index)))
                      : std::nullopt;
        }
    };
    list->onDismissed = [self, source] {
        if (!self) {
            return;
        }
        QWidget* picker = source ? self->m_sourcePicker : self->m_targetPicker;
        if (picker->rect().contains(picker->mapFromGlobal(QCursor::pos()))) {
            lastDismissal().start();
            lastDismissedPicker() = picker;
        }
        (source ? self->m_showSourceDropdown : self->m_showTargetDropdown) = false;
        (source ? self->m_sourceList : self->m_targetList) = nullptr;
    };
    HoverScaleButton* picker = source ? m_sourcePicker : m_targetPicker;
    const QRectF content = picker->contentRect();
    QRect anchor(picker->mapToGlobal(content.topLeft().toPoint()), content.size().toSize());
    // A list that opens upward keeps clear of the picker's label too.
    const Layout l = computeLayout();
    anchor.setTop(mapToGlobal((source ? l.sourceLabel : l.targetLabel).topLeft().toPoint()).y());
    (source ? m_showSourceDropdown : m_showTargetDropdown) = true;
    (source ? m_sourceList : m_targetList) = list;
    list->popUnder(anchor);
}

void MusicSelectionView::closeList(bool source) {
    (source ? m_showSourceDropdown : m_showTargetDropdown) = false;
    QPointer<ServiceDropdownList>& list = source ? m_sourceList : m_targetList;
    if (list) {
        ServiceDropdownList* closing = list;
        list = nullptr;
        closing->onDismissed = nullptr;
        closing->hide();
        closing->deleteLater();
    }
    if (source) {
        m_hoveredSourceOption.reset();
    } else {
        m_hoveredTargetOption.reset();
    }
}

ServiceDropdownList::ServiceDropdownList(std::vector<Row> rows, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint),
      m_rows(std::move(rows)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setMouseTracking(true);
    resize(int(listWidth), int(std::ceil(arrowHeight + 8 + rowsHeight() + 8)));
}

namespace {
constexpr double rowIcon = 24;
constexpr double rowCheck = 12;

double rowTextWidth(bool selected) {
    // 8 list padding, 8 row padding on each side; icon, spacings and the checkmark's slot.
    double width = ServiceDropdownList::listWidth - 16 - 16 - rowIcon - 12;
    if (selected) {
        width -= 12 + rowCheck;
    }
    return width;
}
} // namespace

double ServiceDropdownList::rowHeight(int index) const {
    const Row& row = m_rows.at(size_t(index));
    const double width = rowTextWidth(row.selected);
    double text = wrappedHeight(pixelFont(12), row.title, width);
    if (row.subtitle) {
        text += 2 + wrappedHeight(pixelFont(10, QFont::Light), *row.subtitle, width, 2);
    }
    return std::max(rowIcon, text) + 16;
}

double ServiceDropdownList::rowsHeight() const {
    double height = 0;
    for (int i = 0; i < rowCount(); ++i) {
        height += rowHeight(i);
    }
    return height;
}

QRectF ServiceDropdownList::rowArea() const {
    const double top = (m_upward ? 0.0 : arrowHeight) + 8;
    return QRectF(8, top, listWidth - 16, height() - arrowHeight - 16);
}

QRectF ServiceDropdownList::rowRect(int index) const {
    double y = rowArea().top() - m_scroll;
    for (int i = 0; i < index; ++i) {
        y += rowHeight(i);
    }
    return QRectF(8, y, listWidth - 16, rowHeight(index));
}

void ServiceDropdownList::popUnder(const QRect& anchor) {
    const double full = arrowHeight + 8 + rowsHeight() + 8;
    QPoint topLeft(anchor.center().x() - int(listWidth / 2), anchor.y() + anchor.height());
    int height = int(std::ceil(full));
    m_upward = false;
    const QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen) {
        const QRect area = ScreenArea::usable(*screen);
        topLeft.setX(
            std::clamp(topLeft.x(), area.x(), std::max(area.x(), area.x() + area.width() - width())));
        const int below = area.y() + area.height() - (anchor.y() + anchor.height());
        const int above = anchor.y() - area.y();
        // Below when the rows fit there; else on the roomier side, scrolling what does not fit.
        m_upward = below < height && above > below;
        height = std::max(std::min(height, m_upward ? above : below), int(arrowHeight + 16 + rowHeight(0)));
        topLeft.setY(m_upward ? anchor.y() - height : anchor.y() + anchor.height());
    }
    m_scroll = 0;
    resize(int(listWidth), height);
    move(topLeft);
    if (!Panel::compositorRunning()) {
        // Nothing would draw what lies behind the rounded corners and the arrow.
        setMask(QRegion(shape().toFillPolygon().toPolygon()));
    }
    show();
}

QPainterPath ServiceDropdownList::shape() const {
    // The card with its arrow pointing at the picker.
    const QRectF card(0, m_upward ? 0 : arrowHeight, width(), height() - arrowHeight);
    QPainterPath outline = roundedRect(card, 10);
    QPainterPath arrow;
    const double mid = width() / 2.0;
    const double base = m_upward ? card.bottom() - 0.5 : arrowHeight + 0.5;
    arrow.moveTo(mid - 9, base);
    arrow.lineTo(mid, m_upward ? height() : 0);
    arrow.lineTo(mid + 9, base);
    arrow.closeSubpath();
    return outline.united(arrow);
}

void ServiceDropdownList::scrollBy(double delta) {
    const double most = std::max(0.0, rowsHeight() - rowArea().height());
    const double scroll = std::clamp(m_scroll + delta, 0.0, most);
    if (scroll != m_scroll) {
        m_scroll = scroll;
        update();
    }
}

void ServiceDropdownList::scrollToRow(int index) {
    const QRectF area = rowArea();
    const QRectF row = rowRect(index);
    if (row.top() < area.top()) {
        scrollBy(row.top() - area.top());
    } else if (row.bottom() > area.bottom()) {
        scrollBy(row.bottom() - area.bottom());
    }
}

void ServiceDropdownList::wheelEvent(QWheelEvent* event) {
    scrollBy(-event->angleDelta().y() / 120.0 * rowHeight(0));
    setHovered(rowAt(event->position()));
    event->accept();
}

void ServiceDropdownList::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Down:
    case Qt::Key_Up: {
        const bool down = event->key() == Qt::Key_Down;
        int row = 0;
        if (m_hovered) {
            row = std::clamp(*m_hovered + (down ? 1 : -1), 0, rowCount() - 1);
        } else {
            // The first press marks the chosen row, or the end the key points from.
            const auto selected =
                std::find_if(m_rows.cbegin(), m_rows.cend(), [](const Row& r) { return r.selected; });
            row = selected != m_rows.cend() ? int(selected - m_rows.cbegin()) : (down ? 0 : rowCount() - 1);
        }
        setHovered(row);
        scrollToRow(row);
        break;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (m_hovered && onChoose) {
            m_chosen = true;
            const auto choose = onChoose;
            choose(*m_hovered);
        }
        break;
    case Qt::Key_Escape:
        close();
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

std::optional<int> ServiceDropdownList::rowAt(const QPointF& pos) const {
    if (!rowArea().contains(pos)) {
        return std::nullopt;
    }
    for (int i = 0; i < rowCount(); ++i) {
        if (rowRect(i).contains(pos)) {
            return i;
        }
    }
    return std::nullopt;
}

void ServiceDropdownList::setHovered(std::optional<int> row) {
    if (row == m_hovered) {
        return;
    }
    m_hovered = row;
    if (onHover) {
        onHover(row);
    }
    update();
}

void ServiceDropdownList::mouseMoveEvent(QMouseEvent* event) {
    setHovered(rowAt(event->position()));
}

void ServiceDropdownList::leaveEvent(QEvent*) {
    setHovered(std::nullopt);
}

void ServiceDropdownList::mouseReleaseEvent(QMouseEvent* event) {
    const std::optional<int> row = rowAt(event->position());
    if (!row || event->button() != Qt::LeftButton) {
        return;
    }
    m_chosen = true;
    if (onChoose) {
        // The view closes (and deletes) the list from here.
        const auto choose = onChoose;
        choose(*row);
    }
}

void ServiceDropdownList::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!m_chosen && onDismissed) {
        const auto dismissed = onDismissed;
        onDismissed = nullptr;
        dismissed();
    }
}

void ServiceDropdownList::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    painter.fillPath(shape(), popoverBackground());

    const QRectF area = rowArea();
    painter.setClipRect(area);
    for (int i = 0; i < rowCount(); ++i) {
        const Row& row = m_rows.at(size_t(i));
        const QRectF rect = rowRect(i);
        if (!rect.intersects(area)) {
            continue;
        }
        if (m_hovered == i) {
            painter.fillPath(roundedRect(rect, 8), white(0.1));
        }
        const QRectF inner = rect.adjusted(8, 8, -8, -8);
        const QRectF icon(inner.left(), rect.center().y() - rowIcon / 2, rowIcon, rowIcon);
        paintOptionIcon(painter, row.serviceKey, row.symbol, icon);
        const double textLeft = icon.right() + 12;
        const double textWidth = rowTextWidth(row.selected);
        const double titleHeight = wrappedHeight(pixelFont(12), row.title, textWidth);
        const double subtitleHeight =
            row.subtitle ? wrappedHeight(pixelFont(10, QFont::Light), *row.subtitle, textWidth, 2) : 0.0;
        const double block = titleHeight + (row.subtitle ? 2 + subtitleHeight : 0.0);
        const double top = rect.center().y() - block / 2;
        drawText(painter, QRectF(textLeft, top, textWidth, titleHeight), pixelFont(12), white(), row.title,
                 Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap);
        if (row.subtitle) {
            drawWrapped(painter, QRectF(textLeft, top + titleHeight + 2, textWidth, subtitleHeight),
                        pixelFont(10, QFont::Light), white(0.7), *row.subtitle, 2);
        }
        if (row.selected) {
            paintSymbol(
                painter, QStringLiteral("checkmark"),
                QRectF(inner.right() - rowCheck, rect.center().y() - rowCheck / 2, rowCheck, rowCheck),
                brandTeal(), QFont::DemiBold);
        }
    }
}
