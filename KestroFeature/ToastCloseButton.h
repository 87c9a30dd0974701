#pragma once

#include "ColorScheme.h"

#include <QWidget>

// The round close button over the toast card's corner. It fades with the pointer over the
// toast; while fully faded it takes no clicks.
class ToastCloseButton : public QWidget {
    Q_OBJECT

public:
    explicit ToastCloseButton(ColorScheme& colorScheme, qreal diameter, QWidget* parent = nullptr);

    qreal opacity() const { return m_opacity; }
    void setOpacity(qreal opacity);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool hits(QPointF point) const;

    ColorScheme& m_colorScheme;
    qreal m_diameter;
    qreal m_opacity = 0;
    bool m_pressed = false;
};
