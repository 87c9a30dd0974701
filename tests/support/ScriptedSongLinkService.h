#pragma once

#include "PreciseSleep.h"
#include "SongLinkError.h"
#include "SongLinkService.h"

#include <QPointer>

#include <exception>
#include <functional>
#include <optional>

// The API client with answers the test sets: each operation waits its delay, then returns the
// programmed result or throws the programmed error. Cancelling a metadata fetch ends its wait
// with a network error, as an aborted transfer does.
class ScriptedSongLinkService : public SongLinkService {
public:
    ScriptedSongLinkService()
        : SongLinkService(nullptr, QStringLiteral("http://127.0.0.1:9/v1-alpha.1/links")) {}

    struct Answer {
        std::chrono::milliseconds delay{0};
        std::exception_ptr error; // thrown when set
    };

    Answer conversion;
    ConversionResult conversionResult{QStringLiteral("https://music.apple.com/us/song/x/1"), std::nullopt,
                                      std::nullopt};
    Answer universal;
    UniversalLinkResult universalResult{QStringLiteral("https://song.link/s/abc"), std::nullopt};
    Answer metadata;
    SongMetadata metadataResult{QStringLiteral("Title"), QStringLiteral("Artist"), std::nullopt,
                                QStringLiteral("spotify")};
    // Conversions and fetches never end (until the test ends).
    bool hangForever = false;

    int conversions = 0;
    int universalLookups = 0;
    int metadataFetches = 0;
    int answered = 0; // operations whose wait has ended, with a result or an error
    QString lastURL;
    std::optional<Platform> lastTarget;

    QCoro::Task<ConversionResult> convert(QString url, Platform to) override {
        ++conversions;
        lastURL = url;
        lastTarget = to;
        co_await wait(conversion, {});
        co_return conversionResult;
    }

    QCoro::Task<UniversalLinkResult> getUniversalLink(QString url) override {
        ++universalLookups;
        lastURL = url;
        co_await wait(universal, {});
        co_return universalResult;
    }

    QCoro::Task<SongMetadata> fetchMetadata(QString url, Platform, CancellationToken cancel) override {
        ++metadataFetches;
        lastURL = url;
        co_await wait(metadata, cancel);
        co_return metadataResult;
    }

    static std::exception_ptr error(SongLinkError e) { return std::make_exception_ptr(e); }

private:
    // Ends by throwing when the service is gone meanwhile: the callers then read no member of it.
    QCoro::Task<> wait(Answer answer, CancellationToken cancel) {
        const auto step = std::chrono::milliseconds(5);
        QPointer<ScriptedSongLinkService> self(this);
        auto left = answer.delay;
        while (true) {
            if (!self || cancel.isCancelled()) {
                throw SongLinkError::networkError(QStringLiteral("cancelled"));
            }
            if (left.count() <= 0 && !self->hangForever) {
                break;
            }
            co_await preciseSleep(step);
            left -= step;
        }
        ++answered;
        if (answer.error) {
            std::rethrow_exception(answer.error);
        }
    }
};
