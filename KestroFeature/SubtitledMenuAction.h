#pragma once

#include <QWidgetAction>

// A menu item that shows a second, smaller line under its title, or a lone small line of text
// (a note). Only for menus that Qt draws itself: desktops that draw the menu show the title.
// The action keeps its text, check state and enabled flag, and is triggered as any other.
class SubtitledMenuAction : public QWidgetAction {
    Q_OBJECT

public:
    // A checkable item with a subtitle.
    SubtitledMenuAction(const QString& title, const QString& subtitle, QObject* parent);
    // A disabled line of small secondary text.
    static SubtitledMenuAction* note(const QString& text, QObject* parent);

    QString subtitle() const { return m_subtitle; }
    bool isNote() const { return m_note; }

protected:
    QWidget* createWidget(QWidget* parent) override;

private:
    QString m_subtitle;
    bool m_note = false;
};
