#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class WaylandDataControlClipboard;
class X11SelectionReader;

// The system clipboard as the program sees it: a change counter, a text read off the GUI
// thread and a text write.
//
// The counter rises when another program takes the clipboard, and synchronously with our
// own write; a clipboard that only loses its owner (its program quit) is no change.
class Pasteboard : public QObject {
    Q_OBJECT

public:
    // Longest text read, in UTF-8 bytes; a longer one counts as no text.
    static constexpr qsizetype maxReadBytes = 64 * 1024;
    // A read that gets no answer within this time gives no text.
    static constexpr int readTimeoutMs = 5000;
    // A new owner this soon after the last one left keeps that copy alive: clipboard managers
    // take over within moments of the program quitting, a user copies again later. Measured
    // under Xvfb, alone and beside a loaded machine (load 12 to 20 on 8 cores), owners living
    // 0.15 to 1 s, 64 runs or more each:
    //   parcellite 1.2.1, synchronising or not: 0 to 561 ms (it looks twice a second, so up to
    //     500 ms and the machine's lag). Asked for the text just as its owner quits, it waits
    //     30 s for an answer (GTK's limit) and then puts back an older copy: no window covers
    //     that, and the older text is handled as a new copy;
    //   diodon 1.13, synchronising or not: 0 to 36 ms;
    //   CopyQ 6.4, as installed or copying clipboard and selection both ways: never took over.
    // Just above parcellite's slowest; a link copied again a second later is a new copy.
    static constexpr int keeperDelayMs = 700;

    explicit Pasteboard(QObject* parent = nullptr);
    ~Pasteboard() override;

    static Pasteboard& general();

    // What a read found.
    struct Contents {
        enum class Kind {
            NoOwner, // nobody holds the clipboard: its program left and nothing kept the copy
            NoText,  // see readString for what counts as no text
            Text,
            Newer, // a pinned read: another program took the clipboard after it was asked for
        };
        Kind kind = Kind::NoText;
        QString text; // for Text
        // The owner keeps a copy alive: it took the clipboard over just after its previous
        // owner left, or it is the clipboard manager that programs hand their copy to as they
        // quit. Only for Text.
        bool restored = false;

        static Contents of(Kind kind, QString text = {}, bool restored = false) {
            Contents contents;
            contents.kind = kind;
            contents.text = std::move(text);
            contents.restored = restored;
            return contents;
        }
        std::optional<QString> string() const {
            return kind == Kind::Text ? std::optional<QString>(text) : std::nullopt;
        }
        bool operator==(const Contents&) const = default;
    };

    virtual int changeCount() const { return m_changeCount; }

    // Replaces the clipboard's content with this one text. True when it did and the program
    // holds the clipboard on return; the counter has risen then. False when the system refused
    // the write (on X11: a copy stamped later than the time the write carried; data control
    // refuses none).
    virtual bool writeString(const QString& text);

    // Reads the clipboard's text off the GUI thread and calls done on the GUI thread with it,
    // or with none for no text, non-text content, content over maxReadBytes, content its
    // owner marks as a password-manager secret, or no answer in time. Nothing is called when
    // context is gone by then.
    void readString(QObject* context, std::function<void(std::optional<QString>)> done);

    // The same read, telling an empty clipboard from one without text. A pinned read takes the
    // clipboard as it is when asked: where another program has taken it since, it answers
    // Newer instead of reading the newer copy.
    virtual void read(QObject* context, std::function<void(Contents)> done, bool pinned = false);

    // Sets the window within which a new owner keeps the copy of the one that left (see
    // keeperDelayMs), for owners that come from now on.
    void setKeeperDelay(int milliseconds);

    // Stops the reading thread; reads after this give no text. Called before the program ends.
    void shutdown();

signals:
    void changeCountChanged(int changeCount);

private:
    void onClipboardChanged(); // the in-process clipboard only
    void countChanges(int changes);

    int m_changeCount = 0;
    bool m_writing = false;
    // Null off X11 (in-process reads) and where data control serves.
    std::unique_ptr<X11SelectionReader> m_reader;
    // Set in a Wayland session whose compositor offers data control: it serves instead of X11.
    std::unique_ptr<WaylandDataControlClipboard> m_dataControl;
};
