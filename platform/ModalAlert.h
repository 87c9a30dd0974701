#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A question put to the user in a modal message box. Which button was pressed is told by
// its place in `buttons`: the first is the default answer, the second the escape answer.
struct AlertRequest {
    enum class Style { informational, warning, critical };

    QString messageText;
    QString informativeText;
    Style style = Style::warning;
    QStringList buttons;
    // The program's icon when empty.
    QIcon icon;
};

// Runs alerts; tests put a scripted one in its place.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // The index of the pressed button; -1 when the box was closed another way.
    virtual int runModal(const AlertRequest& alert) = 0;
};

// The real thing: QMessageBox::exec() with the program's icon.
class MessageBoxAlertPresenter : public AlertPresenter {
public:
    int runModal(const AlertRequest& alert) override;

    static std::shared_ptr<AlertPresenter> shared();
};

// Answers from a function (tests).
class FunctionAlertPresenter : public AlertPresenter {
public:
    explicit FunctionAlertPresenter(std::function<int(const AlertRequest&)> answer)
        : m_answer(std::move(answer)) {}
    int runModal(const AlertRequest& alert) override { return m_answer ? m_answer(alert) : -1; }

private:
    std::function<int(const AlertRequest&)> m_answer;
};
