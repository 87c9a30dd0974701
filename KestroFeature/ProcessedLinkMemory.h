#pragma once

#include <QString>

// The record of the last handled link and the clipboard change count last seen, shared by
// the clipboard watcher (which keeps it) and the conversion queue (which writes it).
class ProcessedLinkMemory {
public:
    virtual ~ProcessedLinkMemory() = default;

    // Forget the last link. A copy the watcher has not looked at yet is still read.
    virtual void resetLastProcessed() = 0;
    // Remember the link as handled and take the clipboard's current change count as seen.
    virtual void markProcessed(const QString& url) = 0;
};
