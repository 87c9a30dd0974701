#include "AnimatedPlatformIcon.h"
#include "AskModeDropdownButton.h"
#include "FakeSongLinkServer.h"
#include "Panel.h"
#include "PlatformIcons.h"
#include "PopoverList.h"
#include "PromptStateView.h"
#include "ToastTestSupport.h"
#include "ToastView.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QSet>

#include <functional>

using namespace std::chrono_literals;

namespace {

QByteArray coverPicture() {
    QImage image(120, 120, QImage::Format_ARGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 120, 120);
    gradient.setColorAt(0, QColor(255, 140, 60));
    gradient.setColorAt(1, QColor(120, 40, 160));
    painter.fillRect(image.rect(), gradient);
    painter.setBrush(QColor(255, 230, 120));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QPointF(60, 60), 30, 30);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

struct Case {
    QString name;
    bool preview;
    std::function<void(ToastRig&)> setup;
    // Done when the toast shows what the case is about.
    std::function<bool(ToastRig&, ToastContentView&)> ready;
};

bool coverSettled(ToastContentView& view) {
    return !view.songRow() || view.songRow()->cover() != SongPreviewView::Cover::downloading;
}

} // namespace

// Each toast state, light and dark, drawn to PNG files that a person can look at.
class ToastRenderTest : public QObject {
    Q_OBJECT

    QString outDir;
    SongMetadata song{QStringLiteral("Bum Bum Eis"), QStringLiteral("Trio Schmetterling"), std::nullopt,
                      QStringLiteral("spotify")};

    // Serves the cover picture; artwork comes only from the web.
    FakeSongLinkServer artwork;

