#include "HangWatchdog.h"

#include "CrashHandler.h"

#include <QMetaObject>

#include <algorithm>

using namespace std::chrono_literals;

HangWatchdog::HangWatchdog(QObject* context, std::chrono::milliseconds timeout, HangHandler onHang,
                           std::function<void()> onHangEnded)
    : m_context(context), m_timeout(timeout), m_onHang(std::move(onHang)),
      m_onHangEnded(std::move(onHangEnded)), m_guiThread(::pthread_self()) {
    m_thread = std::thread([this] { run(); });
}

HangWatchdog::~HangWatchdog() {
    stop();
}

void HangWatchdog::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void HangWatchdog::run() {
    // Checks are frequent so that a hang is seen soon after the time-out; pings are sparse so
    // that an idle program wakes its GUI thread only twice a second.
    const auto checkInterval = std::clamp<std::chrono::milliseconds>(m_timeout / 20, 10ms, 100ms);
    const auto pingInterval = std::clamp<std::chrono::milliseconds>(m_timeout / 10, 10ms, 500ms);
    using Clock = std::chrono::steady_clock;

    std::uint64_t sent = 0;
    Clock::time_point sentAt = Clock::now() - pingInterval;
    bool hangNoted = false;
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        const auto now = Clock::now();
        if (m_answers->answered.load() == sent) {
            if (now - sentAt >= pingInterval) {
                ++sent;
                sentAt = now;
                hangNoted = false;
                std::shared_ptr<Answers> answers = m_answers;
                std::function<void()> onHangEnded = m_onHangEnded;
                QMetaObject::invokeMethod(
                    m_context,
                    [answers, onHangEnded, sequence = sent] {
                        answers->answered.store(sequence);
                        if (answers->hangRecorded.exchange(false) && onHangEnded) {
                            onHangEnded();
                        }
                    },
                    Qt::QueuedConnection);
            }
        } else if (!hangNoted && now - sentAt > m_timeout) {
            hangNoted = true;
            lock.unlock();
            std::vector<std::uintptr_t> stack = CrashHandler::stackOfThread(m_guiThread, 200ms);
            if (m_onHang) {
                m_onHang(m_timeout, std::move(stack));
            }
            // Set after the report exists, so that the answer that ends the hang finds it.
            m_answers->hangRecorded.store(true);
            lock.lock();
            continue;
        }
        m_wake.wait_for(lock, checkInterval, [this] { return m_stopping; });
    }
}
