#pragma once

#include "ToastRowView.h"

#include <optional>

class ConversionQueue;
class GradientButton;

// The toast body after a failed conversion: a warning sign, the error and its hint, and a
// Retry button that confirms the request again.
class ErrorStateView : public ToastRowView {
    Q_OBJECT

public:
    ErrorStateView(ConversionQueue& queue, ColorScheme& colorScheme, QString message,
                   std::optional<QString> details, QWidget* parent = nullptr, qreal iconSize = 24);

    void setError(QString message, std::optional<QString> details);
    QString message() const { return m_message; }
    std::optional<QString> details() const { return m_details; }
    // One colour for the sign and the button.
    QColor warningColor() const;
    GradientButton* retryButton() const { return m_retry; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void layoutRow() override;

private:
    void restyle();

    ConversionQueue& m_queue;
    QString m_message;
    std::optional<QString> m_details;
    qreal m_iconSize;
    GradientButton* m_retry;
};
