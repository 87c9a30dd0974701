#pragma once

#include "MusicSelectionView.h"
#include "OnboardingState.h"

#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class HoverScaleButton;
class OnboardingSpring;
class OnboardingWindowController;

// The permission page: why the shortcut needs the permission, the button that asks for it,
// then the waiting and granted states; a skip link, a close button and, while waiting, "Quit".
class OnboardingPermissionPage : public QWidget {
    Q_OBJECT

public:
    explicit OnboardingPermissionPage(OnboardingWindowController& controller, QWidget* parent = nullptr);

    HoverScaleButton* allowButton() const { return m_allowButton; }
    HoverScaleButton* closeButton() const { return m_closeButton; }
    HoverScaleButton* quitButton() const { return m_quitButton; }
    HoverScaleButton* skipButton() const { return m_skipButton; }

    QString title() const;
    QString subtitle() const;
    // The state whose action area is shown (or fading in).
    OnboardingState shownState() const { return m_shown; }

    // The skip link's action (the content view's confirmation).
    std::function<void()> onSkip;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Layout;
    Layout computeLayout() const;
    void relayout();
    void stateChanged(OnboardingState state);
    void paintActionArea(QPainter& painter, const QRectF& area, OnboardingState state, double opacity);
    void paintSpinner(QPainter& painter, const QPointF& centre, double opacity);

    OnboardingWindowController& m_controller;
    OnboardingState m_shown;
    OnboardingState m_previous;
    HoverScaleButton* m_closeButton;
    HoverScaleButton* m_quitButton;
    HoverScaleButton* m_allowButton;
    HoverScaleButton* m_skipButton;
    OnboardingSpring* m_swap;
    OnboardingSpring* m_skipOpacity;
    OnboardingSpring* m_quitOpacity;
    QTimer m_spinner;
    int m_spinnerStep = 0;
};

// The whole content of the onboarding panel: the permission page, or the music-service page
// while the step is musicSelection, switched with a spring. Dragging its background moves the
// panel.
class OnboardingContentView : public QWidget {
    Q_OBJECT

public:
    explicit OnboardingContentView(OnboardingWindowController& controller, QWidget* parent = nullptr);

    OnboardingPermissionPage* permissionPage() const { return m_permissionPage; }
    // The music page while it is shown (or coming in).
    MusicSelectionView* musicSelectionView() const { return m_musicPage; }
    bool isTransitioning() const { return m_transition.has_value(); }
    // 0 at the start of a page switch, 1 at its end.
    double transitionProgress() const;

    // Asks whether to skip the permission, and skips it when the user says so.
    void confirmSkip();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Transition {
        QPixmap outgoing;
        bool toMusic = false;
    };

    void stateChanged(OnboardingState state);
    void showPage(bool music, bool animated);
    void finishTransition();

    OnboardingWindowController& m_controller;
    OnboardingPermissionPage* m_permissionPage;
    QPointer<MusicSelectionView> m_musicPage;
    bool m_showingMusic = false;
    std::optional<Transition> m_transition;
    OnboardingSpring* m_progress;
    std::optional<QPoint> m_dragOffset;
};
