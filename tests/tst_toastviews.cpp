#include "AskModeDropdownButton.h"
#include "ErrorStateView.h"
#include "FakeSongLinkServer.h"
#include "GradientButton.h"
#include "LoadingStateView.h"
#include "PlatformIcons.h"
#include "PopoverList.h"
#include "PromptStateView.h"
#include "SkeletonView.h"
#include "SongLinkError.h"
#include "SuccessStateView.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "SystemSymbol.h"
#include "ToastCloseButton.h"
#include "ToastColors.h"
#include "ToastTestSupport.h"
#include "ToastView.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QScopeGuard>
#include <QSignalSpy>

#include <stdexcept>

using namespace std::chrono_literals;

namespace {

QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(float(r), float(g), float(b));
}

bool sameColor(const QColor& a, const QColor& b) {
    return std::abs(a.redF() - b.redF()) < 0.002 && std::abs(a.greenF() - b.greenF()) < 0.002 &&
           std::abs(a.blueF() - b.blueF()) < 0.002 && std::abs(a.alphaF() - b.alphaF()) < 0.002;
}

QImage iconImage(const QString& key, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    PlatformIcon::paint(painter, QRectF(0, 0, size, size), key);
    return image;
}

void click(QWidget* widget, QPoint at) {
    QTest::mouseClick(widget, Qt::LeftButton, {}, at);
    QCoreApplication::processEvents();
}

void clickButton(GradientButton* button) {
    click(button, button->buttonRect().center().toPoint());
}

