#pragma once

#include "ColorScheme.h"

#include <QColor>
#include <QPainterPath>
#include <QWidget>

// A blurred, translucent background with rounded corners; whatever is placed inside it is cut
// to the same rounded shape. The material decides the tint; the blending mode decides what
// shows through: the desktop behind a translucent window (the compositor does the blurring,
// where it offers to), or the window's own drawing behind the view, which the widget blurs
// itself. The look does not change with the window's activation.
class VisualEffectBlur : public QWidget {
    Q_OBJECT

public:
    enum class Material {
        titlebar,
        selection,
        menu,
        popover,
        sidebar,
        headerView,
        sheet,
        windowBackground,
        hudWindow,
        fullScreenUI,
        toolTip,
        contentBackground,
        underWindowBackground,
        underPageBackground,
    };
    Q_ENUM(Material)

    enum class BlendingMode { behindWindow, withinWindow };
    Q_ENUM(BlendingMode)

    VisualEffectBlur(ColorScheme& colorScheme, Material material, BlendingMode blendingMode,
                     qreal cornerRadius, QWidget* parent = nullptr);

    // Later changes apply to this same widget.
    Material material() const { return m_material; }
    void setMaterial(Material material);
    BlendingMode blendingMode() const { return m_blendingMode; }
    void setBlendingMode(BlendingMode blendingMode);
    qreal cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(qreal cornerRadius);

    // The translucent tint of a material in a colour scheme.
    static QColor materialColor(Material material, ColorScheme::Scheme scheme);
    // How strongly the window's drawing behind the view is blurred, as a view blur radius.
    static constexpr qreal blurRadius = 20;

    // The rounded outline everything is cut to, in the widget's coordinates.
    QPainterPath shape() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateMask();
    // What the widgets this one sits in draw of themselves where it lies, `margin` around it
    // included; their other children are left out.
    QImage backdrop(int margin, qreal dpr);

    ColorScheme& m_colorScheme;
    Material m_material;
    BlendingMode m_blendingMode;
    qreal m_cornerRadius;
};
