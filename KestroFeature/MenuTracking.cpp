#include "MenuTracking.h"

MenuTracking& MenuTracking::shared() {
    static MenuTracking* instance = new MenuTracking();
    return *instance;
}

void MenuTracking::setMenuOpen(bool open) {
    if (m_open == open) {
        return;
    }
    m_open = open;
    emit menuOpenChanged(open);
}
