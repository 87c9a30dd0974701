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

    // Services are tried in their fixed order; the first that matches wins.
    static std::optional<Match> parse(const QString& text);
};
