#include "SongLinkModels.h"

#include "TextCounting.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

struct Mismatch {
    QString path;
};

QString cut(const QString& text) {
    return TextCounting::prefix(TextCounting::withinLength(text, SongLinkResponse::maxTextLength),
                                SongLinkResponse::maxTextCharacters);
}

// Absent and null both give none; any other value must have the field's type.
std::optional<QString> rawText(const QJsonObject& object, const char* key, const QString& path) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isString()) {
        throw Mismatch{path + QLatin1Char('.') + QLatin1String(key)};
    }
    return value.toString();
}

std::optional<QString> text(const QJsonObject& object, const char* key, const QString& path) {
    std::optional<QString> value = rawText(object, key, path);
    return value ? std::optional<QString>(cut(*value)) : std::nullopt;
}

// A link that is no usable link is as good as none; it is never cut, which would make another.
std::optional<QString> link(const QJsonObject& object, const char* key, const QString& path) {
    std::optional<QString> value = rawText(object, key, path);
    return value && SongLinkResponse::isUsableLink(*value) ? value : std::nullopt;
}

std::optional<qint64> integer(const QJsonObject& object, const char* key, const QString& path) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    // The parser hands every number with an integral double value over as an integer; the
    // literal itself was checked beforehand (integerLiteralsFit).
    const QVariant variant = value.toVariant();
    if (variant.typeId() != QMetaType::LongLong) {
        throw Mismatch{path + QLatin1Char('.') + QLatin1String(key)};
    }
    return variant.toLongLong();
}

std::optional<QStringList> textArray(const QJsonObject& object, const char* key, const QString& path) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isArray()) {
        throw Mismatch{path + QLatin1Char('.') + QLatin1String(key)};
    }
    QStringList result;
    for (const QJsonValue element : value.toArray()) {
        if (!element.isString()) {
            throw Mismatch{path + QLatin1Char('.') + QLatin1String(key) + QStringLiteral("[]")};
        }
        result.append(cut(element.toString()));
    }
    return result;
}

PlatformLink decodeLink(const QJsonObject& object, const QString& path) {
    PlatformLink entry;
    entry.url = link(object, "url", path);
    entry.nativeAppUriMobile = text(object, "nativeAppUriMobile", path);
    entry.nativeAppUriDesktop = text(object, "nativeAppUriDesktop", path);
    entry.entityUniqueId = text(object, "entityUniqueId", path);
    return entry;
}

SongEntity decodeEntity(const QJsonObject& object, const QString& path) {
    SongEntity entity;
    entity.id = text(object, "id", path);
    entity.type = text(object, "type", path);
    entity.title = text(object, "title", path);
    entity.artistName = text(object, "artistName", path);
    entity.thumbnailUrl = link(object, "thumbnailUrl", path);
    entity.thumbnailWidth = integer(object, "thumbnailWidth", path);
    entity.thumbnailHeight = integer(object, "thumbnailHeight", path);
    entity.apiProvider = text(object, "apiProvider", path);
    entity.platforms = textArray(object, "platforms", path);
    return entity;
}

// True when a JSON number literal is an integer that fits a signed 64-bit integer: digits alone,
// or another spelling of a whole number ("640.0", "6.4e2") below 10^15, which the parser's
// detour through double keeps exact.
bool isInt64Literal(QByteArrayView literal) {
    qsizetype i = 0;
    const bool negative = i < literal.size() && literal[i] == '-';
    i += negative ? 1 : 0;
    QByteArray digits;
    for (; i < literal.size() && std::isdigit(static_cast<unsigned char>(literal[i])); ++i) {
        digits += literal[i];
    }
    qint64 integerLength = digits.size();
    const bool plain = i == literal.size();
    if (i < literal.size() && literal[i] == '.') {
        for (++i; i < literal.size() && std::isdigit(static_cast<unsigned char>(literal[i])); ++i) {
            digits += literal[i];
        }
    }
    if (i < literal.size() && (literal[i] == 'e' || literal[i] == 'E')) {
        ++i;
        const bool negativeExponent = i < literal.size() && literal[i] == '-';
        i += (i < literal.size() && (literal[i] == '-' || literal[i] == '+')) ? 1 : 0;
        qint64 exponent = 0;
        for (; i < literal.size() && std::isdigit(static_cast<unsigned char>(literal[i])); ++i) {
            exponent = std::min<qint64>(exponent * 10 + (literal[i] - '0'), 1000000);
        }
        integerLength += negativeExponent ? -exponent : exponent;
    }
    qsizetype lead = 0;
    while (lead < digits.size() && digits[lead] == '0') {
        ++lead;
    }
    if (lead == digits.size()) {
        return true; // zero
    }
    digits = digits.mid(lead);
    integerLength -= lead;
    for (qint64 k = std::max<qint64>(integerLength, 0); k < digits.size(); ++k) {
        if (digits[k] != '0') {
            return false; // a fraction
        }
    }
    if (integerLength > (plain ? 19 : 15)) {
        return false;
    }
    digits = digits.left(integerLength).leftJustified(integerLength, '0');
    const QByteArray limit =
        negative ? QByteArrayLiteral("9223372036854775808") : QByteArrayLiteral("9223372036854775807");
    return digits.size() < limit.size() || digits <= limit;
}

