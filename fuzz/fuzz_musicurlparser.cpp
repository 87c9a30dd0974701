// Link recognition on any text: the clipboard hands over whatever the user copied.
#include "MusicPatterns.h"
#include "MusicURLParser.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace {

// The patterns run inside the regular-expression library, which carries no coverage counters.
// Which of them match is therefore turned into branches of our own (one per combination), so
// that inputs reaching a new combination are kept and mutated further.
template <unsigned N> void reachCombination(unsigned combination) {
    if (combination == N) {
        asm volatile("");
        return;
    }
    if constexpr (N > 0) {
        reachCombination<N - 1>(combination);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    unsigned combination = 0;
    for (Platform platform : Platforms::allCases()) {
        if (MusicPatterns::regex(platform).match(text).hasMatch()) {
            combination |= 1u << static_cast<unsigned>(platform);
        }
    }
    constexpr std::size_t services = std::tuple_size_v<std::decay_t<decltype(Platforms::allCases())>>;
    reachCombination<(1u << services) - 1>(combination);

    const std::optional<MusicURLParser::Match> match = MusicURLParser::parse(text);
    // A link is found exactly when some service's pattern matches, and it is cut out of the text
    // as it stands: never made up.
    if (match.has_value() != (combination != 0)) {
        __builtin_trap();
    }
    if (match && (!match->url.startsWith(QLatin1String("https://")) || !text.contains(match->url))) {
        __builtin_trap();
    }
    return 0;
}
