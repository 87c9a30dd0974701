#include "OnboardingStyle.h"

#include "AnimatedValue.h"
#include "PlatformIcons.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"

#include <QApplication>
#include <QEasingCurve>
#include <QEnterEvent>
#include <QHash>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QSvgRenderer>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

namespace OnboardingStyle {

QColor rgb(double r, double g, double b, double opacity) {
    return QColor::fromRgbF(float(r), float(g), float(b), float(opacity));
}
QColor white(double opacity) {
    return rgb(1, 1, 1, opacity);
}
QColor black(double opacity) {
    return rgb(0, 0, 0, opacity);
}

namespace {
bool isDark(Scheme scheme) {
    return scheme == Scheme::dark;
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}
} // namespace

QColor primary(Scheme scheme, double opacity) {
    return withOpacity(SystemColors::primaryLabel(scheme), opacity);
}
QColor secondary(Scheme scheme, double opacity) {
    return withOpacity(SystemColors::secondaryLabel(scheme), opacity);
}
QColor systemGrey(double opacity) {
    return withOpacity(SystemColors::systemGray(), opacity);
}
QColor accent() {
    return rgb(0.0, 0.478, 1.0);
}
QColor regularMaterial(Scheme scheme, bool opaque) {
    return SystemColors::regularMaterial(scheme, opaque);
}
QColor brandTeal() {
    return rgb(0.125, 0.776, 0.761);
}
QColor brandTealDeep() {
    return rgb(0.031, 0.569, 0.557);
}
QColor amber() {
    return rgb(1.0, 0.67, 0.0);
}
QColor popoverBackground() {
    return rgb(0.247, 0.251, 0.259);
}
QColor pageBorderTop(Scheme scheme) {
    return isDark(scheme) ? white(0.15) : black(0.08);
}
QColor pageBorderBottom(Scheme scheme) {
    return isDark(scheme) ? white(0.05) : black(0.02);
}

QFont pixelFont(int pixelSize, QFont::Weight weight) {
    return SystemFont::font(pixelSize, weight);
}

void paintSymbol(QPainter& painter, const QString& name, const QRectF& rect, const QColor& color,
                 QFont::Weight weight) {
    SystemSymbol::paint(painter, rect.center(), name, std::min(rect.width(), rect.height()), color, weight);
}

void paintServiceIcon(QPainter& painter, const QString& key, const QRectF& rect) {
    PlatformIcon::paint(painter, rect, key);
}

void paintSymbolTile(QPainter& painter, const QString& symbol, const QRectF& rect, double radius,
                     double symbolSize) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(roundedRect(rect, radius), white());
    painter.restore();
    const QRectF glyph(rect.center() - QPointF(symbolSize / 2, symbolSize / 2),
                       QSizeF(symbolSize, symbolSize));
    paintSymbol(painter, symbol, glyph, black(), QFont::DemiBold);
}

void paintAppIcon(QPainter& painter, const QRectF& rect) {
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull()) {
        const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
        const QPixmap pixmap = icon.pixmap(rect.size().toSize(), ratio);
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(rect, pixmap, QRectF(QPointF(0, 0), pixmap.size()));
        painter.restore();
        return;
    }
    // The symbol at 48 in the middle of the 80 x 80 frame.
    const QRectF symbol(rect.center() - QPointF(24, 24), QSizeF(48, 48));
    paintSymbol(painter, QStringLiteral("music.note.list"), symbol, accent());
}

void brighten(QImage& image, double amount) {
    // Only ever brightened; a darkening would need another blend.
    if (amount <= 0.0) {
        return;
    }
    QImage layer = image;
    {
        QPainter p(&layer);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRectF(QPointF(0, 0), QSizeF(layer.size()) / layer.devicePixelRatio()),
                   rgb(qBound(0.0, amount, 1.0), qBound(0.0, amount, 1.0), qBound(0.0, amount, 1.0)));
    }
    QPainter p(&image);
    p.setCompositionMode(QPainter::CompositionMode_Plus);
    p.drawImage(0, 0, layer);
}

