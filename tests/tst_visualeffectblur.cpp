#include "ImageBlur.h"
#include "SystemColors.h"
#include "VisualEffectBlur.h"
#include "WidgetTestMain.h"

#include <QPainter>
#include <QRegularExpression>
#include <QTest>

using Material = VisualEffectBlur::Material;
using Mode = VisualEffectBlur::BlendingMode;
using Scheme = ColorScheme::Scheme;

namespace {

// A window that paints sharp vertical stripes, one pixel each, black and white.
class Stripes : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        for (int x = 0; x < width(); ++x) {
            painter.fillRect(QRect(x, 0, 1, height()), x % 2 ? Qt::black : Qt::white);
        }
    }
};

QWidget* filled(QWidget* parent, QColor color, QRect geometry) {
    auto* child = new QWidget(parent);
    child->setAutoFillBackground(true);
    QPalette palette = child->palette();
    palette.setColor(QPalette::Window, color);
    child->setPalette(palette);
    child->setGeometry(geometry);
    return child;
}

QColor over(QColor top, QColor bottom) {
    const qreal a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + bottom.redF() * (1 - a)),
                            float(top.greenF() * a + bottom.greenF() * (1 - a)),
                            float(top.blueF() * a + bottom.blueF() * (1 - a)));
}

bool close(QColor a, QColor b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

class VisualEffectBlurTest : public QObject {
    Q_OBJECT

    ColorScheme scheme;

private slots:
    void init() { scheme.setOverride(Scheme::light); }

    void contentIsCutToTheCorners() {
        QWidget window;
        filled(&window, Qt::white, QRect(0, 0, 200, 120));
        window.resize(200, 120);
        VisualEffectBlur blur(scheme, Material::popover, Mode::behindWindow, 16, &window);
        blur.setGeometry(20, 20, 100, 60);
        // Larger than the view on purpose.
        filled(&blur, Qt::red, QRect(-10, -10, 120, 80));
        const QImage image = window.grab().toImage();
        QCOMPARE(QColor(image.pixel(70, 50)), QColor(Qt::red));
        QCOMPARE(QColor(image.pixel(20, 20)), QColor(Qt::white));
        QCOMPARE(QColor(image.pixel(119, 79)), QColor(Qt::white));
        QCOMPARE(QColor(image.pixel(15, 50)), QColor(Qt::white));

        // Square corners still cut the content to the bounds.
        blur.setCornerRadius(0);
        const QImage square = window.grab().toImage();
        QCOMPARE(QColor(square.pixel(20, 20)), QColor(Qt::red));
        QCOMPARE(QColor(square.pixel(119, 79)), QColor(Qt::red));
        QCOMPARE(QColor(square.pixel(19, 50)), QColor(Qt::white));
        QCOMPARE(QColor(square.pixel(70, 80)), QColor(Qt::white));
    }

    void materialTintsAndLaterChanges() {
        QWidget window;
        filled(&window, Qt::white, QRect(0, 0, 120, 80));
        window.resize(120, 80);
        VisualEffectBlur blur(scheme, Material::popover, Mode::behindWindow, 10, &window);
        blur.setGeometry(10, 10, 100, 60);
        auto middle = [&] { return QColor(window.grab().toImage().pixel(60, 40)); };
        const QColor tint = VisualEffectBlur::materialColor(Material::popover, Scheme::light);
        QVERIFY(tint.alphaF() < 1);
        QVERIFY(close(middle(), over(tint, Qt::white)));

        // The same widget follows its new settings and the scheme.
        VisualEffectBlur* const same = &blur;
        blur.setMaterial(Material::hudWindow);
        QVERIFY(close(middle(),
                      over(VisualEffectBlur::materialColor(Material::hudWindow, Scheme::light), Qt::white)));
        scheme.setOverride(Scheme::dark);
        QVERIFY(close(middle(),
                      over(VisualEffectBlur::materialColor(Material::hudWindow, Scheme::dark), Qt::white)));
        blur.setMaterial(Material::popover);
        QVERIFY(close(middle(), over(SystemColors::regularMaterial(Scheme::dark), Qt::white)));
        QCOMPARE(&blur, same);

        // The window's activation does not change the look.
        const QImage before = window.grab().toImage();
        QEvent deactivate(QEvent::WindowDeactivate);
        QCoreApplication::sendEvent(&window, &deactivate);
        QCoreApplication::sendEvent(&blur, &deactivate);
        QCOMPARE(window.grab().toImage(), before);
    }

    void withinWindowBlursWhatLiesBehind() {
        Stripes window;
        window.resize(160, 100);
        VisualEffectBlur blur(scheme, Material::underWindowBackground, Mode::behindWindow, 8, &window);
        blur.setGeometry(30, 20, 100, 60);
        auto contrast = [&] {
            const QImage image = window.grab().toImage();
            return std::abs(qGray(image.pixel(80, 50)) - qGray(image.pixel(81, 50)));
        };
        // Behind the window, the window's own stripes show through the tint as they are.
        QVERIFY(contrast() > 40);
        blur.setBlendingMode(Mode::withinWindow);
        QVERIFY(contrast() <= 2);
        // Blurred, the stripes come out as their mean grey under the tint.
        const QImage image = window.grab().toImage();
        const QColor grey =
            over(VisualEffectBlur::materialColor(Material::underWindowBackground, Scheme::light),
                 QColor(128, 128, 128));
        QVERIFY(close(QColor(image.pixel(80, 50)), grey, 4));
        // Up to the edges: what lies beyond them is blurred in too, not darkness.
        QVERIFY(close(QColor(image.pixel(31, 50)), grey, 4));
        // Outside the view the stripes stay sharp.
        QVERIFY(std::abs(qGray(image.pixel(10, 50)) - qGray(image.pixel(11, 50))) > 200);

        // On screen too, drawing what lies behind it from inside its own paint.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        blur.repaint();
        QCoreApplication::processEvents();
    }

    void blurKeepsColourAndSpreadsLight() {
        QImage block(41, 41, QImage::Format_ARGB32_Premultiplied);
        block.fill(Qt::transparent);
        QPainter(&block).fillRect(QRect(16, 16, 9, 9), Qt::red);
        const qreal light = 81 * 255;
        for (qreal sigma : {0.5, 4.0}) {
            const QImage out = ImageBlur::blurred(block, sigma);
            QCOMPARE(out.size(), block.size());
            qreal total = 0;
            for (int y = 0; y < out.height(); ++y) {
                for (int x = 0; x < out.width(); ++x) {
                    const QRgb p = out.pixel(x, y);
                    total += qAlpha(p);
                    QCOMPARE(qGreen(p), 0);
                    QCOMPARE(qRed(p), qAlpha(p));
                }
            }
            // Light is spread, not lost, and the edges go soft.
            QVERIFY(std::abs(total - light) < light * 0.02);
            QVERIFY(qAlpha(out.pixel(15, 20)) > 0);
            QVERIFY(qAlpha(out.pixel(16, 20)) < 255);
        }
        QCOMPARE(qAlpha(ImageBlur::blurred(block, 0.5).pixel(20, 20)), 255);
        QCOMPARE(ImageBlur::blurred(block, 0), block);
    }
};

ONDARI_WIDGET_TEST_MAIN(VisualEffectBlurTest)
#include "tst_visualeffectblur.moc"