// Qt's parser rounds numbers through double before it decides whether they are integers, so a
// literal just beyond 64 bits, or a large one with a fraction, would arrive as a plausible
// integer. The literals of the two integer fields are therefore checked on the text itself.
// Expects JSON that has already parsed.
bool integerLiteralsFit(const QByteArray& body) {
    struct Level {
        bool object;
        bool wantKey;
        QString key;
    };
    QList<Level> stack;
    // Plain pointer access: this runs over every byte of an answer of up to two megabytes.
    const char* const bytes = body.constData();
    const qsizetype size = body.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c == '"') {
            const qsizetype start = i;
            for (++i; i < size && bytes[i] != '"'; ++i) {
                i += bytes[i] == '\\' ? 1 : 0;
            }
            if (!stack.isEmpty() && stack.last().object && stack.last().wantKey) {
                const QByteArrayView inner = QByteArrayView(body).sliced(start + 1, i - start - 1);
                // A key without escapes is its own text; only the rare escaped one needs the parser,
                // which is too slow to run once per key of a whole answer.
                stack.last().key = !inner.contains('\\')
                                       ? QString::fromUtf8(inner)
                                       : QJsonDocument::fromJson("[\"" + inner.toByteArray() + "\"]")
                                             .array()
                                             .first()
                                             .toString();
                stack.last().wantKey = false;
            }
        } else if (c == '{' || c == '[') {
            stack.append({c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!stack.isEmpty()) {
                stack.removeLast();
            }
        } else if (c == ',') {
            if (!stack.isEmpty() && stack.last().object) {
                stack.last().wantKey = true;
            }
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            const qsizetype start = i;
            while (i + 1 < size && std::strchr("0123456789+-.eE", bytes[i + 1]) && bytes[i + 1] != '\0') {
                ++i;
            }
            const bool integerField = stack.size() == 3 && stack[0].object && stack[1].object &&
                                      stack[2].object &&
                                      stack[0].key == QLatin1String("entitiesByUniqueId") &&
                                      (stack[2].key == QLatin1String("thumbnailWidth") ||
                                       stack[2].key == QLatin1String("thumbnailHeight"));
            if (integerField && !isInt64Literal(QByteArrayView(body).sliced(start, i - start + 1))) {
                return false;
            }
        }
    }
    return true;
}

template <typename T, typename Decode>
std::optional<QMap<QString, T>> map(const QJsonObject& object, const char* key, Decode decode) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isObject()) {
        throw Mismatch{QLatin1String(key)};
    }
    QMap<QString, T> result;
    const QJsonObject entries = value.toObject();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        const QString path = QLatin1String(key) + QLatin1Char('.') + it.key();
        // Only a field itself may be null, never a map value.
        if (!it.value().isObject()) {
            throw Mismatch{path};
        }
        result.insert(it.key(), decode(it.value().toObject(), path));
    }
    return result;
}

} // namespace

bool SongLinkResponse::isUsableLink(const QString& text) {
    // Every UTF-16 unit takes at least one UTF-8 byte: a longer text needs no closer look.
    if (text.isEmpty() || text.size() > maxLinkBytes) {
        return false;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text.at(i + 1));
            if (QChar::category(code) == QChar::Other_Format || QChar::isSpace(code)) {
                return false;
            }
            ++i;
            continue;
        }
        // A lone surrogate has no UTF-8 form.
        if (c.isSurrogate() || c.isSpace() || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format) {
            return false;
        }
    }
    if (text.toUtf8().size() > maxLinkBytes) {
        return false;
    }
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) &&
           !url.host().isEmpty();
}

std::optional<SongLinkResponse> SongLinkResponse::decode(const QByteArray& body, DecodingError* error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error) {
            error->message = QStringLiteral("dataCorrupted: %1 at offset %2")
                                 .arg(parseError.errorString())
                                 .arg(parseError.offset);
        }
        return std::nullopt;
    }
    if (!document.isObject()) {
        if (error) {
            error->message = QStringLiteral("typeMismatch: the answer is not an object");
        }
        return std::nullopt;
    }
    if (!integerLiteralsFit(body)) {
        if (error) {
            error->message = QStringLiteral("dataCorrupted: an integer field does not fit 64 bits");
        }
        return std::nullopt;
    }
    try {
        const QJsonObject root = document.object();
        const QString path = QStringLiteral("root");
        SongLinkResponse response;
        response.entityUniqueId = text(root, "entityUniqueId", path);
        response.userCountry = text(root, "userCountry", path);
        response.pageUrl = link(root, "pageUrl", path);
        response.linksByPlatform = map<PlatformLink>(root, "linksByPlatform", decodeLink);
        response.entitiesByUniqueId = map<SongEntity>(root, "entitiesByUniqueId", decodeEntity);
        return response;
    } catch (const Mismatch& mismatch) {
        if (error) {
            error->message = QStringLiteral("typeMismatch at %1").arg(mismatch.path);
        }
        return std::nullopt;
    }
}
