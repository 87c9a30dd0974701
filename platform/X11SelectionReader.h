#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Reads the X11 CLIPBOARD selection as UTF-8 text on a worker thread with a display
// connection of its own, so a slow or stuck owner never blocks the GUI thread.
class X11SelectionReader {
public:
    // None when no X display can be opened.
    static std::unique_ptr<X11SelectionReader> create();
    ~X11SelectionReader();

    // Whether any client owns the CLIPBOARD selection now (a short round trip).
    bool clipboardHasOwner() const;

    // See Pasteboard::readString.
    void read(QObject* context, std::function<void(std::optional<QString>)> done);

private:
    X11SelectionReader();
    struct Private;
    std::unique_ptr<Private> d;
};
