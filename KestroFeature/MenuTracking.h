#pragma once

#include <QObject>

// Whether the program's status menu is open. The tray layer fills it from its menu's show
// and hide; timers that must not fire under an open menu wait for it to close.
class MenuTracking : public QObject {
    Q_OBJECT

public:
    explicit MenuTracking(QObject* parent = nullptr) : QObject(parent) {}

    static MenuTracking& shared();

    bool isMenuOpen() const { return m_open; }
    void setMenuOpen(bool open);

signals:
    void menuOpenChanged(bool open);

private:
    bool m_open = false;
};
