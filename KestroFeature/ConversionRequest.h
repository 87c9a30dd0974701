#pragma once

#include "Platform.h"

#include <QString>
#include <QUuid>

#include <optional>

// One detected link in, or handled by, the conversion queue.
struct ConversionRequest {
    struct ConversionState {
        enum class Kind { pending, converting, success, failed };
        Kind kind = Kind::pending;
        QString failureMessage; // only for failed

        static ConversionState pending() { return {Kind::pending, {}}; }
        static ConversionState converting() { return {Kind::converting, {}}; }
        static ConversionState success() { return {Kind::success, {}}; }
        static ConversionState failed(const QString& message) { return {Kind::failed, message}; }

        bool operator==(const ConversionState& other) const {
            return kind == other.kind && (kind != Kind::failed || failureMessage == other.failureMessage);
        }
    };

    ConversionRequest(QUuid id, QString sourceURL, Platform sourcePlatform, Platform targetPlatform,
                      ConversionState state, bool autoConvert, bool isUniversalLink)
        : id(id), sourceURL(std::move(sourceURL)), sourcePlatform(sourcePlatform),
          targetPlatform(targetPlatform), state(state), autoConvert(autoConvert),
          isUniversalLink(isUniversalLink) {}

    // Spotify to Apple Music, not a universal page.
    ConversionRequest(QUuid id, QString sourceURL, ConversionState state, bool autoConvert)
        : ConversionRequest(id, std::move(sourceURL), Platform::spotify, Platform::appleMusic, state,
                            autoConvert, false) {}

    // The clipboard the watcher found the link in: its change count before the read, and its
    // text. A conversion that starts without the user's word writes its result only over that
    // text.
    struct Copy {
        int changeCount = 0;
        QString text;
        bool operator==(const Copy&) const = default;
    };

    QUuid id;
    QString sourceURL;
    Platform sourcePlatform;
    Platform targetPlatform;
    ConversionState state;
    bool autoConvert;
    bool isUniversalLink;
    std::optional<Copy> copiedFrom; // none for a link that came from the menu

    bool operator==(const ConversionRequest&) const = default;
};
