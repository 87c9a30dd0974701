#pragma once

#include <atomic>
#include <cstdint>

// Tells a copy kept alive from a new one by how long the clipboard stood empty before its new
// owner came: a clipboard manager takes the copy of a program that quits over within moments, a
// user who copies again takes longer.
//
// Times are milliseconds on one clock of the caller's (the X server's time, a steady clock),
// compared as they wrap at 2^32. The caller's thread alone calls ownerLeft and ownerCame.
class KeeperWindow {
public:
    explicit KeeperWindow(uint32_t windowMs);

    // Any thread: takes effect from the next owner that comes.
    void setWindow(uint32_t windowMs) { m_windowMs = windowMs; }

    // The clipboard lost its owner at this time. Only the first loss counts until an owner comes.
    void ownerLeft(uint32_t at);
    // A new owner took the clipboard at this time: true when it was empty then, since at most
    // the window.
    bool ownerCame(uint32_t at);

private:
    std::atomic<uint32_t> m_windowMs;
    bool m_empty = false;
    uint32_t m_leftAt = 0;
};
