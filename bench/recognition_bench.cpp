// Time per call of the link recognition on clipboard-sized texts (the watcher looks at up to
// 2000 characters).

#include "MusicURLParser.h"

#include <benchmark/benchmark.h>

#include <QString>

namespace {

constexpr qsizetype textLength = 2000;

// Prose with the odd web address and digits in it, but no track link.
QString filler(qsizetype length) {
    static const QString words = QStringLiteral(
        "Meet you at 7:30 near the music shop on Elm Street; bring the cable and the old records. "
        "Notes from https://example.com/blog/2023/playlists and music/track ideas: tidal waves, "
        "open spotify sessions, soundcloud demos 42/17. ");
    QString text;
    text.reserve(length);
    while (text.size() < length) {
        text += words;
    }
    text.truncate(length);
    return text;
}

QString withLinkAtEnd(const QString& link) {
    return filler(textLength - link.size() - 1) + QLatin1Char(' ') + link;
}

void recognise(benchmark::State& state, const QString& text, std::optional<MusicURLParser::Match> expected) {
    if (text.size() != textLength) {
        state.SkipWithError("text is not 2000 characters long");
        return;
    }
    if (MusicURLParser::parse(text) != expected) {
        state.SkipWithError("unexpected recognition result");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(MusicURLParser::parse(text));
    }
}

void noLink(benchmark::State& state) {
    recognise(state, filler(textLength), std::nullopt);
}

void spotifyLinkAtEnd(benchmark::State& state) {
    const QString link = QStringLiteral("https://open.spotify.com/track/0d28khcov6AiegSCpG5TuT");
    recognise(state, withLinkAtEnd(link), MusicURLParser::Match{link, Platform::spotify});
}

// The service tried last: every other pattern has scanned the whole text before it.
void soundCloudLinkAtEnd(benchmark::State& state) {
    const QString link = QStringLiteral("https://soundcloud.com/some-artist/some-track");
    recognise(state, withLinkAtEnd(link), MusicURLParser::Match{link, Platform::soundcloud});
}

} // namespace

BENCHMARK(noLink)->Unit(benchmark::kMicrosecond);
BENCHMARK(spotifyLinkAtEnd)->Unit(benchmark::kMicrosecond);
BENCHMARK(soundCloudLinkAtEnd)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
