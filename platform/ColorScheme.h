#pragma once

#include <QObject>

class QDBusVariant;

#include <optional>

// The desktop's light or dark appearance: the desktop portal's color-scheme where there is
// one, else the lightness of the application palette's window colour. Re-read when either
// changes.
class ColorScheme : public QObject {
    Q_OBJECT

public:
    enum class Scheme { light, dark };

    explicit ColorScheme(QObject* parent = nullptr);

    static ColorScheme& shared();

    Scheme current() const;
    bool isDark() const { return current() == Scheme::dark; }

    // Tests pin the scheme; none returns to the desktop's.
    void setOverride(std::optional<Scheme> scheme);

signals:
    void changed(ColorScheme::Scheme scheme);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onPortalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void askPortal();
    Scheme fromPalette() const;
    // Announces the scheme when it differs from the one last announced.
    void refresh();

    std::optional<Scheme> m_override;
    std::optional<Scheme> m_portal; // none: no portal, or it has no preference
    Scheme m_last = Scheme::light;
};
