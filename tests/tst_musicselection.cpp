#include "AnimationClock.h"
#include "MusicSelectionView.h"
#include "OnboardingContentView.h"
#include "OnboardingStyle.h"
#include "OnboardingTestSupport.h"
#include "Panel.h"
#include "ScreenArea.h"

#include <QSignalSpy>
#include <QTest>

#include <cmath>

namespace {

void clickRow(ServiceDropdownList* list, int row) {
    QVERIFY(list);
    QTest::mouseClick(list, Qt::LeftButton, {}, list->rowRect(row).center().toPoint());
}

void hover(QWidget* widget, QPoint at) {
    QEnterEvent enter(QPointF(at), QPointF(widget->mapTo(widget->window(), at)),
                      QPointF(widget->mapToGlobal(at)));
    QApplication::sendEvent(widget, &enter);
    QTest::mouseMove(widget, at);
}

void store(SettingsManager& settings, SourceServiceOption source, TargetServiceOption target,
           bool bidirectional) {
    settings.setSourceService(source);
    settings.setTargetService(target);
    settings.setIsBidirectional(bidirectional);
}

int sourceIndex(SourceServiceOption option) {
    const auto& all = SettingOptions::allCases<SourceServiceOption>();
    return int(std::find(all.begin(), all.end(), option) - all.begin());
}

int targetIndex(TargetServiceOption option) {
    const auto& all = SettingOptions::allCases<TargetServiceOption>();
    return int(std::find(all.begin(), all.end(), option) - all.begin());
}

} // namespace

