#pragma once

#include "ToastRowView.h"

#include <QElapsedTimer>
#include <QTimer>

// The toast body while a conversion runs: a spinner and "Converting...".
class LoadingStateView : public ToastRowView {
    Q_OBJECT

public:
    explicit LoadingStateView(ColorScheme& colorScheme, QWidget* parent = nullptr, qreal iconSize = 24);

    QString text() const;
    // The lit spoke, 0 to 11; it moves on one place per twelfth of a second.
    int spinnerStep() const { return m_step; }
    static constexpr int spokes = 12;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tick();
    QRect spinnerRect() const;

    qreal m_iconSize;
    int m_step = 0;
    QElapsedTimer m_clock;
    QTimer m_ticker;
};
