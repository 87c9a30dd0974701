#include "SystemFont.h"

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdlib>
#include <map>
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

namespace {

// The tags by which a font's GSUB table names a script that Qt shapes only with OpenType
// (harfbuzz's newer and older ones); none for the scripts Qt draws without.
QList<QByteArray> openTypeTags(QChar::Script script) {
    switch (script) {
    case QChar::Script_Syriac:
        return {"syrc"};
    case QChar::Script_Thaana:
        return {"thaa"};
    case QChar::Script_Devanagari:
        return {"dev3", "dev2", "deva"};
    case QChar::Script_Bengali:
        return {"bng3", "bng2", "beng"};
    case QChar::Script_Gurmukhi:
        return {"gur3", "gur2", "guru"};
    case QChar::Script_Gujarati:
        return {"gjr3", "gjr2", "gujr"};
    case QChar::Script_Oriya:
        return {"ory3", "ory2", "orya"};
    case QChar::Script_Tamil:
        return {"tml3", "tml2", "taml"};
    case QChar::Script_Telugu:
        return {"tel3", "tel2", "telu"};
    case QChar::Script_Kannada:
        return {"knd3", "knd2", "knda"};
    case QChar::Script_Malayalam:
        return {"mlm3", "mlm2", "mlym"};
    case QChar::Script_Sinhala:
        return {"sinh"};
    case QChar::Script_Khmer:
        return {"khmr"};
    case QChar::Script_Nko:
        return {"nko "};
    default:
        return {};
    }
}

// The characters a font has, as fontconfig keeps them; none where it keeps no set.
const FcCharSet* characterSet(FcPattern* font) {
    FcCharSet* characters = nullptr;
    return FcPatternGetCharSet(font, FC_CHARSET, 0, &characters) == FcResultMatch ? characters : nullptr;
}

// Whether the font file's GSUB table names one of the tags, or the default script. A font may
// be anybody's (the home folder's): every offset read is checked, every read bounded.
bool gsubNames(const QString& path, int faceIndex, const QList<QByteArray>& tags) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const auto at = [&file](qint64 position, qint64 size) {
        return position >= 0 && file.seek(position) ? file.read(size) : QByteArray();
    };
    // A big-endian number of `size` bytes at `offset`; -1 where the bytes are not there.
    const auto number = [](const QByteArray& bytes, qsizetype offset, int size) {
        qint64 value = offset + size <= bytes.size() ? 0 : -1;
        for (int i = 0; value >= 0 && i < size; ++i) {
            value = value << 8 | quint8(bytes[offset + i]);
        }
        return value;
    };
    const qint64 face = at(0, 4) == "ttcf" ? number(at(12 + 4 * qint64(faceIndex & 0xffff), 4), 0, 4) : 0;
    const qint64 tables = number(at(face + 4, 2), 0, 2);
    const QByteArray records = at(face + 12, 16 * std::clamp<qint64>(tables, 0, 1024));
    for (qsizetype r = 0; r + 16 <= records.size(); r += 16) {
        const qint64 gsub = records.mid(r, 4) == "GSUB" ? number(records, r + 8, 4) : -1;
        const qint64 listOffset = gsub >= 0 ? number(at(gsub + 4, 2), 0, 2) : -1;
        if (listOffset < 0) {
            continue;
        }
        const qint64 list = gsub + listOffset;
        const qint64 count = number(at(list, 2), 0, 2);
        const QByteArray scripts = at(list + 2, 6 * std::clamp<qint64>(count, 0, 1024));
        for (qsizetype s = 0; s + 6 <= scripts.size(); s += 6) {
            const QByteArray tag = scripts.mid(s, 4);
            if (tag == "DFLT" || tags.contains(tag)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

bool installedFontsHave(char32_t character) {
    const FcFontSet* fonts = FcConfigGetFonts(nullptr, FcSetSystem);
    const int count = fonts ? fonts->nfont : 0;
    static FcCharSet* const all = [fonts, count] {
        FcCharSet* merged = FcCharSetCreate();
        for (int i = 0; i < count; ++i) {
            if (const FcCharSet* characters = characterSet(fonts->fonts[i])) {
                FcCharSetMerge(merged, characters, nullptr);
            }
        }
        return merged;
    }();
    if (!FcCharSetHasChar(all, character)) {
        return false;
    }
    // Qt draws these scripts only with a font whose GSUB table names them; where none does, it
    // opens every installed font at each size to find that out, and draws nothing.
    const QChar::Script script = QChar::script(character);
    const QList<QByteArray> tags = openTypeTags(script);
    if (tags.isEmpty()) {
        return true;
    }
    static std::map<QChar::Script, bool> shaped;
    if (const auto known = shaped.find(script); known != shaped.end()) {
        return known->second;
    }
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        const FcCharSet* characters = characterSet(fonts->fonts[i]);
        FcChar8* path = nullptr;
        int index = 0;
        if (characters && FcCharSetHasChar(characters, character) &&
            FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &path) == FcResultMatch) {
            FcPatternGetInteger(fonts->fonts[i], FC_INDEX, 0, &index);
            found = gsubNames(QFile::decodeName(reinterpret_cast<const char*>(path)), index, tags);
        }
    }
    shaped[script] = found;
    return found;
}

QFont font(TextStyle style) {
    return font(pixelSize(style), style == TextStyle::headline ? QFont::DemiBold : QFont::Normal);
}

} // namespace SystemFont