QByteArray png(QColor color) {
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class ToastViewsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ToastRig> rig;
    std::unique_ptr<ToastContentView> view;

    void build(bool preview = true) {
        // The old view reads the old rig's queue until it is gone.
        view.reset();
        rig = std::make_unique<ToastRig>(QStringLiteral("views"), preview);
        view = std::make_unique<ToastContentView>(rig->environment());
        view->show();
    }

    template <typename T> T* body() const { return qobject_cast<T*>(view->stateView()); }

private slots:
    void cleanup() {
        view.reset();
        rig.reset();
        QCoreApplication::processEvents();
    }

    void serviceIconsByKey() {
        const QList<QPair<QString, QString>> table{
            {"spotify", "SpotifyIcon"},
            {"appleMusic", "AppleMusicIcon"},
            {"youtubeMusic", "YouTubeMusicIcon"},
            {"yandexMusic", "YandexMusicIcon"},
            {"tidal", "TidalIcon"},
            {"soundcloud", "SoundCloudIcon"},
            {"universalLink", ""},
            // Anything but an exact raw value falls back to Apple Music.
            {"Spotify", "AppleMusicIcon"},
            {"SoundCloud", "AppleMusicIcon"},
            {"", "AppleMusicIcon"},
            {"yandex", "AppleMusicIcon"},
            {"Yandex Music", "AppleMusicIcon"}};
        for (const auto& [key, name] : table) {
            QCOMPARE(PlatformIcon::resourceName(key), name);
        }

        // Every drawing is there, fills its square, and is cut to the rounded shape.
        QSet<QByteArray> seen;
        for (Platform platform : Platforms::allCases()) {
            const QImage image = iconImage(Platforms::rawValue(platform), 64);
            QVERIFY2(qAlpha(image.pixel(32, 32)) == 255, qPrintable(Platforms::rawValue(platform)));
            QVERIFY(qAlpha(image.pixel(6, 32)) == 255);
            QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(image.pixel(63, 63)), 0);
            seen.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()));
        }
        QCOMPARE(seen.size(), 6);
    }

    void universalIconAndPlaceholder() {
        // The song-page icon is drawn: teal from top to bottom, corners cut at 0.22 of the size.
        const QImage universal = iconImage(QStringLiteral("universalLink"), 100);
        QVERIFY(sameColor(universal.pixelColor(50, 0), rgb(0.125, 0.776, 0.761)) ||
                universal.pixelColor(50, 0).greenF() > 0.7f);
        QVERIFY(universal.pixelColor(50, 99).greenF() < 0.6f);
        QCOMPARE(qAlpha(universal.pixel(3, 3)), 0);
        QCOMPARE(qAlpha(universal.pixel(7, 7)), 255);

        // A missing drawing shows the grey placeholder in the same shape.
        QImage missing(100, 100, QImage::Format_ARGB32_Premultiplied);
        missing.fill(Qt::transparent);
        {
            QPainter painter(&missing);
            PlatformIcon::paintBundledSVG(painter, QRectF(0, 0, 100, 100), QStringLiteral("NoSuchIcon"));
        }
        QCOMPARE(qAlpha(missing.pixel(3, 3)), 0);
        const QColor fill = missing.pixelColor(10, 50);
        QVERIFY(sameColor(fill, SystemColors::withOpacity(SystemColors::systemGray(), 0.3)) ||
                std::abs(fill.alphaF() - 0.3f) < 0.01f);
        // The note keeps the symbol's own size in the middle.
        int solid = 0;
        for (int y = 40; y < 60; ++y) {
            for (int x = 40; x < 60; ++x) {
                solid += missing.pixelColor(x, y).alphaF() > 0.9f ? 1 : 0;
            }
        }
        QVERIFY(solid > 20);
        QCOMPARE(missing.pixelColor(30, 50).alphaF(), fill.alphaF());
    }

    void cardSizesFollowThePreview() {
        build(true);
        QCOMPARE(view->size(), QSize(436, 167));
        QCOMPARE(view->cardRect(), QRect(16, 16, 420, 151));
        QVERIFY(view->songRow());
        QCOMPARE(view->songRow()->rowRect().translated(view->songRow()->pos()), QRect(32, 32, 388, 50));
        auto* row = qobject_cast<ToastRowView*>(view->stateView());
        QCOMPARE(row->rowRect().translated(row->pos()), QRect(32, 115, 388, 36));

        build(false);
        QCOMPARE(view->size(), QSize(486, 88));
        QCOMPARE(view->cardRect(), QRect(16, 16, 470, 72));
        QVERIFY(!view->songRow());
        row = qobject_cast<ToastRowView*>(view->stateView());
        QCOMPARE(row->rowRect().translated(row->pos()), QRect(32, 32, 438, 36));
    }

    // A preview change while a toast shows would resize the card inside a panel built for the
    // other size, cutting its button or rows off; the card keeps its size until the next toast.
    void cardKeepsItsSizeWhileShown() {
        for (const bool preview : {true, false}) {
            build(preview);
            rig->accessibility->forceTrusted(true);
            rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::youtubeMusic, false);
            const QRect card = view->cardRect();
            QSignalSpy shape(view.get(), &ToastContentView::shapeChanged);
            rig->settings->setShowURLPreview(!preview);
            // Also while the body changes.
            rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
            QCOMPARE(view->cardRect(), card);
            QCOMPARE(view->size(), ToastContentView::panelSize(preview));
            QCOMPARE(bool(view->songRow()), preview);
            auto* prompt = body<PromptStateView>();
            QCOMPARE(prompt->showsIcon(), !preview);
            // Row and button lie inside the card.
            const QRect row = prompt->rowRect().translated(prompt->pos());
            QVERIFY(card.adjusted(16, 16, -16, -16).contains(row));
            const QRectF button = prompt->convertButton()->buttonRect().translated(
                prompt->convertButton()->pos() + prompt->pos());
            QVERIFY(QRectF(card).contains(button));
            QCOMPARE(shape.count(), 0);

            // The next toast takes the new setting.
            rig->queue->dismiss();
            ToastContentView next(rig->environment());
            QCOMPARE(next.cardRect().size(), ToastContentView::cardSize(!preview));
            QCOMPARE(bool(next.songRow()), !preview);
        }
    }

    // Every prompt title reads in full beside its button, the shortcut hint showing, in both
    // card sizes. In a font too wide for that, the title gives way and the button keeps its size.
    void promptTitlesFitBesideTheButton() {
        QCOMPARE(SystemFont::family(), QString::fromLatin1(SystemFont::preferredFamily));
        struct Target {
            Platform source;
            std::optional<Platform> target; // none: the song page
        };
        QList<Target> targets;
        for (Platform platform : Platforms::allCases()) {
            targets.append({platform == Platform::spotify ? Platform::tidal : Platform::spotify, platform});
        }
        targets.append({Platform::soundcloud, std::nullopt});
        const auto lay = [&](const Target& t, bool preview) {
            build(preview);
            rig->accessibility->forceTrusted(true);
            if (t.target) {
                rig->queue->enqueue(ToastLinks::spotify, t.source, *t.target, false);
            } else {
                rig->queue->enqueueUniversalLink(ToastLinks::soundcloud, t.source, false);
            }
            auto* prompt = body<PromptStateView>();
            prompt->grab(); // laid out and painted as on screen
            return prompt;
        };
        for (const bool preview : {true, false}) {
            for (const Target& t : std::as_const(targets)) {
                PromptStateView* prompt = lay(t, preview);
                QVERIFY(prompt->showsShortcutHint());
                const QString what = prompt->title() + (preview ? " (preview)" : " (compact)");
                QVERIFY2(prompt->shownTitle() == prompt->title(),
                         qPrintable(what + ": " + prompt->shownTitle()));
            }
        }

        // The desktop's font here is wider: the longest titles are cut, never the button.
        SystemFont::setFamilyForTesting(QStringLiteral("DejaVu Sans"));
        const auto restore = qScopeGuard([] { SystemFont::setFamilyForTesting({}); });
        for (const bool preview : {true, false}) {
            PromptStateView* prompt = lay(targets[int(Platform::youtubeMusic)], preview);
            GradientButton* button = prompt->convertButton();
            const QRectF placed = button->buttonRect().translated(button->pos());
            QCOMPARE(qRound(placed.right()), prompt->rowRect().right() + 1);
            QCOMPARE(placed.size(), button->buttonSize());
            QVERIFY(prompt->shownTitle().endsWith(QChar(0x2026)));
            QVERIFY(prompt->titleWidth() > 150);
        }
    }

    // The chosen font draws semibold and medium in faces of their own; where a font lacks one,
    // the nearest weight it has stands in.
    void fontWeightsAreReal() {
        const QList<QPair<QFont::Weight, int>> used{{QFont::Light, 300},
                                                    {QFont::Normal, 400},
                                                    {QFont::Medium, 500},
                                                    {QFont::DemiBold, 600},
                                                    {QFont::Bold, 700}};
        qreal previous = 0;
        for (const auto& [weight, expected] : used) {
            const QFont font = SystemFont::font(14, weight);
            QCOMPARE(font.pixelSize(), 14);
            const QFontInfo info(font);
            QCOMPARE(info.family(), QString::fromLatin1(SystemFont::preferredFamily));
            QCOMPARE(info.weight(), expected);
            // Each heavier face is wider: not one face drawn under two names.
            const qreal width =
                QFontMetricsF(font).horizontalAdvance(QStringLiteral("Convert to a Universal Link?"));
            QVERIFY2(width > previous + 1, qPrintable(QString::number(expected)));
            previous = width;
        }

        QCOMPARE(SystemFont::nearestWeight({200, 400, 700}, QFont::DemiBold), 700);
        QCOMPARE(SystemFont::nearestWeight({200, 400, 700}, QFont::Medium), 400);
        // Of two equally near, the one nearer to regular.
        QCOMPARE(SystemFont::nearestWeight({200, 400, 700}, QFont::Light), 400);
        QCOMPARE(SystemFont::nearestWeight({400, 500, 700}, QFont::DemiBold), 500);
        QCOMPARE(SystemFont::nearestWeight({}, QFont::Medium), 500);

        // Noto Sans Thaana has Thaana's letters but no GSUB table to shape them with, which Qt
        // asks of every font for that script; Devanagari's has one.
        QVERIFY(!SystemFont::installedFontsHave(0x10FFFD));
        if (QFile::exists(QStringLiteral("/usr/share/fonts/truetype/noto/NotoSansThaana-Regular.ttf"))) {
            QVERIFY(!SystemFont::installedFontsHave(0x0780));
            QVERIFY(SystemFont::installedFontsHave(0x0915));
        }
    }

    void promptTitlesAndColours() {
        build(false);
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::spotify, false);
        auto* prompt = body<PromptStateView>();
        QVERIFY(prompt);
        QCOMPARE(prompt->title(), QStringLiteral("Convert URL to Spotify?"));
        QVERIFY(prompt->showsIcon());
        QVERIFY(sameColor(prompt->accentColor(), rgb(0.075, 0.665, 0.295)));
        const QList<QColor> spotify = prompt->convertButton()->gradient();
        QCOMPARE(spotify.size(), 3);
        QVERIFY(sameColor(spotify[0], rgb(0.12, 0.75, 0.38)));
        QVERIFY(sameColor(spotify[1], rgb(0.075, 0.665, 0.295)));
        QVERIFY(sameColor(spotify[2], rgb(0.05, 0.55, 0.24)));
        QCOMPARE(prompt->convertButton()->textColor(), QColor(Qt::white));
        QVERIFY(sameColor(prompt->convertButton()->shadowColor(),
                          QColor::fromRgbF(0.075f, 0.665f, 0.295f, 0.3f)));
        QVERIFY(!prompt->askModeMenu());

        rig->queue->dismiss();
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::yandexMusic, false);
        prompt = body<PromptStateView>();
        QCOMPARE(prompt->title(), QStringLiteral("Convert URL to Yandex Music?"));
        QVERIFY(sameColor(prompt->convertButton()->textColor(), rgb(0.2, 0.15, 0)));
        QVERIFY(sameColor(prompt->convertButton()->gradient()[0], rgb(1.0, 0.85, 0.2)));

        // Apple Music's colour is the scheme's pink.
        rig->queue->dismiss();
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        prompt = body<PromptStateView>();
        QVERIFY(sameColor(prompt->accentColor(), rgb(1.0, 0.176, 0.333)));
        rig->colorScheme->setOverride(ColorScheme::Scheme::dark);
        QVERIFY(sameColor(prompt->convertButton()->gradient()[1], rgb(1.0, 0.216, 0.373)));

        // The song page: teal, two stops, white, whatever the request's target.
        rig->queue->dismiss();
        rig->queue->enqueueUniversalLink(ToastLinks::soundcloud, Platform::soundcloud, false);
        prompt = body<PromptStateView>();
        QCOMPARE(prompt->title(), QStringLiteral("Convert to a Universal Link?"));
        QVERIFY(sameColor(prompt->accentColor(), rgb(0.125, 0.776, 0.761)));
        QCOMPARE(prompt->convertButton()->gradient().size(), 2);
        QVERIFY(sameColor(prompt->convertButton()->gradient()[1], rgb(0.031, 0.569, 0.557)));
        QCOMPARE(prompt->convertButton()->textColor(), QColor(Qt::white));
    }

    void askModeTitlesFollowAskMode() {
        build(true);
        rig->settings->setTargetService(TargetServiceOption::askEachTime);
        rig->queue->enqueueAskMode(ToastLinks::soundcloud, Platform::soundcloud);
        auto* prompt = body<PromptStateView>();
        QCOMPARE(prompt->title(), QStringLiteral("Convert SoundCloud link"));
        QVERIFY(prompt->askModeMenu());
        QVERIFY(!prompt->convertButton());
        QVERIFY(!prompt->showsIcon());
        // Coloured after the target the queue stored, though nobody chose it yet.
        QVERIFY(sameColor(prompt->accentColor(), rgb(0.075, 0.665, 0.295)));

        // Ask mode and the song page together: ask mode's title and menu, the page's teal.
        rig->queue->dismiss();
        rig->queue->enqueueUniversalLink(ToastLinks::spotify, Platform::spotify, false);
        QVERIFY(rig->queue->isAskMode() && rig->queue->isUniversalLinkMode());
        prompt = body<PromptStateView>();
        QCOMPARE(prompt->title(), QStringLiteral("Convert Spotify link"));
        QVERIFY(prompt->askModeMenu());
        QVERIFY(sameColor(prompt->accentColor(), rgb(0.125, 0.776, 0.761)));
    }

    void queueLineCountsWaitingRequests() {
        build(false);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        auto* prompt = body<PromptStateView>();
        QCOMPARE(prompt->queueLine(), QString());
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        QCOMPARE(prompt->queueLine(), QStringLiteral("+1 more in queue"));
        for (int i = 0; i < 11; ++i) {
            rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        }
        QCOMPARE(prompt->queueLine(), QStringLiteral("+12 more in queue"));
    }

    void convertButtonConfirms() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::tidal, false);
        auto* prompt = body<PromptStateView>();
        QVERIFY(rig->queue->isDismissTimerRunning());
        clickButton(prompt->convertButton());
        QCOMPARE(rig->queue->toastState(), ToastState::loading());
        QVERIFY(body<LoadingStateView>());
        QCOMPARE(body<LoadingStateView>()->text(), QStringLiteral("Converting..."));
        QVERIFY(!rig->queue->isDismissTimerRunning());
        QTRY_COMPARE(rig->api->conversions, 1);
        QCOMPARE(rig->api->lastTarget, Platform::tidal);
        QTRY_VERIFY(body<SuccessStateView>());
        QCOMPARE(body<SuccessStateView>()->text(), QStringLiteral("Copied to clipboard!"));
    }

    void shortcutHintOnlyWhileTrusted() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        auto* prompt = body<PromptStateView>();
        QVERIFY(!prompt->showsShortcutHint());
        QCOMPARE(prompt->convertButton()->parts().size(), 1);
        QCOMPARE(prompt->convertButton()->parts()[0].text, QStringLiteral("Convert"));
        const qreal narrow = prompt->convertButton()->buttonSize().width();

        // Trust alone does not redraw the row; the next change of the queue does.
        rig->accessibility->forceTrusted(true);
        QVERIFY(!prompt->showsShortcutHint());
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        QVERIFY(prompt->showsShortcutHint());
        const auto parts = prompt->convertButton()->parts();
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[1].text, QStringLiteral("Ctrl+⏎"));
        QCOMPARE(parts[1].opacity, 0.7);
        QCOMPARE(parts[1].font.pixelSize(), 14);
        QVERIFY(prompt->convertButton()->buttonSize().width() > narrow);
        // The button keeps its ideal size at the row's trailing edge.
        const QRectF button =
            prompt->convertButton()->buttonRect().translated(prompt->convertButton()->pos());
        QCOMPARE(qRound(button.right()), prompt->rowRect().right() + 1);

        rig->accessibility->forceTrusted(false);
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        QVERIFY(!prompt->showsShortcutHint());
    }

    void askModeMenuChoosesTarget() {
        QCOMPARE(PromptStateView::targetOptions(Platform::spotify),
                 (QList<Platform>{Platform::appleMusic, Platform::youtubeMusic, Platform::yandexMusic,
                                  Platform::tidal, Platform::soundcloud}));
        QCOMPARE(PromptStateView::targetOptions(Platform::soundcloud),
                 (QList<Platform>{Platform::spotify, Platform::appleMusic, Platform::youtubeMusic,
                                  Platform::yandexMusic, Platform::tidal}));

        build(true);
        rig->settings->setTargetService(TargetServiceOption::askEachTime);
        rig->queue->enqueueAskMode(ToastLinks::spotify, Platform::spotify);
        AskModeDropdownButton* menu = body<PromptStateView>()->askModeMenu();
        QCOMPARE(menu->targetOptions().size(), 5);
        QCOMPARE(menu->parts()[0].text, QStringLiteral("Convert to"));
        QCOMPARE(menu->parts()[1].symbol, QStringLiteral("chevron.down"));
        // The chevron spans its 10 pixels, in a stroke of its bold weight.
        const QImage chevron =
            SystemSymbol::image(QStringLiteral("chevron.down"), 10, Qt::white, QFont::Bold);
        int inkColumns = 0;
        for (int x = 0; x < chevron.width(); ++x) {
            int ink = 0;
            for (int y = 0; y < chevron.height(); ++y) {
                ink += qAlpha(chevron.pixel(x, y));
            }
            inkColumns += ink >= 255 ? 1 : 0;
            // A slanted stroke of 1.6 pixels covers about two pixels in each column.
            QVERIFY2(ink == 0 || x == 0 || x == chevron.width() - 1 || ink >= 1.5 * 255,
                     qPrintable(QString::number(x)));
        }
        QVERIFY(inkColumns >= 9);

        // Twice: open, then closed, without a choice.
        clickButton(menu);
        QVERIFY(menu->showDropdown());
        QVERIFY(menu->dropdown() && menu->dropdown()->isVisible());
        QCOMPARE(menu->dropdown()->width(), 200);
        QCOMPARE(menu->dropdown()->rows().size(), 5);
        QCOMPARE(menu->dropdown()->rows()[0].title, QStringLiteral("Apple Music"));
        menu->setShowDropdown(false);
        QVERIFY(!menu->dropdown());
        clickButton(menu);
        clickButton(menu);
        QVERIFY(!menu->showDropdown());
        QCOMPARE(rig->api->conversions, 0);

        clickButton(menu);
        PopoverList* list = menu->dropdown();
        QVERIFY(list);
        // One row marked at a time, none once the pointer leaves.
        QTest::mouseMove(list, list->rowRect(1).center());
        QTRY_COMPARE(menu->hoveredOption(), std::optional<Platform>(Platform::youtubeMusic));
        QTest::mouseMove(list, list->rowRect(3).center());
        QTRY_COMPARE(menu->hoveredOption(), std::optional<Platform>(Platform::tidal));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(list, &leave);
        QCOMPARE(menu->hoveredOption(), std::nullopt);

        TestEnvironment::clearDebugLog();
        click(list, list->rowRect(3).center());
        QCOMPARE(rig->queue->toastState(), ToastState::loading());
        QVERIFY(!rig->queue->isAskMode());
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Queue: Confirming conversion to Tidal")));
        QTRY_COMPARE(rig->api->conversions, 1);
        QCOMPARE(rig->api->lastTarget, Platform::tidal);
        QVERIFY(body<LoadingStateView>() || body<SuccessStateView>());
    }

    // The stepped spinner changes its picture twelve times a second; it draws nothing between.
    void spinnerRepaintsPerStep() {
        build(false);
        rig->api->conversion.delay = std::chrono::seconds(10);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::tidal, true);
        auto* loading = body<LoadingStateView>();
        QVERIFY(loading);
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        QTest::qWait(50);
        loading->installEventFilter(&counter);
        const int firstStep = loading->spinnerStep();
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(500);
        const qint64 elapsed = clock.elapsed();
        loading->removeEventFilter(&counter);
        QVERIFY(loading->spinnerStep() != firstStep);
        QVERIFY(counter.paints >= 2);
        QVERIFY2(counter.paints <= elapsed * 12 / 1000 + 2, qPrintable(QString::number(counter.paints)));
    }

    void errorRowRetries() {
        build(true);
        rig->api->conversion.error = ScriptedSongLinkService::error(SongLinkError::songNotFound());
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        clickButton(body<PromptStateView>()->convertButton());
        QTRY_VERIFY(body<ErrorStateView>());
        auto* error = body<ErrorStateView>();
        QCOMPARE(error->message(), QStringLiteral("Song not found"));
        QCOMPARE(error->details(), std::optional<QString>(QStringLiteral("Check the link and try again")));
        QCOMPARE(error->retryButton()->parts()[0].text, QStringLiteral("Retry"));
        QVERIFY(sameColor(error->warningColor(), rgb(0.827, 0.329, 0.0)));
        QVERIFY(sameColor(error->retryButton()->gradient()[0], rgb(0.827, 0.329, 0.0)));
        rig->colorScheme->setOverride(ColorScheme::Scheme::dark);
        QVERIFY(sameColor(error->warningColor(), rgb(1.0, 0.624, 0.263)));
        QVERIFY(sameColor(error->retryButton()->gradient()[0], rgb(1.0, 0.624, 0.263)));
        QVERIFY(rig->queue->isDismissTimerRunning());

        // A hint-less error: one line. A new error keeps the row and takes the new texts.
        rig->api->conversion.error = ScriptedSongLinkService::error(SongLinkError::decodingError("x"));
        clickButton(error->retryButton());
        QVERIFY(body<LoadingStateView>());
        QVERIFY(!rig->queue->isDismissTimerRunning());
        QTRY_VERIFY(body<ErrorStateView>());
        QCOMPARE(body<ErrorStateView>()->message(), QStringLiteral("Invalid response"));
        QCOMPARE(body<ErrorStateView>()->details(), std::nullopt);
        QCOMPARE(rig->api->conversions, 2);

        // Retry with no request does nothing.
        rig->queue->dismiss();
        QVERIFY(!rig->queue->currentRequest());
        ErrorStateView orphan(*rig->queue, *rig->colorScheme, QStringLiteral("Old"), std::nullopt);
        orphan.setRowGeometry(QRect(0, 0, 388, 36));
        orphan.show();
        const ToastState before = rig->queue->toastState();
        clickButton(orphan.retryButton());
        QCOMPARE(rig->queue->toastState(), before);
        QCOMPARE(rig->api->conversions, 2);
    }

    void longTextsStayOnOneLine() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        ErrorStateView error(*rig->queue, *rig->colorScheme, QString(300, QLatin1Char('W')),
                             QString(300, 'x'));
        error.setRowGeometry(QRect(0, 0, 388, 36));
        error.show();
        const QRectF button = error.retryButton()->buttonRect().translated(error.retryButton()->pos());
        QCOMPARE(qRound(button.right()), error.rowRect().right() + 1);
        QCOMPARE(error.rowRect().height(), 36);
        // Nothing is painted under the button but the button itself.
        QImage image(error.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        error.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        const int gapX = int(button.left()) - 13;
        for (int y = error.rowRect().top(); y <= error.rowRect().bottom(); ++y) {
            QCOMPARE(qAlpha(image.pixel(gapX, y)), 0);
        }
    }

    void successRowAndServiceKeys() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::tidal, false);
        QCOMPARE(view->rowPlatform(), QStringLiteral("spotify"));
        QCOMPARE(view->songRow()->inputs().sourcePlatform, QStringLiteral("spotify"));
        rig->queue->confirmConversion();
        QCOMPARE(view->rowPlatform(), QStringLiteral("spotify"));
        QTRY_VERIFY(body<SuccessStateView>());
        QCOMPARE(view->rowPlatform(), QStringLiteral("tidal"));
        QCOMPARE(view->songRow()->inputs().platform, QStringLiteral("tidal"));
        QVERIFY(view->songRow()->inputs().isSuccess);
        QVERIFY(view->songRow()->shouldAnimateIcon());
        QVERIFY(sameColor(body<SuccessStateView>()->iconColor(), rgb(0.118, 0.557, 0.243)));
        rig->colorScheme->setOverride(ColorScheme::Scheme::dark);
        QVERIFY(sameColor(body<SuccessStateView>()->iconColor(), rgb(0.204, 0.816, 0.345)));

        QTRY_VERIFY(!rig->queue->isToastVisible());
        rig->queue->enqueueUniversalLink(ToastLinks::tidal, Platform::tidal, true);
        QTRY_VERIFY(body<SuccessStateView>());
        QCOMPARE(view->rowPlatform(), QStringLiteral("universalLink"));
    }

    void closeButtonShowsOnHover() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        rig->queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::appleMusic, false);
        ToastCloseButton* close = view->closeButton();
        QCOMPARE(close->geometry(), QRect(4, 4, 28, 28));
        QCOMPARE(view->closeButtonOpacity(), 0.0);

        // Faded out, it takes no clicks.
        click(close, QPoint(14, 14));
        QCOMPARE(rig->queue->currentRequest()->sourceURL, ToastLinks::spotify);

        // Whatever the pointer did so far, start from a toast it has left.
        QEvent left(QEvent::Leave);
        QCoreApplication::sendEvent(view.get(), &left);
        QTRY_COMPARE(view->closeButtonOpacity(), 0.0);

        QSignalSpy shape(view.get(), &ToastContentView::shapeChanged);
        QEnterEvent enter(QPointF(200, 80), QPointF(200, 80), QPointF(200, 80));
        QCoreApplication::sendEvent(view.get(), &enter);
        QVERIFY(view->isHovered());
        QCOMPARE(shape.count(), 1);
        QTest::qWait(40);
        QVERIFY(view->closeButtonOpacity() > 0 && view->closeButtonOpacity() < 1);
        QTRY_COMPARE(view->closeButtonOpacity(), 1.0);

        click(close, QPoint(14, 14));
        QCOMPARE(rig->queue->currentRequest()->sourceURL, ToastLinks::tidal);
        QCOMPARE(rig->memory->resets, 1);

        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view.get(), &leave);
        QVERIFY(!view->isHovered());
        QTRY_COMPARE(view->closeButtonOpacity(), 0.0);
    }

    void buttonHoverGrowsAndBrightens() {
        build(true);
        rig->queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        GradientButton* button = body<PromptStateView>()->convertButton();
        // Only the rounded button counts, not the room around it.
        QTest::mouseMove(button, QPoint(2, 2));
        QVERIFY(!button->isHovered());
        QTest::mouseMove(button, button->buttonRect().center().toPoint());
        QTRY_VERIFY(button->isHovered());
        QTest::qWait(50);
        QVERIFY(button->currentScale() > 1.0 && button->currentScale() < 1.03);
        QTRY_COMPARE(button->currentScale(), 1.03);
        QCOMPARE(button->currentBrightness(), 0.1);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(button, &leave);
        QTRY_COMPARE(button->currentScale(), 1.0);
        QCOMPARE(button->currentBrightness(), 0.0);
    }

    void songRowPlaceholders() {
        ToastRig local(QStringLiteral("row"));
        auto make = [&](SongPreviewView::Inputs inputs) {
            auto row =
                std::make_unique<SongPreviewView>(*local.colorScheme, *local.network, std::move(inputs));
            row->setRowGeometry(QRect(0, 0, 388, 50));
            row->show();
            return row;
        };
        const SongMetadata song{QStringLiteral("Song"), QStringLiteral("Artist"), std::nullopt,
                                QStringLiteral("spotify")};

        // Loading wins over metadata.
        auto row = make({song, true, "spotify", "spotify", false});
        QCOMPARE(row->cover(), SongPreviewView::Cover::loadingBlock);
        QCOMPARE(row->texts(), SongPreviewView::Texts::loadingBlocks);
        for (QWidget* block : row->placeholderWidgets()) {
            QVERIFY(static_cast<SkeletonView*>(block)->isAnimating());
        }
        row->setInputs({song, false, "spotify", "spotify", false});
        QCOMPARE(row->cover(), SongPreviewView::Cover::placeholder);
        QCOMPARE(row->texts(), SongPreviewView::Texts::song);

        // Nothing known: placeholder cover and blocks that stand still.
        row = make({std::nullopt, false, "spotify", "spotify", false});
        QCOMPARE(row->texts(), SongPreviewView::Texts::stillBlocks);
        const QList<QWidget*> blocks = row->placeholderWidgets();
        QCOMPARE(blocks.size(), 3);
        QCOMPARE(blocks[1]->geometry().size(), QSize(120, 14));
        QCOMPARE(blocks[2]->geometry().size(), QSize(80, 10));
        QVERIFY(!static_cast<SkeletonView*>(blocks[1])->isAnimating());
        QCOMPARE(row->icon()->platform(), QStringLiteral("spotify"));
        QCOMPARE(row->icon()->geometry().size(), QSize(32, 32));
    }

    void songRowCoverDownloads() {
        ToastRig local(QStringLiteral("cover"));
        FakeSongLinkServer artwork;
        artwork.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(200, png(Qt::red)));
        const QUrl cover(QStringLiteral("http://127.0.0.1:%1/cover.png").arg(artwork.port()));
        SongMetadata song{QStringLiteral("Song"), QStringLiteral("Artist"), cover, QStringLiteral("spotify")};
        SongPreviewView row(*local.colorScheme, *local.network, {song, false, "spotify", "spotify", false});
        row.setRowGeometry(QRect(0, 0, 388, 50));
        row.show();
        QCOMPARE(row.cover(), SongPreviewView::Cover::downloading);
        QTRY_COMPARE(row.cover(), SongPreviewView::Cover::picture);
        QImage image(row.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        row.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        const QPoint middle = QPoint(25, 25) + QPoint(ToastRowView::overflow, ToastRowView::overflow);
        QCOMPARE(image.pixelColor(middle), QColor(Qt::red));
        // Cut to the rounded square.
        QCOMPARE(qAlpha(image.pixel(ToastRowView::overflow, ToastRowView::overflow)), 0);

        // A failed load gives way to the placeholder and is not tried again.
        TestEnvironment::clearDebugLog();
        song.thumbnailURL = QUrl(QStringLiteral("http://127.0.0.1:9/cover.png"));
        row.setInputs({song, false, "spotify", "spotify", false});
        QCOMPARE(row.cover(), SongPreviewView::Cover::downloading);
        QTRY_COMPARE(row.cover(), SongPreviewView::Cover::placeholder);
        row.setInputs({song, false, "spotify", "spotify", false});
        QCOMPARE(row.cover(), SongPreviewView::Cover::placeholder);
        // Not an image at all fails the same way.
        artwork.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(200, "hello"));
        song.thumbnailURL = QUrl(QStringLiteral("http://127.0.0.1:%1/hello.png").arg(artwork.port()));
        row.setInputs({song, false, "spotify", "spotify", false});
        QTRY_COMPARE(row.cover(), SongPreviewView::Cover::placeholder);
        // Only the web is asked: other addresses give the placeholder at once, even for a picture.
        const qsizetype asked = artwork.requests().size();
        for (const QString& address :
             {QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png(Qt::red).toBase64()),
              QStringLiteral("file:///dev/zero"), QStringLiteral("qrc:/icons/spotify.svg")}) {
            song.thumbnailURL = QUrl(address);
            row.setInputs({song, false, "spotify", "spotify", false});
            QCOMPARE(row.cover(), SongPreviewView::Cover::placeholder);
        }
        QTest::qWait(50);
        QCOMPARE(row.cover(), SongPreviewView::Cover::placeholder);
        QCOMPARE(artwork.requests().size(), asked);
        QVERIFY(TestEnvironment::debugLogMessages().isEmpty());
    }

    void songRowIconSwapHook() {
        ToastRig local(QStringLiteral("swap"));
        // Built already successful: never swaps.
        SongPreviewView built(*local.colorScheme, *local.network,
                              {std::nullopt, false, "tidal", "spotify", true});
        QSignalSpy builtSpy(&built, &SongPreviewView::iconSwapStarted);
        built.setInputs({std::nullopt, false, "tidal", "spotify", true});
        QVERIFY(!built.shouldAnimateIcon());
        QCOMPARE(builtSpy.count(), 0);

        // Success with the same service: the plain icon stays.
        SongPreviewView same(*local.colorScheme, *local.network,
                             {std::nullopt, false, "spotify", "spotify", false});
        same.setInputs({std::nullopt, false, "spotify", "spotify", true});
        QVERIFY(!same.shouldAnimateIcon());

        SongPreviewView row(*local.colorScheme, *local.network,
                            {std::nullopt, false, "spotify", "spotify", false});
        QSignalSpy swaps(&row, &SongPreviewView::iconSwapStarted);
        row.setInputs({std::nullopt, false, "universalLink", "spotify", true});
        QVERIFY(row.shouldAnimateIcon());
        QCOMPARE(row.icon()->platform(), QStringLiteral("universalLink"));
        // Back to false and to true again: no second swap, the flag stays.
        row.setInputs({std::nullopt, false, "spotify", "spotify", false});
        row.setInputs({std::nullopt, false, "tidal", "spotify", true});
        QVERIFY(row.shouldAnimateIcon());
        QCOMPARE(swaps.count(), 1);
    }
};

ONDARI_TOAST_TEST_MAIN(ToastViewsTest)
#include "tst_toastviews.moc"
