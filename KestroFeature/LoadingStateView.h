#pragma once

#include "AnimatedValue.h"
#include "ToastRowView.h"

// The toast body while a conversion runs: a spinner and "Converting...".
class LoadingStateView : public ToastRowView {
    Q_OBJECT

public:
    explicit LoadingStateView(ColorScheme& colorScheme, QWidget* parent = nullptr, qreal iconSize = 24);

    QString text() const;
    // The spinner's turn, 0 to 1.
    qreal spinnerPhase() const { return m_turn.value(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_iconSize;
    AnimatedValue m_turn{0};
};
