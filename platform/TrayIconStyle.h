#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>

#include <cstdint>
#include <memory>
#include <optional>

// How the tray icon's glyph is coloured so that it reads on the tray it sits in. Trays here do
// not tint a template image: an XEmbed tray may publish its foreground colour
// (_NET_SYSTEM_TRAY_COLORS); where nothing says, a light glyph with a dark outline reads on any
// tray. Follows the tray's changes while running; it is watched on an X connection of its own.
class TrayIconStyle : public QObject {
    Q_OBJECT

public:
    enum class Host { xembed, statusNotifier };

    struct Glyph {
        QColor fill;
        QColor outline; // invalid: none
        bool operator==(const Glyph&) const = default;
    };

    static const QColor lightGlyph;
    static const QColor darkGlyph;
    // Against a tray of #202020 and one of #f0f0f0 alike, the dimmed glyph included.
    static constexpr qreal disabledOpacity = 0.5;

    explicit TrayIconStyle(QObject* parent = nullptr);
    ~TrayIconStyle() override;

    void setHost(Host host);
    Host host() const { return m_host; }
    Glyph glyph() const;
    // The tray's foreground colour where an XEmbed tray publishes one.
    std::optional<QColor> trayForeground() const { return m_trayForeground; }
    // Looks for the tray and its colours again; called once the icon is docked.
    void refresh();

    // `mask` (only its alpha counts) painted as `glyph`, dimmed when disabled.
    static QIcon paint(const QIcon& mask, const Glyph& glyph, bool disabled);

signals:
    void changed();

private:
    struct Watch;

    void readTrayColors();
    void readEvents();
    void handleEvent(const void* event);

    Host m_host = Host::xembed;
    std::optional<QColor> m_trayForeground;
    std::unique_ptr<Watch> m_watch;
    std::uint32_t m_manager = 0;
    std::uint32_t m_selectionAtom = 0;
    std::uint32_t m_colorsAtom = 0;
    std::uint32_t m_managerAtom = 0;
};
