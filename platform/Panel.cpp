#include "Panel.h"

#include "Shadow.h"
#include "X11Display.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QTimer>
#include <QVariantAnimation>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

// Xlib after Qt, for the input shape.
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#undef Bool
#undef None
#undef Status
#undef Unsorted

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// A panel that never takes focus stays out of the window manager's hands on X11: the frame a
// window manager puts around a managed window may take clicks across the whole window, shadow
// margin included, whatever input shape the window has (openbox does). Unmanaged, it keeps above
// every managed window, as menus and tooltips do, and shows on every desktop.
Qt::WindowFlags panelFlags(Panel::Focus focus) {
    Qt::WindowFlags flags =
        Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint;
    if (focus == Panel::Focus::never) {
        flags |= Qt::WindowDoesNotAcceptFocus;
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            flags |= Qt::X11BypassWindowManagerHint;
        }
    }
    return flags;
}

std::optional<bool>& compositorOverride() {
    static std::optional<bool> value;
    return value;
}

std::optional<bool>& blurOverride() {
    static std::optional<bool> value;
    return value;
}

QPointF lerp(QPointF a, QPointF b, qreal t) {
    return a + (b - a) * t;
}

} // namespace

Panel::Panel(QSize frameSize, Focus focus, QWidget* parent)
    : QWidget(parent, panelFlags(focus)), m_frameSize(frameSize), m_focus(focus),
      m_compositing(compositorRunning()), m_blursBehind(m_compositing && desktopBlursBehind()) {
    setAttribute(Qt::WA_TranslucentBackground);
    if (focus == Focus::never) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
    }
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(frameSize.grownBy(QMargins(shadowMargin, shadowMargin, shadowMargin, shadowMargin)));
    setFrameOrigin(QPoint(0, 0));
    markNative();
}

Panel::~Panel() {
    if (m_animation) {
        m_animation->disconnect(this);
    }
}

void Panel::setContentWidget(QWidget* content) {
    delete m_content;
    m_content = content;
    if (content) {
        content->setParent(this);
        content->setGeometry(QRect(QPoint(shadowMargin, shadowMargin), m_frameSize));
        content->show();
    }
}

QRect Panel::frameRect() const {
    return QRect(frameOrigin(), m_frameSize);
}

QPoint Panel::frameOrigin() const {
    return pos() + QPoint(shadowMargin, shadowMargin);
}

void Panel::setFrameOrigin(QPoint origin) {
    move(origin - QPoint(shadowMargin, shadowMargin));
}

void Panel::setCardShape(const QPainterPath& card, const QPainterPath& extraShape) {
    const bool cardChanged = card != m_card;
    m_card = card;
    m_extraShape = extraShape;
    if (cardChanged) {
        m_shadowImage = {};
        update();
    }
    updateShape();
}

void Panel::setShadow(const QColor& color, qreal radius, QPointF offset) {
    m_shadowColor = color;
    m_shadowRadius = radius;
    m_shadowOffset = offset;
    m_shadowImage = {};
    update();
}

void Panel::setOpacity(qreal opacity) {
    m_opacity = opacity;
    if (m_compositing) {
        setWindowOpacity(opacity);
        flush();
    }
}

void Panel::orderFront() {
    show();
    raise();
    if (m_focus == Focus::whenShown) {
        activateWindow();
    }
    flush();
}

void Panel::keepAboveShownPanels(QWidget* dialog) {
    if (!dialog) {
        return;
    }
    // The panel that takes the focus is the one the user works in; the dialog belongs to it.
    // No managed window, a dialog included, can go above an unmanaged panel.
    Panel* anchor = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* panel = qobject_cast<Panel*>(window);
        if (panel && panel != dialog && panel->isVisible() &&
            !panel->windowFlags().testFlag(Qt::X11BypassWindowManagerHint) &&
            (!anchor || panel->m_focus == Focus::whenShown)) {
            anchor = panel;
        }
    }
    if (!anchor) {
        return;
    }
    // Panels live in the window manager's "above" layer; the dialog must share it, and as the
    // panel's transient it stays on top of it within that layer.
    if (!dialog->isVisible()) {
        dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
    dialog->winId();
    if (QWindow* handle = dialog->windowHandle()) {
        handle->setTransientParent(anchor->windowHandle());
    }
}

