#include "UserDefaults.h"

#include "RegularFile.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace {

// QSettings opens its files itself, at once and waiting: a FIFO put in the place of one would
// hold the start for good. It reads the organization's file too, and takes a ".lock" file
// beside the one it writes.
void clearSpecialFiles(const QStringList& paths) {
    for (const QString& path : paths) {
        RegularFile::removeIfSpecial(path);
        RegularFile::removeIfSpecial(path + QStringLiteral(".lock"));
    }
}

QSettings* openStore(const QString& organization, const QString& application) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    clearSpecialFiles(
        {folder + QLatin1Char('/') + organization + QLatin1Char('/') + application + QStringLiteral(".conf"),
         folder + QLatin1Char('/') + organization + QStringLiteral(".conf")});
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, organization, application);
}

QSettings* openStore(const QString& filePath) {
    clearSpecialFiles({filePath});
    return new QSettings(filePath, QSettings::IniFormat);
}

} // namespace

UserDefaults::UserDefaults()
    : m_settings(openStore(QCoreApplication::organizationName(), QCoreApplication::applicationName())) {}

UserDefaults::UserDefaults(const QString& filePath) : m_settings(openStore(filePath)) {}

UserDefaults& UserDefaults::standard() {
    static UserDefaults instance;
    return instance;
}

bool UserDefaults::hasValue(const QString& key) const {
    return m_settings->contains(key);
}

double UserDefaults::doubleValue(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Int ||
        value.typeId() == QMetaType::LongLong) {
        return value.toDouble();
    }
    if (value.typeId() != QMetaType::QString) {
        return 0;
    }
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    return ok ? number : 0;
}

bool UserDefaults::boolValue(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (value.typeId() != QMetaType::QString) {
        return false;
    }
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes")) {
        return true;
    }
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && number != 0;
}

std::optional<QString> UserDefaults::stringValue(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

void UserDefaults::setDouble(const QString& key, double value) {
    write(key, value);
}

void UserDefaults::setBool(const QString& key, bool value) {
    write(key, value);
}

void UserDefaults::setString(const QString& key, const QString& value) {
    write(key, value);
}

QString UserDefaults::fileName() const {
    return m_settings->fileName();
}

void UserDefaults::write(const QString& key, const QVariant& value) {
    m_settings->setValue(key, value);
    m_settings->sync();
}