    QList<Case> cases() {
        artwork.setDefaultAnswer(FakeSongLinkServer::Answer::withStatus(200, coverPicture()));
        auto withSong = [this](ToastRig& rig) {
            SongMetadata withCover = song;
            withCover.thumbnailURL =
                QUrl(QStringLiteral("http://127.0.0.1:%1/cover.png").arg(artwork.port()));
            rig.api->metadataResult = withCover;
        };
        auto prompt = [](ToastRig& rig, ToastContentView& view) {
            return !rig.queue->isLoadingMetadata() && coverSettled(view);
        };
        return {
            {"prompt", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
             },
             prompt},
            {"prompt-hint-queue", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.accessibility->forceTrusted(true);
                 rig.queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::spotify, false);
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::tidal, false);
             },
             prompt},
            {"prompt-askmode", true,
             [=, this](ToastRig& rig) {
                 rig.api->metadataResult = song;
                 rig.settings->setTargetService(TargetServiceOption::askEachTime);
                 rig.queue->enqueueAskMode(ToastLinks::soundcloud, Platform::soundcloud);
             },
             prompt},
            {"prompt-universal-compact", false,
             [](ToastRig& rig) {
                 rig.accessibility->forceTrusted(true);
                 rig.queue->enqueueUniversalLink(ToastLinks::spotify, Platform::spotify, false);
                 rig.queue->enqueue(ToastLinks::tidal, Platform::tidal, Platform::spotify, false);
             },
             prompt},
            {"prompt-youtube-hint", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.accessibility->forceTrusted(true);
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::youtubeMusic, false);
             },
             prompt},
            {"prompt-youtube-hint-compact", false,
             [](ToastRig& rig) {
                 rig.accessibility->forceTrusted(true);
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::youtubeMusic, false);
             },
             prompt},
            {"prompt-universal-hint", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.accessibility->forceTrusted(true);
                 rig.queue->enqueueUniversalLink(ToastLinks::spotify, Platform::spotify, false);
             },
             prompt},
            {"prompt-yandex-compact", false,
             [](ToastRig& rig) {
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::yandexMusic, false);
             },
             prompt},
            {"metadata-loading", true,
             [](ToastRig& rig) {
                 rig.api->metadata.delay = 10s;
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
             },
             [](ToastRig&, ToastContentView&) { return true; }},
            {"no-metadata", true,
             [](ToastRig& rig) {
                 rig.api->metadata.error = ScriptedSongLinkService::error(SongLinkError::songNotFound());
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
             },
             prompt},
            {"loading", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.api->conversion.delay = 10s;
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, true);
             },
             [](ToastRig& rig, ToastContentView& view) {
                 return rig.api->metadataFetches > 0 && coverSettled(view) &&
                        view.songRow()->inputs().metadata;
             }},
            {"success", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.queue->setSuccessHoldForTesting(10s);
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, true);
             },
             // Once the row has swapped in the target's icon and its burst is gone.
             [](ToastRig& rig, ToastContentView& view) {
                 const AnimatedPlatformIcon* icon = view.songRow() ? view.songRow()->animatedIcon() : nullptr;
                 return rig.queue->toastState() == ToastState::success() && coverSettled(view) && icon &&
                        icon->shownPlatform() == QStringLiteral("appleMusic") && !icon->showStarburst() &&
                        icon->iconOpacity() == 1.0;
             }},
            {"success-universal-compact", false,
             [](ToastRig& rig) {
                 rig.queue->setSuccessHoldForTesting(10s);
                 rig.queue->enqueueUniversalLink(ToastLinks::spotify, Platform::spotify, true);
             },
             [](ToastRig& rig, ToastContentView&) {
                 return rig.queue->toastState() == ToastState::success();
             }},
            {"error", true,
             [=, this](ToastRig& rig) {
                 withSong(rig);
                 rig.api->conversion.error = ScriptedSongLinkService::error(
                     SongLinkError::noTargetPlatformLink(Platform::appleMusic));
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, true);
             },
             [](ToastRig& rig, ToastContentView& view) {
                 return rig.queue->toastState().isError() && coverSettled(view);
             }},
            {"error-compact", false,
             [](ToastRig& rig) {
                 rig.api->conversion.error =
                     ScriptedSongLinkService::error(SongLinkError::networkError("offline"));
                 rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, true);
             },
             [](ToastRig& rig, ToastContentView&) { return rig.queue->toastState().isError(); }},
        };
    }

    QImage render(QWidget& widget) {
        QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }

    // What a person would see: the panel with its shadow over a plain desktop.
    QImage onScreen(ToastContentView& view, ColorScheme::Scheme scheme) {
        Panel panel(view.size());
        panel.setCardShape(view.cardPath());
        QImage image(panel.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(scheme == ColorScheme::Scheme::dark ? QColor(38, 52, 74) : QColor(176, 196, 222));
        panel.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QPainter painter(&image);
        painter.drawImage(QPoint(Panel::shadowMargin, Panel::shadowMargin), render(view));
        return image;
    }

    static void verifyCardImage(const QImage& image, const QRect& card, const QString& what) {
        const QByteArray label = what.toUtf8();
        // The card's rounded corners, and the margin outside it, are see-through.
        for (const QPoint corner : {card.topLeft(), card.topRight(), card.bottomLeft(), card.bottomRight()}) {
            QVERIFY2(qAlpha(image.pixel(corner)) == 0, label.constData());
        }
        QVERIFY2(qAlpha(image.pixel(2, 2)) == 0, label.constData());
        QVERIFY2(qAlpha(image.pixel(card.left() + 14, card.top() + 14)) > 100, label.constData());
        // Not blank: many colours on the card.
        QSet<QRgb> colours;
        for (int y = card.top(); y <= card.bottom(); y += 2) {
            for (int x = card.left(); x <= card.right(); x += 2) {
                colours.insert(image.pixel(x, y));
            }
        }
        QVERIFY2(colours.size() > 40, label.constData());
    }

private slots:
    void initTestCase() {
        outDir = QCoreApplication::applicationDirPath() + QStringLiteral("/toast-renders");
        QDir(outDir).removeRecursively();
        QVERIFY(QDir().mkpath(outDir));
    }

    void everyStateLightAndDark() {
        for (const ColorScheme::Scheme scheme : {ColorScheme::Scheme::light, ColorScheme::Scheme::dark}) {
            const QString schemeName =
                scheme == ColorScheme::Scheme::dark ? QStringLiteral("dark") : QStringLiteral("light");
            for (const Case& c : cases()) {
                ToastRig rig(QStringLiteral("render"), c.preview);
                rig.colorScheme->setOverride(scheme);
                ToastContentView view(rig.environment());
                // Away from the pointer, so the close button stays hidden.
                view.move(400, 400);
                view.show();
                c.setup(rig);
                QTRY_VERIFY2(c.ready(rig, view), qPrintable(c.name));
                QTest::qWait(20);
                const QImage image = render(view);
                const QString file = QStringLiteral("%1/toast-%2-%3.png").arg(outDir, c.name, schemeName);
                QVERIFY(image.save(file));
                QVERIFY(
                    onScreen(view, scheme)
                        .save(QStringLiteral("%1/toast-%2-%3-onscreen.png").arg(outDir, c.name, schemeName)));

                const QImage saved(file);
                QCOMPARE(saved.size(), view.size());
                verifyCardImage(saved.convertToFormat(QImage::Format_ARGB32), view.cardRect(), file);
                if (QTest::currentTestFailed()) {
                    return;
                }
            }
        }
    }

    void askModeListAndServiceIcons() {
        ToastRig rig(QStringLiteral("render-menu"), true);
        rig.settings->setTargetService(TargetServiceOption::askEachTime);
        ToastContentView view(rig.environment());
        view.move(400, 400);
        view.show();
        rig.queue->enqueueAskMode(ToastLinks::spotify, Platform::spotify);
        AskModeDropdownButton* menu = qobject_cast<PromptStateView*>(view.stateView())->askModeMenu();
        menu->setShowDropdown(true);
        PopoverList* list = menu->dropdown();
        QVERIFY(list);
        QTest::mouseMove(list, list->rowRect(2).center());
        QTRY_VERIFY(list->hoveredRow());
        const QImage image = render(*list);
        QVERIFY(image.save(outDir + QStringLiteral("/toast-askmode-list.png")));
        QCOMPARE(image.size(), QSize(200, 8 + 16 + 5 * list->rowRect(0).height()));
        // The list's grey is the same in both appearances; the arrow's sides are clear.
        QCOMPARE(image.pixelColor(100, 20).rgba(), QColor::fromRgbF(0.247f, 0.251f, 0.259f).rgba());
        QCOMPARE(qAlpha(image.pixel(2, 2)), 0);
        menu->setShowDropdown(false);

        QImage icons(7 * 72, 72, QImage::Format_ARGB32_Premultiplied);
        icons.fill(Qt::transparent);
        QPainter painter(&icons);
        int x = 4;
        for (const QString key : {"spotify", "appleMusic", "youtubeMusic", "yandexMusic", "tidal",
                                  "soundcloud", "universalLink"}) {
            PlatformIcon::paint(painter, QRectF(x, 4, 64, 64), key);
            x += 72;
        }
        painter.end();
        QVERIFY(icons.save(outDir + QStringLiteral("/service-icons.png")));
    }

    void hoveredToastShowsCloseButton() {
        ToastRig rig(QStringLiteral("render-hover"), true);
        rig.colorScheme->setOverride(ColorScheme::Scheme::dark);
        ToastContentView view(rig.environment());
        view.show();
        rig.queue->enqueue(ToastLinks::spotify, Platform::spotify, Platform::appleMusic, false);
        view.setHovered(true);
        QTRY_COMPARE(view.closeButtonOpacity(), 1.0);
        const QImage image = render(view);
        QVERIFY(image.save(outDir + QStringLiteral("/toast-prompt-hovered-dark.png")));
        // The button sits over the card's corner, its centre 2 right of and below it.
        QVERIFY(qAlpha(image.pixel(18, 6)) > 200);
        QVERIFY(qAlpha(image.pixel(6, 18)) > 200);
        QCOMPARE(qAlpha(image.pixel(2, 2)), 0);
    }
};

ONDARI_TOAST_TEST_MAIN(ToastRenderTest)
#include "tst_toastrender.moc"
