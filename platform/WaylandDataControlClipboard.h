#pragma once

#include "Pasteboard.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The clipboard of a Wayland session through the compositor's data-control protocol
// (zwlr_data_control_manager_v1), on a Wayland connection of its own served by a worker
// thread. Compositors that pass the clipboard to X11 clients only while one has focus offer
// this protocol instead, so copies made in Wayland programs reach us without any focus.
class WaylandDataControlClipboard {
public:
    // changed runs on the calling (GUI) thread each time another client sets a new selection.
    // None when no compositor answers in time, or it offers no data-control or no seat.
    static std::unique_ptr<WaylandDataControlClipboard> create(std::function<void()> changed);
    ~WaylandDataControlClipboard();

    // See Pasteboard::setKeeperDelay.
    void setKeeperDelay(int milliseconds);

    // See Pasteboard::read.
    void read(QObject* context, std::function<void(Pasteboard::Contents)> done, bool pinned);

    // Takes the selection with this text; reads queued after it see it.
    void write(const QString& text);

private:
    WaylandDataControlClipboard();
    struct Private;
    std::unique_ptr<Private> d;
};
