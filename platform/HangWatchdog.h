#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

// Watches the GUI thread from a thread of its own: it queues a small call to the GUI thread and
// counts a hang when that call has waited longer than the time-out. One hang is one report, however
// long it lasts; the next hang can only begin after the GUI thread has answered again.
class HangWatchdog {
public:
    using HangHandler =
        std::function<void(std::chrono::milliseconds timeout, std::vector<std::uintptr_t> stack)>;

    // Create on the GUI thread; context is an object of that thread which outlives the watchdog.
    // onHang runs on the watchdog thread with the GUI thread's stack (empty when it could not be
    // taken); onHangEnded runs on the GUI thread when it answers after a recorded hang.
    HangWatchdog(QObject* context, std::chrono::milliseconds timeout, HangHandler onHang,
                 std::function<void()> onHangEnded);
    ~HangWatchdog();

    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

    // Ends and joins the thread; safe to call more than once.
    void stop();

private:
    struct Answers {
        std::atomic<std::uint64_t> answered{0};
        std::atomic<bool> hangRecorded{false};
    };

    void run();

    QObject* m_context;
    std::chrono::milliseconds m_timeout;
    HangHandler m_onHang;
    std::function<void()> m_onHangEnded;
    pthread_t m_guiThread;
    std::shared_ptr<Answers> m_answers = std::make_shared<Answers>();
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};
