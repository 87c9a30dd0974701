#pragma once

#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

// Typed access to the program's key-value store. Every write is synced at once,
// so nothing depends on a clean exit.
class UserDefaults {
public:
    // The program's own store in the user's configuration folder.
    UserDefaults();
    // A store in the given INI file (tests use a private one).
    explicit UserDefaults(const QString& filePath);

    static UserDefaults& standard();

    bool hasValue(const QString& key) const;
    // 0 when absent or not numeric.
    double doubleValue(const QString& key) const;
    // false when absent; "true"/"yes" (any case) and non-zero numbers read as true.
    bool boolValue(const QString& key) const;
    // none when absent or not a single text.
    std::optional<QString> stringValue(const QString& key) const;

    void setDouble(const QString& key, double value);
    void setBool(const QString& key, bool value);
    void setString(const QString& key, const QString& value);

    QString fileName() const;

private:
    void write(const QString& key, const QVariant& value);

    std::unique_ptr<QSettings> m_settings;
};
