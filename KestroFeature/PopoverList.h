#pragma once

#include <QList>
#include <QString>
#include <QWidget>

#include <optional>

// A popover that lists choices under the button that opened it: rows of an icon and a name on
// a dark grey list, the row under the pointer marked. A click outside closes it; a row click
// reports the row (the owner closes the popover). It never takes the keyboard.
class PopoverList : public QWidget {
    Q_OBJECT

public:
    struct Row {
        QString iconKey; // a service key for the row's icon
        QString title;
    };

    static constexpr int arrowHeight = 8;
    static constexpr int padding = 8;
    static constexpr int iconSize = 24;

    PopoverList(QList<Row> rows, int width, QWidget* parent);

    // Opens with the arrow's tip at `anchor` (global coordinates), the list below it.
    void popUp(QPoint anchor);

    QList<Row> rows() const { return m_rows; }
    std::optional<int> hoveredRow() const { return m_hovered; }
    // A row's rectangle in the popover's coordinates.
    QRect rowRect(int index) const;

signals:
    void rowChosen(int index);
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int rowHeight() const;
    std::optional<int> rowAt(QPointF point) const;
    QPainterPath bubble() const;

    QList<Row> m_rows;
    int m_width;
    std::optional<int> m_hovered;
    int m_arrowX = 0;
};
