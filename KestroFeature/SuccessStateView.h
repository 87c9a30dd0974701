#pragma once

#include "ToastRowView.h"

// The toast body after a conversion: a green check and "Copied to clipboard!".
class SuccessStateView : public ToastRowView {
    Q_OBJECT

public:
    explicit SuccessStateView(ColorScheme& colorScheme, QWidget* parent = nullptr, qreal iconSize = 24);

    QString text() const;
    QColor iconColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_iconSize;
};
