#pragma once

#include "Pasteboard.h"

#include <QPointer>
#include <QTimer>

// A clipboard the test controls: another program's copy is copy(), reads answer on the next
// turn of the event loop (or never, while hanging) with the clipboard as it is then, as a real
// read follows a new owner; a pinned one answers Newer once another program copied since.
class FakePasteboard : public Pasteboard {
public:
    int changeCount() const override { return m_count; }

    bool writeString(const QString& text) override {
        if (refusedWrites > 0) {
            --refusedWrites;
            return false;
        }
        m_text = text;
        m_owned = true;
        m_restored = false;
        ++m_count;
        ++writes;
        return true;
    }

    void read(QObject* context, std::function<void(Contents)> done, bool pinned) override {
        ++reads;
        if (hangReads) {
            return;
        }
        const std::optional<int> pin = pinned ? std::optional<int>(m_copies) : std::nullopt;
        QTimer::singleShot(0, context, [self = QPointer<FakePasteboard>(this), done = std::move(done), pin] {
            if (!self) {
                return;
            }
            FakePasteboard& now = *self;
            ++now.answers;
            if (pin && now.m_copies > *pin) {
                done(Contents::of(Contents::Kind::Newer));
                return;
            }
            Contents contents;
            if (!now.m_owned) {
                contents.kind = Contents::Kind::NoOwner;
            } else if (now.m_text) {
                contents = Contents::of(Contents::Kind::Text, *now.m_text, now.m_restored);
            }
            done(contents);
        });
    }

    // Another program copies text (none: non-text content); restored: a clipboard manager
    // takes the clipboard over just after its last owner left.
    void copy(std::optional<QString> text, bool restored = false) {
        m_text = std::move(text);
        m_owned = true;
        m_restored = restored;
        ++m_count;
        ++m_copies;
    }
    // The program that copied quits and nothing keeps its copy.
    void empty() {
        m_text.reset();
        m_owned = false;
    }

    std::optional<QString> text() const { return m_text; }

    bool hangReads = false;
    int refusedWrites = 0; // this many writes fail, as X11 refuses a stale one
    int reads = 0;
    int answers = 0; // reads answered
    int writes = 0;

private:
    std::optional<QString> m_text;
    bool m_owned = false;
    bool m_restored = false;
    int m_count = 0;
    int m_copies = 0; // by other programs
};
