#pragma once

#include <QDialog>
#include <QPointer>

class Accessibility;
class QLabel;
class QPushButton;

// Stands in for a system privacy pane: the desktop has none for key observation, so this
// small window asks the user directly and stores the answer with Accessibility. Where the
// session cannot deliver other programs' key presses it says so instead.
class AccessibilityPermissionWindow : public QDialog {
    Q_OBJECT

public:
    enum class Kind {
        ask,              // an X11 session that can observe keys
        waylandSession,   // key presses of other programs never reach us
        noKeyObservation, // X11, but the server lacks the RECORD extension
    };

    explicit AccessibilityPermissionWindow(Accessibility& accessibility, QWidget* parent = nullptr);
    AccessibilityPermissionWindow(Accessibility& accessibility, Kind kind, QWidget* parent = nullptr);

    static Kind kindFor(const Accessibility& accessibility);

    // Shows the one permission window, raising it when it is already open.
    static AccessibilityPermissionWindow* open(Accessibility& accessibility);
    static AccessibilityPermissionWindow* current();

    Kind kind() const { return m_kind; }
    QString heading() const;
    QString explanation() const;

    // Present only when the window asks.
    QPushButton* allowButton() const { return m_allow; }
    QPushButton* denyButton() const { return m_deny; }
    // Present only when the window explains.
    QPushButton* okButton() const { return m_ok; }

signals:
    void answered(bool allowed);

private:
    void build();
    void answer(bool allowed);

    Accessibility& m_accessibility;
    Kind m_kind;
    QLabel* m_heading = nullptr;
    QLabel* m_text = nullptr;
    QPushButton* m_allow = nullptr;
    QPushButton* m_deny = nullptr;
    QPushButton* m_ok = nullptr;

    static QPointer<AccessibilityPermissionWindow> s_current;
};
