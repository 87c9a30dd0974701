#pragma once

#include "ProcessedLinkMemory.h"

#include <QStringList>

// Records what the queue tells the clipboard watcher.
class RecordingLinkMemory : public ProcessedLinkMemory {
public:
    void resetLastProcessed() override { ++resets; }
    void markProcessed(const QString& url) override { marked.append(url); }

    int resets = 0;
    QStringList marked;
};
