#pragma once

#include "Platform.h"
#include "ToastRowView.h"

#include <QPointer>

class Accessibility;
class AskModeDropdownButton;
class ConversionQueue;
class GradientButton;

// The toast body while a request waits for the user: what will be converted, how many more
// wait, and the way to confirm it: the Convert button (with the shortcut hint while key
// presses may be observed), or in ask mode the target menu. Coloured after the target
// service, or teal for the song page.
class PromptStateView : public ToastRowView {
    Q_OBJECT

public:
    // `songRowShown`: the card shows the song row above, so the row goes without its icon.
    PromptStateView(ConversionQueue& queue, Accessibility& accessibility, ColorScheme& colorScheme,
                    bool songRowShown, QWidget* parent = nullptr);

    // Reads the queue afresh (the owner calls it on each change of the queue or the settings).
    void refresh();

    QString title() const;
    // The title as drawn: cut with an ellipsis where the row leaves it too little room.
    QString shownTitle() const;
    // The room the row leaves the title beside the action.
    qreal titleWidth() const;
    // Empty when nothing waits.
    QString queueLine() const;
    bool showsIcon() const;
    QColor accentColor() const;
    QList<QColor> buttonGradient() const;
    QColor buttonTextColor() const;
    bool showsShortcutHint() const { return m_hint; }

    // The one that is shown; the other is null.
    GradientButton* convertButton() const;
    AskModeDropdownButton* askModeMenu() const;

    static QString shortcutHint();
    static QList<Platform> targetOptions(Platform source);

protected:
    void paintEvent(QPaintEvent* event) override;
    void layoutRow() override;

private:
    void restyle();

    qreal textLeft() const;

    ConversionQueue& m_queue;
    Accessibility& m_accessibility;
    const bool m_songRowShown;
    bool m_isAskMode = false;
    bool m_hint = false;
    QPointer<GradientButton> m_convert;
    QPointer<AskModeDropdownButton> m_menu;
    bool m_built = false;
    Platform m_menuSource = Platform::spotify;
};
