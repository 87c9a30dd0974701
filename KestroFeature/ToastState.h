#pragma once

#include <QString>

#include <optional>

// What the toast shows for the current request.
struct ToastState {
    enum class Kind { prompt, loading, success, error };

    Kind kind = Kind::prompt;
    QString message;                // error only
    std::optional<QString> details; // error only; an empty text is a present detail

    static ToastState prompt() { return {Kind::prompt, {}, std::nullopt}; }
    static ToastState loading() { return {Kind::loading, {}, std::nullopt}; }
    static ToastState success() { return {Kind::success, {}, std::nullopt}; }
    static ToastState error(const QString& message, std::optional<QString> details) {
        return {Kind::error, message, std::move(details)};
    }

    bool isError() const { return kind == Kind::error; }

    bool operator==(const ToastState& other) const {
        if (kind != other.kind) {
            return false;
        }
        return kind != Kind::error || (message == other.message && details == other.details);
    }
};
