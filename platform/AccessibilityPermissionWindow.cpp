#include "AccessibilityPermissionWindow.h"

#include "Accessibility.h"
#include "Panel.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QPointer<AccessibilityPermissionWindow> AccessibilityPermissionWindow::s_current;

AccessibilityPermissionWindow::AccessibilityPermissionWindow(Accessibility& accessibility, QWidget* parent)
    : AccessibilityPermissionWindow(accessibility, kindFor(accessibility), parent) {}

AccessibilityPermissionWindow::AccessibilityPermissionWindow(Accessibility& accessibility, Kind kind,
                                                             QWidget* parent)
    : QDialog(parent), m_accessibility(accessibility), m_kind(kind) {
    // A title and a close button only: a question has nothing to minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Ondari: Keyboard Shortcut"));
    if (!QApplication::windowIcon().isNull()) {
        setWindowIcon(QApplication::windowIcon());
    }
    build();
}

AccessibilityPermissionWindow::Kind
AccessibilityPermissionWindow::kindFor(const Accessibility& accessibility) {
    if (Accessibility::isWaylandSession()) {
        return Kind::waylandSession;
    }
    return accessibility.sessionCanObserveKeys() ? Kind::ask : Kind::noKeyObservation;
}

QString AccessibilityPermissionWindow::heading() const {
    switch (m_kind) {
    case Kind::ask:
        return QStringLiteral("Allow Ondari to observe Ctrl+Return in other applications?");
    case Kind::waylandSession:
        return QStringLiteral("The Ctrl+Return shortcut needs an X11 session");
    case Kind::noKeyObservation:
        return QStringLiteral("The Ctrl+Return shortcut is not available here");
    }
    return {};
}

QString AccessibilityPermissionWindow::explanation() const {
    switch (m_kind) {
    case Kind::ask:
        return QStringLiteral(
            "While a music link is shown, Ondari listens for Ctrl+Return so you can convert it "
            "without switching windows. Key presses are only checked for this shortcut; nothing you "
            "type is kept or sent anywhere.");
    case Kind::waylandSession:
        return QStringLiteral(
            "In a Wayland session Ondari cannot see key presses made in other applications. "
            "The Convert button on the toast does the same as the shortcut, so you can skip this "
            "step. Log in to an X11 session to use Ctrl+Return.");
    case Kind::noKeyObservation:
        return QStringLiteral(
            "This X server does not offer the RECORD extension that Ondari needs to see the "
            "shortcut in other applications. The Convert button on the toast does the same as the "
            "shortcut, so you can skip this step.");
    }
    return {};
}

void AccessibilityPermissionWindow::build() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(10);

    m_heading = new QLabel(heading(), this);
    QFont headingFont = m_heading->font();
    headingFont.setBold(true);
    headingFont.setPixelSize(15);
    m_heading->setFont(headingFont);
    m_heading->setWordWrap(true);
    layout->addWidget(m_heading);

    m_text = new QLabel(explanation(), this);
    m_text->setWordWrap(true);
    layout->addWidget(m_text);
    layout->addSpacing(6);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    if (m_kind == Kind::ask) {
        m_deny = new QPushButton(QStringLiteral("Don't Allow"), this);
        m_allow = new QPushButton(QStringLiteral("Allow"), this);
        m_allow->setDefault(true);
        buttons->addWidget(m_deny);
        buttons->addWidget(m_allow);
        connect(m_allow, &QPushButton::clicked, this, [this] { answer(true); });
        connect(m_deny, &QPushButton::clicked, this, [this] { answer(false); });
    } else {
        m_ok = new QPushButton(QStringLiteral("OK"), this);
        m_ok->setDefault(true);
        buttons->addWidget(m_ok);
        connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    }
    layout->addLayout(buttons);
    // Fixed in both directions, so that window managers offer no maximise either.
    setFixedWidth(440);
    const int height = heightForWidth(440);
    setFixedHeight(height > 0 ? height : sizeHint().height());
}

void AccessibilityPermissionWindow::answer(bool allowed) {
    m_accessibility.setConsent(allowed);
    emit answered(allowed);
    if (allowed) {
        accept();
    } else {
        reject();
    }
}

AccessibilityPermissionWindow* AccessibilityPermissionWindow::open(Accessibility& accessibility) {
    if (!s_current) {
        s_current = new AccessibilityPermissionWindow(accessibility);
        s_current->setAttribute(Qt::WA_DeleteOnClose);
    }
    Panel::keepAboveShownPanels(s_current);
    s_current->show();
    s_current->raise();
    s_current->activateWindow();
    return s_current;
}

AccessibilityPermissionWindow* AccessibilityPermissionWindow::current() {
    return s_current;
}
