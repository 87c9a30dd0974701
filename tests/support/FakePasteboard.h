#pragma once

#include "Pasteboard.h"

#include <QPointer>
#include <QTimer>

// A clipboard the test controls: another program's copy is copy(), reads answer on the next
// turn of the event loop (or never, while hanging).
class FakePasteboard : public Pasteboard {
public:
    int changeCount() const override { return m_count; }

    bool writeString(const QString& text) override {
        if (refusedWrites > 0) {
            --refusedWrites;
            return false;
        }
        m_text = text;
        ++m_count;
        ++writes;
        return true;
    }

    void readString(QObject* context, std::function<void(std::optional<QString>)> done) override {
        ++reads;
        if (hangReads) {
            return;
        }
        const std::optional<QString> text = m_text;
        QTimer::singleShot(0, context, [done = std::move(done), text] { done(text); });
    }

    // Another program copies text (none: non-text content).
    void copy(std::optional<QString> text) {
        m_text = std::move(text);
        ++m_count;
    }

    std::optional<QString> text() const { return m_text; }

    bool hangReads = false;
    int refusedWrites = 0; // this many writes fail, as X11 refuses a stale one
    int reads = 0;
    int writes = 0;

private:
    std::optional<QString> m_text;
    int m_count = 0;
};
