#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Files of the home folder that the program reads, read only when they are regular files: a
// FIFO put in their place would hold the reading thread for good (it waits for a writer), and
// a device would never end.
class RegularFile {
public:
    // Up to maxBytes of the file; none when it is missing, unreadable or no regular file.
    static std::optional<QByteArray> read(const QString& path, qint64 maxBytes);
    // Removes what stands at path when it is neither a regular file nor a folder (a symbolic
    // link to such a thing goes too), for readers that open the path themselves. A regular file
    // would replace it at the first write anyway.
    static void removeIfSpecial(const QString& path);
};
