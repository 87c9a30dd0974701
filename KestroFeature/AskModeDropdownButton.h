#pragma once

#include "GradientButton.h"
#include "Platform.h"

#include <QList>
#include <QPointer>

#include <functional>
#include <optional>

class PopoverList;

// The ask-mode chooser: a "Convert to" button whose popover lists the target services; a
// chosen service closes the popover and goes to `onSelect`.
class AskModeDropdownButton : public GradientButton {
    Q_OBJECT

public:
    static constexpr int listWidth = 200;

    AskModeDropdownButton(Platform sourcePlatform, QList<Platform> targetOptions,
                          std::function<void(Platform)> onSelect, QWidget* parent = nullptr);
    ~AskModeDropdownButton() override;

    Platform sourcePlatform() const { return m_sourcePlatform; }
    QList<Platform> targetOptions() const { return m_targetOptions; }
    bool showDropdown() const { return m_showDropdown; }
    void setShowDropdown(bool show);
    // The open popover, if any.
    PopoverList* dropdown() const;
    std::optional<Platform> hoveredOption() const;

private:
    void choose(int index);

    Platform m_sourcePlatform;
    QList<Platform> m_targetOptions;
    std::function<void(Platform)> m_onSelect;
    bool m_showDropdown = false;
    QPointer<PopoverList> m_dropdown;
};
