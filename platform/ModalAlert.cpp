#include "ModalAlert.h"

#include "Panel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

int MessageBoxAlertPresenter::runModal(const AlertRequest& alert) {
    QMessageBox box;
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    box.setWindowTitle(QApplication::applicationDisplayName());
    const QIcon icon = alert.icon.isNull() ? QApplication::windowIcon() : alert.icon;
    if (!icon.isNull()) {
        box.setIconPixmap(icon.pixmap(64, 64));
    } else {
        switch (alert.style) {
        case AlertRequest::Style::informational:
            box.setIcon(QMessageBox::Information);
            break;
        case AlertRequest::Style::warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case AlertRequest::Style::critical:
            box.setIcon(QMessageBox::Critical);
            break;
        }
    }
    // Desktops order the button roles differently, so the answer is read from the button object.
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        const QMessageBox::ButtonRole role = i == 0   ? QMessageBox::AcceptRole
                                             : i == 1 ? QMessageBox::RejectRole
                                                      : QMessageBox::ActionRole;
        QPushButton* button = box.addButton(alert.buttons.at(i), role);
        buttons.append(button);
        if (i == 0) {
            box.setDefaultButton(button);
        } else if (i == 1) {
            box.setEscapeButton(button);
        }
    }
    box.setWindowModality(Qt::ApplicationModal);
    Panel::keepAboveShownPanels(&box);
    box.raise();
    box.activateWindow();
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}

std::shared_ptr<AlertPresenter> MessageBoxAlertPresenter::shared() {
    static std::shared_ptr<AlertPresenter> instance = std::make_shared<MessageBoxAlertPresenter>();
    return instance;
}
