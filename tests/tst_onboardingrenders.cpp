#include "AnimationClock.h"
#include "KestroResources.h"
#include "MenuBarTooltipView.h"
#include "MusicSelectionView.h"
#include "OnboardingContentView.h"
#include "OnboardingStyle.h"
#include "OnboardingTestSupport.h"

#include <QLinearGradient>
#include <QPainter>
#include <QTest>

// Pictures of every page for a person to look at, in onboarding-renders/ next to this
// executable. Each is drawn over a desktop-like backdrop, since the cards are translucent.
class OnboardingRendersTest : public QObject {
    Q_OBJECT

    QString m_dir;

    static OnboardingWindowController::Timing holdingTiming() {
        // Steps that hold still long enough to be pictured.
        auto timing = OnboardingRig::shortTiming();
        timing.grantDelay = std::chrono::milliseconds(60000);
        timing.skipDelay = std::chrono::milliseconds(60000);
        return timing;
    }

    static QString schemeName(ColorScheme::Scheme scheme) {
        return scheme == ColorScheme::Scheme::dark ? QStringLiteral("dark") : QStringLiteral("light");
    }

    QImage save(QWidget& widget, const QString& name, ColorScheme::Scheme scheme,
                QSize margin = QSize(40, 40)) {
        const QImage content = widget.grab().toImage();
        QImage image(content.size() + margin * 2, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        QLinearGradient backdrop(0, 0, image.width(), image.height());
        const bool dark = scheme == ColorScheme::Scheme::dark;
        backdrop.setColorAt(0, dark ? QColor(40, 52, 70) : QColor(170, 196, 226));
        backdrop.setColorAt(1, dark ? QColor(70, 40, 62) : QColor(226, 196, 170));
        painter.fillRect(image.rect(), backdrop);
        painter.drawImage(QPoint(margin.width(), margin.height()), content);
        painter.end();
        const QString path = m_dir + QLatin1Char('/') + name + QLatin1Char('-') + schemeName(scheme) + ".png";
        if (!image.save(path)) {
            qWarning("could not write %s", qPrintable(path));
        }
        return content;
    }

    // A fresh content view shows the controller's current step without any animation.
    QImage renderContent(OnboardingRig& rig, const QString& name) {
        OnboardingContentView view(*rig.controller);
        view.show();
        return save(view, name, rig.colorScheme->current());
    }

private slots:
    void initTestCase() {
        m_dir = QCoreApplication::applicationDirPath() + QStringLiteral("/onboarding-renders");
        QDir().mkpath(m_dir);
        QApplication::setWindowIcon(KestroResources::appIcon());
    }

    void permissionPages_data() {
        QTest::addColumn<ColorScheme::Scheme>("scheme");
        QTest::newRow("light") << ColorScheme::Scheme::light;
        QTest::newRow("dark") << ColorScheme::Scheme::dark;
    }

    void permissionPages() {
        QFETCH(ColorScheme::Scheme, scheme);
        OnboardingRig rig(QStringLiteral("render-permission"), holdingTiming());
        rig.colorScheme->setOverride(scheme);
        auto& c = *rig.controller;
        c.show(true);
        const QImage welcome = renderContent(rig, QStringLiteral("permission-welcome"));
        QCOMPARE(welcome.size(), QSize(660, 480));
        // The card's corners are rounded: the very corner stays clear.
        QCOMPARE(qAlpha(welcome.pixel(0, 0)), 0);
        QVERIFY(qAlpha(welcome.pixel(330, 240)) > 150);

        c.requestAccessibility();
        renderContent(rig, QStringLiteral("permission-waiting"));
        rig.accessibility->forceTrusted(true);
        QTRY_COMPARE(c.state(), OnboardingState::granted);
        renderContent(rig, QStringLiteral("permission-granted"));
        rig.accessibility->forceTrusted(false);

        c.minimizeToMenuBar();
        c.show(false);
        renderContent(rig, QStringLiteral("permission-enable-hotkey"));
        c.skip();
        c.show(true);
        c.skip();
        renderContent(rig, QStringLiteral("permission-skipped"));
        c.minimizeToMenuBar();

        // Where no permission can help, the subtitle says why and the skip leads on.
        rig.accessibility->forceSessionCanObserveKeys(false);
        c.show(true);
        renderContent(rig, QStringLiteral("permission-no-shortcut"));
        c.minimizeToMenuBar();
    }

    void musicPages_data() { permissionPages_data(); }

    void musicPages() {
        QFETCH(ColorScheme::Scheme, scheme);
        OnboardingRig rig(QStringLiteral("render-music"), holdingTiming());
        rig.colorScheme->setOverride(scheme);
        rig.settings->setSourceService(SourceServiceOption::spotify);
        rig.settings->setTargetService(TargetServiceOption::appleMusic);
        rig.settings->setIsBidirectional(true);
        {
            MusicSelectionView page(*rig.controller);
            page.show();
            save(page, QStringLiteral("music-default"), scheme);

            page.chooseTarget(TargetServiceOption::spotify);
            QTRY_VERIFY(qAbs(page.bidirectionalRowPresence() - 1) < 0.01);
            save(page, QStringLiteral("music-same-service"), scheme);

            // The lists are pictured alone.
            page.toggleSourceDropdown();
            QVERIFY(page.sourceList());
            save(*page.sourceList(), QStringLiteral("music-source-list"), scheme, QSize(16, 16));
            page.toggleSourceDropdown();
            page.toggleTargetDropdown();
            QVERIFY(page.targetList());
            save(*page.targetList(), QStringLiteral("music-target-list"), scheme, QSize(16, 16));
            page.toggleTargetDropdown();
        }
        rig.settings->setSourceService(SourceServiceOption::anyService);
        rig.settings->setTargetService(TargetServiceOption::askEachTime);
        rig.settings->setIsBidirectional(false);
        {
            MusicSelectionView page(*rig.controller);
            page.show();
            save(page, QStringLiteral("music-any-service"), scheme);

            // A picker a tenth of a second into a change: labels crossing, heights on the way.
            AnimationClock clock;
            page.chooseTarget(TargetServiceOption::tidal);
            page.chooseSource(SourceServiceOption::youtubeMusic);
            clock.advance(100);
            QVERIFY(page.pickerChangeProgress(true) > 0.3 && page.pickerChangeProgress(true) < 0.9);
            QVERIFY(page.pickerHeight() > 56 && page.pickerHeight() < 72);
            save(page, QStringLiteral("music-picker-mid-change"), scheme);
        }
    }

    void tooltips_data() { permissionPages_data(); }

    void tooltips() {
        QFETCH(ColorScheme::Scheme, scheme);
        ColorScheme colors;
        colors.setOverride(scheme);
        MenuBarTooltipView view([] {}, colors);
        view.show();
        save(view, QStringLiteral("tooltip-down"), scheme, QSize(20, 20));
        view.setArrow(250, false);
        save(view, QStringLiteral("tooltip-up-shifted"), scheme, QSize(20, 20));
    }
};

ONDARI_WIDGET_TEST_MAIN(OnboardingRendersTest)
#include "tst_onboardingrenders.moc"
