#include "AnimatedPlatformIcon.h"
#include "AnimationClock.h"
#include "Panel.h"
#include "SongPreviewView.h"
#include "ToastTestSupport.h"
#include "ToastView.h"
#include "ToastWindow.h"

#include <QScreen>

using namespace std::chrono_literals;

// A conversion in a real toast window on a real X server: the song row swaps its icon behind the
// burst, on the program's own clock.
class ToastAnimationsX11Test : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QSKIP("needs an X server (run under Xvfb with DISPLAY set)");
        }
    }

    void successSwapsTheIconOnScreen() {
        ToastRig rig(QStringLiteral("x11-swap"), true);
        rig.colorScheme->setOverride(ColorScheme::Scheme::dark);
        // The toast stays up for the whole swap, however slowly the machine runs it.
        rig.queue->setSuccessHoldForTesting(10min);
        ToastWindowController controller(*rig.queue, *rig.settings, *rig.accessibility, *rig.colorScheme,
                                         rig.network.get());
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        controller.setAvailableAreaProvider([area] { return std::optional<QRect>(area); });
        rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::tidal, false);
        QTRY_VERIFY(controller.contentView() && controller.contentView()->songRow());
        SongPreviewView* row = controller.contentView()->songRow();
        // Settled in place before the conversion.
        QTRY_VERIFY(!controller.panel()->isAnimating());

        // From here the swap moves only when the test moves Qt's animation clock, so each grab
        // lands at its moment of the swap whatever the load.
        AnimationClock clock;
        rig.queue->confirmConversion();
        QTRY_VERIFY(row->animatedIcon());
        clock.mark();
        AnimatedPlatformIcon* icon = row->animatedIcon();
        QVERIFY(icon->isVisible());
        QVERIFY(icon->starburst() && icon->starburst()->isVisible());

        const QRect frame(icon->mapToGlobal(icon->frameRect().topLeft()), icon->frameRect().size());
        auto grab = [&] {
            return QGuiApplication::primaryScreen()
                ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                .toImage();
        };
        // Centre and a point out in the burst, where the card alone would be even.
        auto centre = [](const QImage& image) { return qGray(image.pixel(32, 32)); };
        const QImage before = grab();

        clock.advanceTo(500);
        const QImage burst = grab();
        const QRect card = controller.panel()->frameRect();
        const QImage toast = QGuiApplication::primaryScreen()
                                 ->grabWindow(0, card.x(), card.y(), card.width(), card.height())
                                 .toImage();
        // The bright core of the burst over the dark card, with no icon on top.
        QVERIFY2(centre(burst) > 200, qPrintable(QString::number(centre(burst))));

        clock.advanceTo(2000);
        QVERIFY(!icon->showStarburst());
        clock.advanceTo(2300);
        const QImage after = grab();
        QVERIFY(after != before);
        QVERIFY(icon->showNewIcon());
        QCOMPARE(icon->shownPlatform(), QStringLiteral("tidal"));

        const QString dir =
            QCoreApplication::applicationDirPath() + QStringLiteral("/toast-animation-frames");
        QDir().mkpath(dir);
        before.save(dir + QStringLiteral("/x11-before.png"));
        burst.save(dir + QStringLiteral("/x11-burst.png"));
        after.save(dir + QStringLiteral("/x11-after.png"));
        toast.save(dir + QStringLiteral("/x11-toast-burst.png"));
    }
};

ONDARI_TOAST_TEST_MAIN(ToastAnimationsX11Test)
#include "tst_toastanimations_x11.moc"
