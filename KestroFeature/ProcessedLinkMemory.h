#pragma once

#include <QString>

// The record of the last handled link and the clipboard change count last seen, shared by
// the clipboard watcher (which keeps it) and the conversion queue (which writes it).
class ProcessedLinkMemory {
public:
    virtual ~ProcessedLinkMemory() = default;

    // Forget the last link. A copy the watcher has not looked at yet is still read.
    virtual void resetLastProcessed() = 0;
    // Remember the link as handled, just after our own write of it. The clipboard's change
    // count is taken as seen only when that write is the one change since the last read, so a
    // copy the watcher has not read yet is still read.
    virtual void markProcessed(const QString& url) = 0;
};
