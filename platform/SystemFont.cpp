#include "SystemFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>

namespace SystemFont {

namespace {

struct Choice {
    QString family;
    QList<int> weights;
};

QList<int> uprightWeights(const QString& family) {
    std::set<int> weights;
    for (const QString& style : QFontDatabase::styles(family)) {
        if (!QFontDatabase::italic(family, style)) {
            weights.insert(QFontDatabase::weight(family, style));
        }
    }
    return QList<int>(weights.begin(), weights.end());
}

Choice choose(const QString& forced) {
    if (!forced.isEmpty()) {
        return {forced, uprightWeights(forced)};
    }
    const QString preferred = QString::fromLatin1(preferredFamily);
    if (QFontDatabase::hasFamily(preferred)) {
        const QList<int> weights = uprightWeights(preferred);
        // Every weight the views name: light, regular, medium, semibold, bold.
        static constexpr int used[] = {300, 400, 500, 600, 700};
        const bool complete =
            std::all_of(std::begin(used), std::end(used), [&](int w) { return weights.contains(w); });
        if (complete) {
            return {preferred, weights};
        }
    }
    // The desktop's font is often an alias ("Sans Serif"): take the family it resolves to.
    const QString desktop = QFontInfo(QGuiApplication::font()).family();
    return {desktop, uprightWeights(desktop)};
}

std::optional<Choice>& cached() {
    static std::optional<Choice> choice;
    return choice;
}

const Choice& current() {
    std::optional<Choice>& choice = cached();
    if (!choice) {
        choice = choose({});
    }
    return *choice;
}

} // namespace

QString family() {
    return current().family;
}

int nearestWeight(const QList<int>& available, int wanted) {
    std::optional<int> best;
    for (int weight : available) {
        if (!best) {
            best = weight;
            continue;
        }
        const int distance = std::abs(weight - wanted);
        const int bestDistance = std::abs(*best - wanted);
        if (distance < bestDistance ||
            (distance == bestDistance && std::abs(weight - 400) < std::abs(*best - 400))) {
            best = weight;
        }
    }
    return best.value_or(wanted);
}

void setFamilyForTesting(const QString& family) {
    cached() = choose(family);
}

QFont font(int pixelSize, QFont::Weight weight) {
    const Choice& choice = current();
    QFont f(choice.family);
    f.setPixelSize(pixelSize);
    f.setWeight(QFont::Weight(nearestWeight(choice.weights, int(weight))));
    return f;
}

int pixelSize(TextStyle style) {
    switch (style) {
    case TextStyle::largeTitle:
        return 26;
    case TextStyle::title:
        return 22;
    case TextStyle::title2:
        return 17;
    case TextStyle::title3:
        return 15;
    case TextStyle::headline:
    case TextStyle::body:
        return 13;
    case TextStyle::callout:
        return 12;
    case TextStyle::subheadline:
        return 11;
    case TextStyle::footnote:
    case TextStyle::caption:
    case TextStyle::caption2:
        return 10;
    }
    return 13;
}

bool installedFontsHave(char32_t character) {
    static FcCharSet* const all = [] {
        FcCharSet* merged = FcCharSetCreate();
        if (const FcFontSet* fonts = FcConfigGetFonts(nullptr, FcSetSystem)) {
            for (int i = 0; i < fonts->nfont; ++i) {
                FcCharSet* characters = nullptr;
                if (FcPatternGetCharSet(fonts->fonts[i], FC_CHARSET, 0, &characters) == FcResultMatch) {
                    FcCharSetMerge(merged, characters, nullptr);
                }
            }
        }
        return merged;
    }();
    return FcCharSetHasChar(all, character);
}

QFont font(TextStyle style) {
    return font(pixelSize(style), style == TextStyle::headline ? QFont::DemiBold : QFont::Normal);
}

} // namespace SystemFont