void Panel::orderOut() {
    if (m_animation) {
        m_animation->disconnect(this);
        m_animation->stop();
        m_animation->deleteLater();
        m_animation = nullptr;
    }
    hide();
    flush();
    finishAnimation();
}

void Panel::animate(QPoint origin, qreal opacity, std::chrono::milliseconds duration,
                    const QEasingCurve& curve, std::function<void()> completion) {
    if (completion) {
        m_completions.push_back(std::move(completion));
    }
    if (m_animation) {
        m_animation->disconnect(this);
        m_animation->stop();
        m_animation->deleteLater();
        m_animation = nullptr;
    }
    if (!m_compositing || duration.count() <= 0) {
        if (!m_compositing && opacity <= 0) {
            // A fade out is a plain hide here: the window would not fade, only jump.
            hide();
        }
        setFrameOrigin(origin);
        setOpacity(opacity);
        // Still reported after the caller returns, as a finished animation would be.
        QTimer::singleShot(0, this, [this] {
            if (!m_animation) {
                finishAnimation();
            }
        });
        return;
    }
    const QPointF fromOrigin = frameOrigin();
    const qreal fromOpacity = m_opacity;
    const QPointF toOrigin = origin;
    m_animation = new QVariantAnimation(this);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    m_animation->setDuration(int(duration.count()));
    m_animation->setEasingCurve(curve);
    connect(m_animation, &QVariantAnimation::valueChanged, this,
            [this, fromOrigin, toOrigin, fromOpacity, opacity](const QVariant& value) {
                const qreal t = value.toReal();
                setFrameOrigin(lerp(fromOrigin, toOrigin, t).toPoint());
                setOpacity(fromOpacity + (opacity - fromOpacity) * t);
            });
    connect(m_animation, &QVariantAnimation::finished, this, [this, origin, opacity] {
        m_animation->deleteLater();
        m_animation = nullptr;
        setFrameOrigin(origin);
        setOpacity(opacity);
        finishAnimation();
    });
    m_animation->start();
}

void Panel::finishAnimation() {
    std::vector<std::function<void()>> completions;
    completions.swap(m_completions);
    for (auto& completion : completions) {
        completion();
    }
}