QPainterPath roundedRect(const QRectF& rect, double radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

void paintCard(QPainter& painter, const QRectF& rect, double radius, Scheme scheme, bool opaque) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = roundedRect(rect, radius);
    painter.fillPath(shape, regularMaterial(scheme, opaque));
    QLinearGradient border(rect.center().x(), rect.top(), rect.center().x(), rect.bottom());
    border.setColorAt(0, pageBorderTop(scheme));
    border.setColorAt(1, pageBorderBottom(scheme));
    QPen pen(QBrush(border), 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // The stroke is centred on the outline, as the card's own border is.
    painter.drawPath(shape);
    painter.restore();
}

void paintFocusRing(QPainter& painter, const QPainterPath& shape) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(accent(), 2.0));
    painter.drawPath(shape);
    painter.restore();
}

bool isKeyboardFocus(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason;
}

} // namespace OnboardingStyle

HoverScaleButton::HoverScaleButton(QSizeF contentSize, double margin, QWidget* parent)
    : QAbstractButton(parent), m_contentSize(contentSize), m_margin(margin) {
    setAttribute(Qt::WA_Hover);
    setMouseTracking(true);
    // Reached by Tab only: a click gives no focus, so the pointer never leaves a ring behind.
    setFocusPolicy(Qt::TabFocus);
    resize((contentSize + QSizeF(2 * margin, 2 * margin)).toSize());
    m_scale = new AnimatedValue(1.0, this);
    m_brightness = new AnimatedValue(0.0, this);
    connect(m_scale, &AnimatedValue::valueChanged, this, qOverload<>(&QWidget::update));
    connect(m_brightness, &AnimatedValue::valueChanged, this, qOverload<>(&QWidget::update));
}

double HoverScaleButton::currentScale() const {
    return m_scale->value();
}
double HoverScaleButton::currentBrightness() const {
    return m_brightness->value();
}

void HoverScaleButton::setHoverFeedback(bool on) {
    if (m_feedback == on) {
        return;
    }
    m_feedback = on;
    animateFeedback();
}

void HoverScaleButton::setPaintOpacity(double opacity) {
    m_opacity = opacity;
    update();
}

void HoverScaleButton::placeContent(const QRectF& content) {
    m_contentSize = content.size();
    setGeometry(QRectF(content.topLeft() - QPointF(m_margin, m_margin),
                       content.size() + QSizeF(2 * m_margin, 2 * m_margin))
                    .toAlignedRect());
    update();
}

QRectF HoverScaleButton::contentRect() const {
    const QRectF all(QPointF(0, 0), QSizeF(size()));
    return QRectF(all.center() - QPointF(m_contentSize.width() / 2, m_contentSize.height() / 2),
                  m_contentSize);
}

void HoverScaleButton::paintEvent(QPaintEvent*) {
    if (!m_painter || m_opacity <= 0.0) {
        return;
    }
    const qreal ratio = devicePixelRatioF();
    QImage image((QSizeF(size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        const QRectF content = contentRect();
        p.translate(content.center());
        p.scale(m_scale->value(), m_scale->value());
        p.translate(-content.center());
        m_painter(p, content, m_hovered);
    }
    OnboardingStyle::brighten(image, m_brightness->value());
    QPainter painter(this);
    painter.setOpacity(std::clamp(m_opacity, 0.0, 1.0));
    painter.drawImage(0, 0, image);
    if (m_keyboardFocus && hasFocus()) {
        const QRectF content = contentRect();
        // Outside the content where the margin leaves room, else just inside the widget.
        const QRectF ring = content.adjusted(-2, -2, 2, 2).intersected(QRectF(rect()).adjusted(1, 1, -1, -1));
        OnboardingStyle::paintFocusRing(painter, m_hitShape ? m_hitShape(ring)
                                                            : OnboardingStyle::roundedRect(ring, 4));
    }
}

void HoverScaleButton::focusInEvent(QFocusEvent* event) {
    QAbstractButton::focusInEvent(event);
    m_keyboardFocus = OnboardingStyle::isKeyboardFocus(event->reason());
    update();
}

void HoverScaleButton::focusOutEvent(QFocusEvent* event) {
    QAbstractButton::focusOutEvent(event);
    m_keyboardFocus = false;
    update();
}

bool HoverScaleButton::hitButton(const QPoint& pos) const {
    const QRectF content = contentRect();
    if (m_hitShape) {
        return m_hitShape(content).contains(QPointF(pos));
    }
    return content.contains(QPointF(pos));
}

void HoverScaleButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    setHovered(true);
}

void HoverScaleButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    setHovered(false);
}

void HoverScaleButton::setHovered(bool hovered) {
    m_hovered = hovered;
    emit hoveredChanged(hovered);
    animateFeedback();
}

