#pragma once

#include "Platform.h"
#include "ToastRowView.h"

#include <QPointer>

class Accessibility;
class AskModeDropdownButton;
class ConversionQueue;
class GradientButton;
class SettingsManager;

// The toast body while a request waits for the user: what will be converted, how many more
// wait, and the way to confirm it: the Convert button (with the shortcut hint while key
// presses may be observed), or in ask mode the target menu. Coloured after the target
// service, or teal for the song page.
class PromptStateView : public ToastRowView {
    Q_OBJECT

public:
    PromptStateView(ConversionQueue& queue, SettingsManager& settings, Accessibility& accessibility,
                    ColorScheme& colorScheme, QWidget* parent = nullptr);

    // Reads the queue and settings afresh (the owner calls it on each of their changes).
    void refresh();

    QString title() const;
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

    ConversionQueue& m_queue;
    SettingsManager& m_settings;
    Accessibility& m_accessibility;
    bool m_isAskMode = false;
    bool m_hint = false;
    QPointer<GradientButton> m_convert;
    QPointer<AskModeDropdownButton> m_menu;
    bool m_built = false;
    Platform m_menuSource = Platform::spotify;
};
