#pragma once

#include "SettingOptions.h"

#include <QAbstractButton>
#include <QPainterPath>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class HoverScaleButton;
class OnboardingSpring;
class OnboardingWindowController;
class SettingsManager;
class ServiceDropdownList;

// The onboarding's switch: a teal capsule with a white knob that springs across.
class TealToggle : public QAbstractButton {
    Q_OBJECT

public:
    explicit TealToggle(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {44, 26}; }
    // The knob's horizontal offset from the centre now on screen (+9 on, -9 off).
    double knobOffset() const;
    void setPaintOpacity(double opacity);
    // Puts the knob where the state says, without the spring (a new page).
    void jumpToState();

protected:
    void paintEvent(QPaintEvent* event) override;
    void checkStateSet() override;
    void nextCheckState() override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    OnboardingSpring* m_knob;
    double m_opacity = 1.0;
    bool m_keyboardFocus = false;
};

// The onboarding's second page: which service's links are detected, what they become, and
// whether the pair converts both ways. The choices are the page's own until Save.
class MusicSelectionView : public QWidget {
    Q_OBJECT

public:
    explicit MusicSelectionView(OnboardingWindowController& controller, QWidget* parent = nullptr);
    ~MusicSelectionView() override;

    SourceServiceOption selectedSource() const { return m_selectedSource; }
    TargetServiceOption selectedTarget() const { return m_selectedTarget; }
    bool isBidirectional() const { return m_isBidirectional; }

    // Both sides name the same concrete service.
    bool isSameService() const;
    // The pair can be converted both ways.
    bool canBeBidirectional() const;
    // Either side shows a subtitle, so both closed pickers are the taller kind.
    bool hasSubtitledSelection() const;
    // The closed pickers' height now on screen: it springs between 56 and 72 as the choices
    // change.
    double pickerHeight() const;
    // How far a picker's label is through its change from the previous choice, 0 to 1 (1 at
    // rest).
    double pickerChangeProgress(bool source) const;
    // The arrow between the pickers points both ways.
    bool showsTwoWayArrow() const;

    bool isSourceDropdownOpen() const { return m_showSourceDropdown; }
    bool isTargetDropdownOpen() const { return m_showTargetDropdown; }
    std::optional<SourceServiceOption> hoveredSourceOption() const { return m_hoveredSourceOption; }
    std::optional<TargetServiceOption> hoveredTargetOption() const { return m_hoveredTargetOption; }

    // What the warning line says now (a single space when there is nothing to warn about).
    QString warningText() const;
    double warningOpacity() const { return isSameService() ? 1.0 : 0.0; }
    // 1 while the bidirectional row is fully in, 0 while it is out; in between while it moves.
    double bidirectionalRowPresence() const;
    // Opacity of the two-way arrow now on screen (the one-way arrow has the rest).
    double twoWayArrowProgress() const;

    // The row actions of the pickers' lists.
    void chooseSource(SourceServiceOption option);
    void chooseTarget(TargetServiceOption option);
    void toggleSourceDropdown();
    void toggleTargetDropdown();
    // Stores the three choices and ends the flow.
    void save();

    HoverScaleButton* sourcePicker() const { return m_sourcePicker; }
    HoverScaleButton* targetPicker() const { return m_targetPicker; }
    HoverScaleButton* saveButton() const { return m_saveButton; }
    HoverScaleButton* closeButton() const { return m_closeButton; }
    TealToggle* bidirectionalSwitch() const { return m_switch; }
    // The open popover lists, if any.
    ServiceDropdownList* sourceList() const { return m_sourceList; }
    ServiceDropdownList* targetList() const { return m_targetList; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Layout;
    Layout computeLayout() const;
    void relayout();
    void choicesChanged(bool sourceChanged);
    void setBidirectional(bool on);
    void paintPickerLabel(QPainter& painter, const QRectF& content, bool source) const;
    void startLabelChange(bool source);
    double targetPickerHeight() const;
    void openList(bool source);
    void closeList(bool source);

    OnboardingWindowController& m_controller;
    SettingsManager& m_settings;

    SourceServiceOption m_selectedSource;
    TargetServiceOption m_selectedTarget;
    bool m_isBidirectional;
    bool m_showSourceDropdown = false;
    bool m_showTargetDropdown = false;
    std::optional<SourceServiceOption> m_hoveredSourceOption;
    std::optional<TargetServiceOption> m_hoveredTargetOption;

    HoverScaleButton* m_closeButton;
    HoverScaleButton* m_sourcePicker;
    HoverScaleButton* m_targetPicker;
    HoverScaleButton* m_saveButton;
    TealToggle* m_switch;
    QPointer<ServiceDropdownList> m_sourceList;
    QPointer<ServiceDropdownList> m_targetList;

    OnboardingSpring* m_rowPresence;
    OnboardingSpring* m_arrow;
    // The pickers' label change and height share one spring's motion.
    OnboardingSpring* m_pickerHeight;
    OnboardingSpring* m_sourceChange;
    OnboardingSpring* m_targetChange;
    // The choices a label changes from; read only while its change is in flight.
    SourceServiceOption m_leavingSource = SourceServiceOption::spotify;
    TargetServiceOption m_leavingTarget = TargetServiceOption::spotify;
};

// A picker's popover: one row per option on a dark card, opening under the picker, or above it
// where the screen has no room below. Where neither side holds every row, the rows scroll.
class ServiceDropdownList : public QWidget {
    Q_OBJECT

public:
    struct Row {
        QString title;
        std::optional<QString> subtitle;
        // A service key for the service icon, or a symbol name for a white tile.
        QString serviceKey;
        QString symbol;
        bool selected = false;
    };

    static constexpr double listWidth = 280;
    static constexpr double arrowHeight = 8;

    ServiceDropdownList(std::vector<Row> rows, QWidget* parent = nullptr);

    // Places the list under `anchor` (global coordinates), or above it when only that side has
    // room, and shows it. It never covers the anchor.
    void popUnder(const QRect& anchor);

    int rowCount() const { return int(m_rows.size()); }
    // The row's rectangle in the list's coordinates (scrolled rows lie partly outside).
    QRectF rowRect(int index) const;
    std::optional<int> hoveredRow() const { return m_hovered; }

    std::function<void(int)> onChoose;
    std::function<void(std::optional<int>)> onHover;
    // The list went away without a choice (a click outside it).
    std::function<void()> onDismissed;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    std::optional<int> rowAt(const QPointF& pos) const;
    void setHovered(std::optional<int> row);
    double rowHeight(int index) const;
    double rowsHeight() const;
    // The area the rows are shown in.
    QRectF rowArea() const;
    QPainterPath shape() const;
    void scrollBy(double delta);
    void scrollToRow(int index);

    std::vector<Row> m_rows;
    std::optional<int> m_hovered;
    bool m_chosen = false;
    bool m_upward = false;
    double m_scroll = 0;
};