void HoverScaleButton::animateFeedback() {
    const bool active = m_hovered && m_feedback;
    const std::chrono::milliseconds duration(150);
    m_scale->animateTo(active ? m_hoverScale : 1.0, duration, TimingCurve::easeInOut());
    m_brightness->animateTo(active ? m_hoverBrightness : 0.0, duration, TimingCurve::easeInOut());
}

OnboardingSpring::OnboardingSpring(double response, double damping, double initial, QObject* parent)
    : QObject(parent), m_omega(2.0 * M_PI / response), m_damping(damping), m_value(initial),
      m_target(initial) {
    m_clock = new QVariantAnimation(this);
    m_clock->setStartValue(0.0);
    m_clock->setEndValue(1.0);
    m_clock->setEasingCurve(QEasingCurve::Linear);
    connect(m_clock, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& progress) { step(progress.toDouble() * m_clock->duration() / 1000.0); });
    connect(m_clock, &QVariantAnimation::finished, this, [this] {
        m_value = m_target;
        m_velocity = 0.0;
        emit valueChanged(m_value);
    });
}

bool OnboardingSpring::isRunning() const {
    return m_clock->state() == QAbstractAnimation::Running;
}

void OnboardingSpring::animateTo(double target) {
    m_clock->stop();
    m_target = target;
    m_startOffset = m_value - target;
    m_startVelocity = m_velocity;
    if (std::abs(m_startOffset) < 1e-9 && std::abs(m_startVelocity) < 1e-9) {
        m_value = target;
        emit valueChanged(m_value);
        return;
    }
    // Long enough for the envelope to fall under a thousandth of the larger start value.
    const double decay = std::max(m_damping * m_omega, 1e-3);
    const double span = std::max({std::abs(m_startOffset), std::abs(m_startVelocity) / m_omega, 1e-6});
    const double seconds = std::clamp(std::log(span / 0.001) / decay, 0.05, 5.0);
    m_clock->setDuration(int(seconds * 1000));
    m_clock->start();
}

void OnboardingSpring::setValue(double value) {
    m_clock->stop();
    m_value = value;
    m_target = value;
    m_velocity = 0.0;
    emit valueChanged(m_value);
}

void OnboardingSpring::step(double t) {
    const double z = m_damping;
    const double w = m_omega;
    const double x0 = m_startOffset;
    const double v0 = m_startVelocity;
    double x = 0.0;
    double v = 0.0;
    if (z < 1.0) {
        const double wd = w * std::sqrt(1.0 - z * z);
        const double a = x0;
        const double b = (v0 + z * w * x0) / wd;
        const double envelope = std::exp(-z * w * t);
        const double c = std::cos(wd * t);
        const double s = std::sin(wd * t);
        x = envelope * (a * c + b * s);
        v = envelope * ((-z * w) * (a * c + b * s) + (-a * wd * s + b * wd * c));
    } else {
        // Critically damped (or more): the critical solution is close enough.
        const double envelope = std::exp(-w * t);
        const double b = v0 + w * x0;
        x = envelope * (x0 + b * t);
        v = envelope * (b - w * (x0 + b * t));
    }
    m_value = m_target + x;
    m_velocity = v;
    emit valueChanged(m_value);
}

HoverScaleButton* makeMinimizeButton(QWidget* parent, const ColorScheme& colorScheme,
                                     std::function<void()> onClick) {
    auto* button = new HoverScaleButton(QSizeF(24, 24), 2, parent);
    button->setHoverScale(1.1);
    button->setPainter([&colorScheme](QPainter& painter, const QRectF& content, bool hovered) {
        const auto scheme = colorScheme.current();
        painter.setPen(Qt::NoPen);
        painter.setBrush(OnboardingStyle::primary(scheme, hovered ? 0.15 : 0.1));
        painter.drawEllipse(content);
        OnboardingStyle::paintSymbol(
            painter, QStringLiteral("xmark"), QRectF(content.center() - QPointF(5, 5), QSizeF(10, 10)),
            hovered ? OnboardingStyle::primary(scheme) : OnboardingStyle::secondary(scheme), QFont::Bold);
    });
    button->setHitShape([](const QRectF& content) {
        QPainterPath path;
        path.addEllipse(content);
        return path;
    });
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [onClick = std::move(onClick)] { onClick(); });
    return button;
}