class MusicSelectionTest : public QObject {
    Q_OBJECT

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void opensWithTheStoredServices() {
        OnboardingRig rig(QStringLiteral("stored"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        MusicSelectionView page(*rig.controller);
        QCOMPARE(page.selectedSource(), SourceServiceOption::spotify);
        QCOMPARE(page.selectedTarget(), TargetServiceOption::appleMusic);
        QVERIFY(page.isBidirectional());
        QVERIFY(!page.isSameService());
        // The warning line keeps its place with a blank.
        QCOMPARE(page.warningText(), QStringLiteral(" "));
        QCOMPARE(page.warningOpacity(), 0.0);
        QVERIFY(page.saveButton()->isEnabled());
        QVERIFY(page.canBeBidirectional());
        QCOMPARE(page.bidirectionalRowPresence(), 1.0);
        QVERIFY(page.showsTwoWayArrow());
        QCOMPARE(page.twoWayArrowProgress(), 1.0);
        QVERIFY(page.bidirectionalSwitch()->isChecked());

        // Another stored pair gives another page; a later change of the store leaves it alone.
        store(*rig.settings, SourceServiceOption::anyService, TargetServiceOption::universalLink, false);
        MusicSelectionView other(*rig.controller);
        QCOMPARE(other.selectedSource(), SourceServiceOption::anyService);
        QCOMPARE(other.selectedTarget(), TargetServiceOption::universalLink);
        QVERIFY(!other.isBidirectional());
        QCOMPARE(other.bidirectionalRowPresence(), 0.0);
        QCOMPARE(page.selectedSource(), SourceServiceOption::spotify);
        QCOMPARE(page.selectedTarget(), TargetServiceOption::appleMusic);
    }

    void sameServiceWarnsAndBlocksSave() {
        OnboardingRig rig(QStringLiteral("same"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        MusicSelectionView page(*rig.controller);
        page.show();
        page.chooseTarget(TargetServiceOption::spotify);
        QVERIFY(page.isSameService());
        QCOMPARE(page.warningText(), QStringLiteral("You can't convert between the same music service."));
        QCOMPARE(page.warningOpacity(), 1.0);
        QVERIFY(!page.saveButton()->isEnabled());
        // The pair could still go both ways, so the row stays.
        QVERIFY(page.canBeBidirectional());
        QCOMPARE(page.bidirectionalRowPresence(), 1.0);

        // A grey Save neither grows nor brightens, and cannot be pressed.
        hover(page.saveButton(), page.saveButton()->contentRect().center().toPoint());
        QVERIFY(page.saveButton()->isHovered());
        QTest::qWait(200);
        QCOMPARE(page.saveButton()->currentScale(), 1.0);
        QCOMPARE(page.saveButton()->currentBrightness(), 0.0);
        clickButton(page.saveButton());
        QVERIFY(rig.completions.empty());
        QCOMPARE(rig.settings->targetService(), TargetServiceOption::appleMusic);

        // Another service makes it pressable at once, and the hover shows again.
        page.chooseTarget(TargetServiceOption::tidal);
        QVERIFY(page.saveButton()->isEnabled());
        QTRY_COMPARE(page.saveButton()->currentScale(), 1.03);
        QCOMPARE(page.saveButton()->currentBrightness(), 0.1);

        // Neither a service-neutral source nor target counts as the same service.
        page.chooseSource(SourceServiceOption::anyService);
        page.chooseTarget(TargetServiceOption::askEachTime);
        QVERIFY(!page.isSameService());
        page.chooseSource(SourceServiceOption::tidal);
        page.chooseTarget(TargetServiceOption::universalLink);
        QVERIFY(!page.isSameService());
    }

    // Tab goes as the page reads; a picker opens with Enter, its list takes the arrow keys,
    // Enter chooses and Escape closes it without a choice.
    void pickersWorkFromTheKeyboard() {
        OnboardingRig rig(QStringLiteral("keyboard"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        MusicSelectionView page(*rig.controller);
        page.show();
        QCOMPARE(page.sourcePicker()->nextInFocusChain(), page.targetPicker());
        QCOMPARE(page.targetPicker()->nextInFocusChain(), page.bidirectionalSwitch());
        QCOMPARE(page.bidirectionalSwitch()->nextInFocusChain(), page.saveButton());

        QTest::keyClick(page.targetPicker(), Qt::Key_Return);
        QVERIFY(page.targetList());
        ServiceDropdownList* list = page.targetList();
        // The first arrow marks the chosen row, the next ones move from it and stop at the end.
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->hoveredRow(), std::optional(targetIndex(TargetServiceOption::appleMusic)));
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(page.hoveredTargetOption(), std::optional(TargetServiceOption::youtubeMusic));
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(list, Qt::Key_Down);
        }
        QCOMPARE(list->hoveredRow(), std::optional(list->rowCount() - 1));
        QTest::keyClick(list, Qt::Key_Up);
        QTest::keyClick(list, Qt::Key_Enter);
        QCOMPARE(page.selectedTarget(), TargetServiceOption::askEachTime);
        QTRY_VERIFY(!page.targetList());

        QTest::keyClick(page.sourcePicker(), Qt::Key_Down);
        QVERIFY(page.sourceList());
        QTest::keyClick(page.sourceList(), Qt::Key_Up);
        QTest::keyClick(page.sourceList(), Qt::Key_Escape);
        QTRY_VERIFY(!page.sourceList());
        QVERIFY(!page.isSourceDropdownOpen());
        QCOMPARE(page.selectedSource(), SourceServiceOption::spotify);
    }

    void pickersListEveryOptionAndChoose() {
        OnboardingRig rig(QStringLiteral("pickers"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        MusicSelectionView page(*rig.controller);
        page.show();

        clickButton(page.sourcePicker());
        QVERIFY(page.isSourceDropdownOpen());
        ServiceDropdownList* sources = page.sourceList();
        QVERIFY(sources && sources->isVisible());
        QCOMPARE(sources->rowCount(), 7);
        QCOMPARE(sources->width(), 280);
        // The list opens under its picker.
        const QRect picker(page.sourcePicker()->mapToGlobal(QPoint(0, 0)), page.sourcePicker()->size());
        QVERIFY(sources->geometry().top() >= picker.bottom() - 8);

        // Hovering a row marks it for the page.
        QTest::mouseMove(sources, sources->rowRect(2).center().toPoint());
        QCOMPARE(page.hoveredSourceOption(), std::optional(SourceServiceOption::youtubeMusic));

        clickRow(sources, sourceIndex(SourceServiceOption::tidal));
        QCOMPARE(page.selectedSource(), SourceServiceOption::tidal);
        QVERIFY(!page.isSourceDropdownOpen());
        QTRY_VERIFY(!page.sourceList());
        QVERIFY(!page.hoveredSourceOption());
        QVERIFY(page.isBidirectional());

        clickButton(page.targetPicker());
        QCOMPARE(page.targetList()->rowCount(), 8);
        // The same service is offered on both sides.
        clickRow(page.targetList(), targetIndex(TargetServiceOption::tidal));
        QVERIFY(page.isSameService());

        // "Ask Each Time" never touches the bidirectional choice.
        clickButton(page.targetPicker());
        clickRow(page.targetList(), targetIndex(TargetServiceOption::askEachTime));
        QCOMPARE(page.selectedTarget(), TargetServiceOption::askEachTime);
        QVERIFY(page.isBidirectional());

        // Any Service turns it off, also when chosen again.
        clickButton(page.sourcePicker());
        clickRow(page.sourceList(), sourceIndex(SourceServiceOption::anyService));
        QVERIFY(!page.isBidirectional());
        page.bidirectionalSwitch()->setChecked(true);
        QVERIFY(page.isBidirectional());
        clickButton(page.sourcePicker());
        clickRow(page.sourceList(), sourceIndex(SourceServiceOption::anyService));
        QCOMPARE(page.selectedSource(), SourceServiceOption::anyService);
        QVERIFY(!page.isBidirectional());
        QVERIFY(!page.isSourceDropdownOpen());

        // The picker toggles its list; a click elsewhere closes it too.
        clickButton(page.targetPicker());
        QVERIFY(page.isTargetDropdownOpen());
        clickButton(page.targetPicker());
        QVERIFY(!page.isTargetDropdownOpen());
        clickButton(page.targetPicker());
        QVERIFY(page.targetList());
        page.targetList()->close();
        QVERIFY(!page.isTargetDropdownOpen());
        QCOMPARE(page.selectedTarget(), TargetServiceOption::askEachTime);

        // Nothing reached the store.
        QCOMPARE(rig.settings->sourceService(), SourceServiceOption::spotify);
        QCOMPARE(rig.settings->targetService(), TargetServiceOption::appleMusic);
        QVERIFY(rig.settings->isBidirectional());
    }

    // The pickers share their height; a change of choice springs it between 56 and 72 and
    // crosses the label over on the same spring (response 0.3, damping 0.8).
    void pickersShareTheirHeightAndSpring() {
        OnboardingRig rig(QStringLiteral("heights"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        AnimationClock clock;
        MusicSelectionView page(*rig.controller);
        QCOMPARE(page.sourcePicker()->contentRect().height(), 56.0);
        QCOMPARE(page.targetPicker()->contentRect().height(), 56.0);
        QCOMPARE(page.pickerChangeProgress(true), 1.0);
        QVERIFY(!page.hasSubtitledSelection());

        clock.mark();
        page.chooseSource(SourceServiceOption::anyService);
        QVERIFY(page.hasSubtitledSelection());
        QCOMPARE(page.sourcePicker()->contentRect().height(), 56.0);
        QCOMPARE(page.pickerChangeProgress(true), 0.0);
        QCOMPARE(page.pickerChangeProgress(false), 1.0);
        // x(t) = e^(-z w t) (x0 cos(wd t) + (z w x0 / wd) sin(wd t)), w = 2 pi / 0.3, z = 0.8.
        const auto spring = [](double x0, double t) {
            const double w = 2 * M_PI / 0.3;
            const double z = 0.8;
            const double wd = w * std::sqrt(1 - z * z);
            return std::exp(-z * w * t) * (x0 * std::cos(wd * t) + z * w * x0 / wd * std::sin(wd * t));
        };
        clock.advanceTo(100);
        QVERIFY(qAbs(page.pickerHeight() - (72 + spring(-16, 0.1))) < 0.2);
        QVERIFY(qAbs(page.pickerChangeProgress(true) - (1 + spring(-1, 0.1))) < 0.02);
        QCOMPARE(page.sourcePicker()->contentRect().height(), page.targetPicker()->contentRect().height());
        QVERIFY(page.sourcePicker()->contentRect().height() > 60 &&
                page.sourcePicker()->contentRect().height() < 72);
        clock.advanceTo(1000, 8);
        QCOMPARE(page.sourcePicker()->contentRect().height(), 72.0);
        QCOMPARE(page.targetPicker()->contentRect().height(), 72.0);
        QCOMPARE(page.pickerChangeProgress(true), 1.0);

        page.chooseSource(SourceServiceOption::soundcloud);
        page.chooseTarget(TargetServiceOption::universalLink);
        clock.advance(1000, 8);
        QCOMPARE(page.sourcePicker()->contentRect().height(), 72.0);
        clock.mark();
        page.chooseTarget(TargetServiceOption::yandexMusic);
        clock.advanceTo(100);
        QVERIFY(qAbs(page.pickerHeight() - (56 + spring(16, 0.1))) < 0.2);
        clock.advance(1000, 8);
        QCOMPARE(page.sourcePicker()->contentRect().height(), 56.0);

        // Choosing the option already chosen changes nothing on screen.
        page.chooseTarget(TargetServiceOption::yandexMusic);
        QCOMPARE(page.pickerChangeProgress(false), 1.0);
    }

    void bidirectionalOptionRules() {
        OnboardingRig rig(QStringLiteral("bidirectional"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        MusicSelectionView page(*rig.controller);
        page.show();

        // The switch flips the page's value only, and the arrow follows on its spring.
        clickButton(page.bidirectionalSwitch());
        QVERIFY(!page.isBidirectional());
        QVERIFY(!page.showsTwoWayArrow());
        QVERIFY(page.twoWayArrowProgress() > 0.5);
        QTRY_VERIFY(qAbs(page.twoWayArrowProgress()) < 0.02);
        QTRY_VERIFY(qAbs(page.bidirectionalSwitch()->knobOffset() + 9) < 0.5);
        QVERIFY(rig.settings->isBidirectional());
        clickButton(page.bidirectionalSwitch());
        QVERIFY(page.isBidirectional());
        QTRY_VERIFY(qAbs(page.bidirectionalSwitch()->knobOffset() - 9) < 0.5);

        // A concrete source with a service-neutral target: no row, yet the arrow points both ways.
        page.chooseTarget(TargetServiceOption::universalLink);
        QVERIFY(!page.canBeBidirectional());
        QVERIFY(page.bidirectionalRowPresence() > 0.5);
        QTRY_VERIFY(qAbs(page.bidirectionalRowPresence()) < 0.02);
        QVERIFY(page.showsTwoWayArrow());
        QVERIFY(!page.bidirectionalSwitch()->isEnabled());
        // It comes back with the switch as it was.
        page.chooseTarget(TargetServiceOption::tidal);
        QTRY_VERIFY(qAbs(page.bidirectionalRowPresence() - 1) < 0.02);
        QVERIFY(page.bidirectionalSwitch()->isChecked());

        // Any Service: one-way arrow even with the switch on.
        page.chooseSource(SourceServiceOption::anyService);
        page.bidirectionalSwitch()->setChecked(true);
        QVERIFY(page.isBidirectional());
        QVERIFY(!page.showsTwoWayArrow());
        QTRY_VERIFY(qAbs(page.bidirectionalRowPresence()) < 0.02);
    }

    void saveWritesTheThreeChoicesInOrder() {
        OnboardingRig rig(QStringLiteral("save"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        rig.controller->showMusicSelection();
        QTRY_VERIFY(rig.controller->contentView() && rig.controller->contentView()->musicSelectionView());
        MusicSelectionView* page = rig.controller->contentView()->musicSelectionView();
        page->chooseSource(SourceServiceOption::appleMusic);
        page->chooseTarget(TargetServiceOption::askEachTime);
        page->bidirectionalSwitch()->setChecked(false);

        QStringList writes;
        connect(rig.settings.get(), &SettingsManager::sourceServiceChanged, page,
                [&writes] { writes << QStringLiteral("sourceService"); });
        connect(rig.settings.get(), &SettingsManager::targetServiceChanged, page,
                [&writes] { writes << QStringLiteral("targetService"); });
        connect(rig.settings.get(), &SettingsManager::isBidirectionalChanged, page, [&writes, &rig](bool) {
            writes << QStringLiteral("isBidirectional");
            // Written before the flow ends.
            QVERIFY(rig.completions.empty());
        });
        TestEnvironment::clearDebugLog();
        clickButton(page->saveButton());
        QCOMPARE(writes, (QStringList{QStringLiteral("sourceService"), QStringLiteral("targetService"),
                                      QStringLiteral("isBidirectional")}));
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QCOMPARE(TestEnvironment::debugLogMessages().mid(0, 2),
                 (QStringList{QStringLiteral("Onboarding: Music selection completed"),
                              QStringLiteral("Onboarding: Dismissing window")}));

        // The stored keys hold the page's values (the switch's value although its row was hidden).
        UserDefaults reread(rig.defaults->fileName());
        QCOMPARE(reread.stringValue(QStringLiteral("sourceService")),
                 std::optional(QStringLiteral("appleMusic")));
        QCOMPARE(reread.stringValue(QStringLiteral("targetService")),
                 std::optional(QStringLiteral("askEachTime")));
        QVERIFY(reread.hasValue(QStringLiteral("isBidirectional")));
        QVERIFY(!reread.boolValue(QStringLiteral("isBidirectional")));
        QTRY_VERIFY(!rig.controller->panel());
    }

    void closingStoresNothing() {
        OnboardingRig rig(QStringLiteral("close"));
        store(*rig.settings, SourceServiceOption::spotify, TargetServiceOption::appleMusic, true);
        rig.controller->showMusicSelection();
        MusicSelectionView* page = rig.controller->contentView()->musicSelectionView();
        page->chooseSource(SourceServiceOption::yandexMusic);
        clickButton(page->bidirectionalSwitch());
        clickButton(page->closeButton());
        QVERIFY(rig.completions.empty());
        QTRY_VERIFY(!rig.controller->panel());
        QCOMPARE(rig.settings->sourceService(), SourceServiceOption::spotify);
        QVERIFY(rig.settings->isBidirectional());

        // Opened again, the page starts from the store.
        rig.controller->showMusicSelection();
        page = rig.controller->contentView()->musicSelectionView();
        QCOMPARE(page->selectedSource(), SourceServiceOption::spotify);
        QVERIFY(page->isBidirectional());
        rig.controller->minimizeToMenuBar();
    }

    void hoverFeedbackOfTheButtons() {
        OnboardingRig rig(QStringLiteral("hover"));
        MusicSelectionView page(*rig.controller);
        page.show();
        hover(page.closeButton(), page.closeButton()->contentRect().center().toPoint());
        QTRY_COMPARE(page.closeButton()->currentScale(), 1.1);
        hover(page.sourcePicker(), page.sourcePicker()->contentRect().center().toPoint());
        QTRY_COMPARE(page.sourcePicker()->currentScale(), 1.02);
        QCOMPARE(page.sourcePicker()->currentBrightness(), 0.05);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(page.sourcePicker(), &leave);
        QTRY_COMPARE(page.sourcePicker()->currentScale(), 1.0);
        // The close button sits 12 in from the top-left corner.
        QCOMPARE(page.closeButton()->mapToParent(page.closeButton()->contentRect().topLeft().toPoint()),
                 QPoint(12, 12));
    }

    // A panel that reserves no room stays inside the available area: the lists keep clear of it.
    void listsKeepClearOfPanelsAlongTheEdges() {
        const QRect screen(0, 0, 1366, 768);
        const QRect bottomPanel(0, 740, 1366, 28);
        QCOMPARE(ScreenArea::lessEdgePanels(screen, {bottomPanel}), QRect(0, 0, 1366, 740));
        QCOMPARE(ScreenArea::lessEdgePanels(screen, {QRect(1300, 0, 66, 768), QRect(0, 0, 800, 24)}),
                 QRect(0, 24, 1300, 744));
        // A window is no panel, nor is a panel on another screen.
        QCOMPARE(ScreenArea::lessEdgePanels(screen, {QRect(300, 100, 700, 668), QRect(1366, 740, 1366, 28)}),
                 screen);
    }
};

ONDARI_WIDGET_TEST_MAIN(MusicSelectionTest)
#include "tst_musicselection.moc"
