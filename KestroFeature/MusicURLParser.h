#pragma once

#include "Platform.h"

#include <QString>

#include <optional>

// Finds the first supported track link in a text.
class MusicURLParser {
public:
    struct Match {
        QString url;
        Platform platform;
        bool operator==(const Match&) const = default;
    };

    // Longest link taken, in UTF-8 bytes. A track link is far shorter; a longer match (a link
    // trailed by thousands of combining marks, say) is no link.
    static constexpr qsizetype maxLinkBytes = 2048;

    // Services are tried in their fixed order; the first that matches wins.
    static std::optional<Match> parse(const QString& text);
};
