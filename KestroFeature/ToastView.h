#pragma once

#include "AnimatedValue.h"
#include "SongPreviewView.h"
#include "ToastEnvironment.h"
#include "ToastState.h"

#include <QPainterPath>
#include <QPointer>
#include <QWidget>

class ToastCloseButton;

// The toast panel's content: the translucent card with its thin border, the song row when the
// preview was on as the view was made (the card keeps that size while it shows), the body for
// the queue's toast state, and the close button that shows while the pointer is over the toast.
// It only reads the queue and the settings; its one call is the close button's dismiss.
class ToastContentView : public QWidget {
    Q_OBJECT

public:
    explicit ToastContentView(ToastEnvironment environment, QWidget* parent = nullptr);

    static QSize cardSize(bool preview);
    // The panel around the card: its left and top padding.
    static QSize panelSize(bool preview);

    QRect cardRect() const;
    QPainterPath cardPath() const;
    // Where the close button is drawn while it shows.
    QPainterPath closeButtonPath() const;

    bool isHovered() const { return m_hovered; }
    void setHovered(bool hovered);
    qreal closeButtonOpacity() const { return m_closeOpacity.value(); }

    SongPreviewView* songRow() const { return m_songRow; }
    // The current body: PromptStateView, LoadingStateView, SuccessStateView or ErrorStateView.
    QWidget* stateView() const { return m_stateView; }
    ToastCloseButton* closeButton() const { return m_closeButton; }
    // The row's service key for the current state.
    QString rowPlatform() const;

    static constexpr std::chrono::milliseconds hoverDuration{150};

signals:
    // The close button's visibility changed.
    void shapeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void refresh();
    void layoutChildren();
    SongPreviewView::Inputs rowInputs() const;
    QRect contentRect() const;

    ToastEnvironment m_env;
    // The preview setting when the view was made: the card's size for its whole life.
    const bool m_preview;
    bool m_hovered = false;
    AnimatedValue m_closeOpacity{0};
    QPointer<SongPreviewView> m_songRow;
    QPointer<QWidget> m_stateView;
    std::optional<ToastState::Kind> m_stateKind;
    ToastCloseButton* m_closeButton;
};
