#pragma once

#include "Pasteboard.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Reads the X11 CLIPBOARD selection as UTF-8 text on a worker thread with a display
// connection of its own, so a slow or stuck owner never blocks the GUI thread.
//
// The same thread watches who takes the selection. Another client may take it a hundred
// thousand times in a burst; the changes reach the GUI thread folded into one call.
class X11SelectionReader {
public:
    // None when no X display can be opened.
    static std::unique_ptr<X11SelectionReader> create();
    ~X11SelectionReader();

    // Called on the GUI thread with the number of times another client has taken CLIPBOARD
    // since the last call; a burst comes as one call. A selection that only loses its owner,
    // and our own process taking it, are not counted.
    void setOwnerChangeHandler(std::function<void(int)> handler);

    // See Pasteboard::setKeeperDelay.
    void setKeeperDelay(int milliseconds);

    // See Pasteboard::read. A read whose owner quits or hands the clipboard on meanwhile starts
    // over at once with the new owner's copy, unless it is pinned.
    void read(QObject* context, std::function<void(Pasteboard::Contents)> done, bool pinned);

private:
    X11SelectionReader();
    struct Private;
    std::unique_ptr<Private> d;
};