bool Panel::compositorRunning() {
    if (compositorOverride()) {
        return *compositorOverride();
    }
    xcb_connection_t* connection = X11Display::connection();
    if (!connection) {
        return true;
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(X11Display::defaultScreenNumber());
    const xcb_atom_t selection = X11Display::atom(connection, name.constData());
    if (selection == XCB_ATOM_NONE) {
        return false;
    }
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_WINDOW_NONE;
    std::free(reply);
    return owned;
}

void Panel::setCompositorOverride(std::optional<bool> running) {
    compositorOverride() = running;
}

bool Panel::desktopBlursBehind() {
    if (blurOverride()) {
        return *blurOverride();
    }
    xcb_connection_t* connection = X11Display::connection();
    if (!connection) {
        return true;
    }
    // KWin's blur effect keeps a property of this name on the root window while it is loaded.
    const xcb_atom_t atom = X11Display::atom(connection, "_KDE_NET_WM_BLUR_BEHIND_REGION");
    const xcb_window_t root = X11Display::rootWindow(connection);
    if (atom == XCB_ATOM_NONE || root == XCB_WINDOW_NONE) {
        return false;
    }
    xcb_list_properties_reply_t* reply =
        xcb_list_properties_reply(connection, xcb_list_properties(connection, root), nullptr);
    if (!reply) {
        return false;
    }
    const xcb_atom_t* atoms = xcb_list_properties_atoms(reply);
    const xcb_atom_t* end = atoms + xcb_list_properties_atoms_length(reply);
    const bool offered = std::find(atoms, end, atom) != end;
    std::free(reply);
    return offered;
}

void Panel::setBlurOverride(std::optional<bool> offered) {
    blurOverride() = offered;
}

bool Panel::drawsOpaqueMaterial(const QWidget* widget) {
    const auto* panel = widget ? qobject_cast<const Panel*>(widget->window()) : nullptr;
    return panel && !panel->blursBehind();
}

void Panel::markNative() {
    xcb_connection_t* connection = X11Display::connection();
    if (!connection) {
        return;
    }
    // Written before the first map, where the window manager reads them; Qt adds its own
    // states to the list rather than replacing it.
    const auto window = xcb_window_t(winId());
    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window,
                        X11Display::atom(connection, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1,
                        &allDesktops);
    const xcb_atom_t states[] = {
        X11Display::atom(connection, "_NET_WM_STATE_STICKY"),
        X11Display::atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
        X11Display::atom(connection, "_NET_WM_STATE_SKIP_PAGER"),
        X11Display::atom(connection, "_NET_WM_STATE_ABOVE"),
    };
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window,
                        X11Display::atom(connection, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32,
                        uint32_t(std::size(states)), states);
    // Clicks on the shadow margin reach whatever lies below; the frame itself takes them.
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>(); x11 && x11->display()) {
        XRectangle frame{short(shadowMargin), short(shadowMargin), ushort(m_frameSize.width()),
                         ushort(m_frameSize.height())};
        XShapeCombineRectangles(x11->display(), window, ShapeInput, 0, 0, &frame, 1, ShapeSet, YXBanded);
        XFlush(x11->display());
    }
    flush();
}

void Panel::updateShape() {
    const QPoint margin(shadowMargin, shadowMargin);
    if (!m_compositing) {
        QPainterPath shape = m_card;
        if (!m_extraShape.isEmpty()) {
            shape = shape.united(m_extraShape);
        }
        clearMask();
        if (!shape.isEmpty()) {
            setMask(QRegion(shape.translated(margin).toFillPolygon().toPolygon()));
        }
        return;
    }
    xcb_connection_t* connection = X11Display::connection();
    if (!connection || m_card.isEmpty()) {
        return;
    }
    // KWin blurs what lies behind these rectangles; other desktops ignore the property.
    std::vector<uint32_t> rects;
    const QRegion region(m_card.translated(margin).toFillPolygon().toPolygon());
    for (const QRect& r : region) {
        rects.insert(rects.end(),
                     {uint32_t(r.x()), uint32_t(r.y()), uint32_t(r.width()), uint32_t(r.height())});
    }
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(winId()),
                        X11Display::atom(connection, "_KDE_NET_WM_BLUR_BEHIND_REGION"), XCB_ATOM_CARDINAL, 32,
                        uint32_t(rects.size()), rects.data());
    flush();
}

void Panel::flush() {
    if (xcb_connection_t* connection = X11Display::connection()) {
        xcb_flush(connection);
    }
}

void Panel::paintEvent(QPaintEvent*) {
    if (!m_compositing || m_card.isEmpty()) {
        return;
    }
    QPainter painter(this);
    const QPainterPath card = m_card.translated(shadowMargin, shadowMargin);
    if (m_shadowImage.isNull()) {
        m_shadowImage =
            Shadow::render(card, m_shadowColor, m_shadowRadius / 2, devicePixelRatioF(), &m_shadowOrigin);
    }
    // A window shadow lies around the card, never under its translucent fill.
    QPainterPath outside;
    outside.addRect(rect());
    painter.setClipPath(outside.subtracted(card));
    painter.drawImage(m_shadowOrigin + m_shadowOffset, m_shadowImage);
}
