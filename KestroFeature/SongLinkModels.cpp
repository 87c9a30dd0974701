#include "SongLinkModels.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

struct Mismatch {
    QString path;
};

// Absent and null both give none; any other value must have the field's type.
std::optional<QString> text(const QJsonObject& object, const char* key, const QString& path) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isString()) {
        throw Mismatch{path + QLatin1Char('.') + QLatin1String(key)};
    }
    return value.toString();
}

std::optional<qint64> integer(const QJsonObject& object, const char* key, const QString& path) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    // Integer literals that fit 64 bits are kept as integers by the parser; anything else
    // (a fraction, an exponent, a larger number) arrives as a double.
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
        result.append(element.toString());
    }
    return result;
}

PlatformLink decodeLink(const QJsonObject& object, const QString& path) {
    PlatformLink link;
    link.url = text(object, "url", path);
    link.nativeAppUriMobile = text(object, "nativeAppUriMobile", path);
    link.nativeAppUriDesktop = text(object, "nativeAppUriDesktop", path);
    link.entityUniqueId = text(object, "entityUniqueId", path);
    return link;
}

SongEntity decodeEntity(const QJsonObject& object, const QString& path) {
    SongEntity entity;
    entity.id = text(object, "id", path);
    entity.type = text(object, "type", path);
    entity.title = text(object, "title", path);
    entity.artistName = text(object, "artistName", path);
    entity.thumbnailUrl = text(object, "thumbnailUrl", path);
    entity.thumbnailWidth = integer(object, "thumbnailWidth", path);
    entity.thumbnailHeight = integer(object, "thumbnailHeight", path);
    entity.apiProvider = text(object, "apiProvider", path);
    entity.platforms = textArray(object, "platforms", path);
    return entity;
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
    try {
        const QJsonObject root = document.object();
        const QString path = QStringLiteral("root");
        SongLinkResponse response;
        response.entityUniqueId = text(root, "entityUniqueId", path);
        response.userCountry = text(root, "userCountry", path);
        response.pageUrl = text(root, "pageUrl", path);
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
