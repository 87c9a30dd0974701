#include "KeeperWindow.h"

#include <utility>

KeeperWindow::KeeperWindow(uint32_t windowMs) : m_windowMs(windowMs) {}

void KeeperWindow::ownerLeft(uint32_t at) {
    if (!m_empty) {
        m_empty = true;
        m_leftAt = at;
    }
}

bool KeeperWindow::ownerCame(uint32_t at) {
    const bool wasEmpty = std::exchange(m_empty, false);
    // Unsigned: a clock that wrapped in between still gives the gap.
    return wasEmpty && uint32_t(at - m_leftAt) <= m_windowMs;
}
