#include "SongPreviewView.h"

#include "AnimatedPlatformIcon.h"
#include "AppConstants.h"
#include "ArtworkDecoder.h"
#include "PlaceholderAlbumArt.h"
#include "PlatformIcons.h"
#include "ReplyLimits.h"
#include "SkeletonView.h"
#include "SystemColors.h"
#include "SystemFont.h"
#include "TextCounting.h"
#include "TransportRule.h"

#include <QFontMetricsF>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPainterPath>
#include <QtConcurrent/QtConcurrentRun>

namespace {
constexpr int albumArt = int(AppConstants::albumArtSize);
constexpr qreal albumArtRadius = AppConstants::albumArtCornerRadius;
constexpr int iconSize = int(AppConstants::songRowIconSize);
constexpr qreal spacing = 12;
constexpr qreal spacerMinimum = 8;
constexpr qreal lineSpacing = 4;
const QSize titleBlock(120, 14);
const QSize artistBlock(80, 10);
constexpr qreal blockRadius = 4;

QFont titleFont() {
    return SystemFont::font(14, QFont::Bold);
}
QFont artistFont() {
    return SystemFont::font(10);
}

} // namespace

SongPreviewView::SongPreviewView(ColorScheme& colorScheme, QNetworkAccessManager& network, Inputs inputs,
                                 QWidget* parent)
    : ToastRowView(colorScheme, parent), m_network(network), m_inputs(std::move(inputs)) {
    m_icon = new PlatformIcon(m_inputs.platform, iconSize, this);
    applyCover();
    applyTexts();
}

SongPreviewView::~SongPreviewView() {
    cancelDownload();
}

void SongPreviewView::setInputs(Inputs inputs) {
    const bool wasSuccess = m_inputs.isSuccess;
    m_inputs = std::move(inputs);
    // Only a change to success starts the swap, never the value the row was built with.
    if (!wasSuccess && m_inputs.isSuccess && m_inputs.sourcePlatform != m_inputs.platform &&
        !m_shouldAnimateIcon) {
        m_shouldAnimateIcon = true;
        // Shown in place of the plain icon, it runs its swap as it appears.
        m_animatedIcon = new AnimatedPlatformIcon(m_colorScheme, m_inputs.sourcePlatform, m_inputs.platform,
                                                  iconSize, true, this);
        m_icon->hide();
        layoutRow();
        m_animatedIcon->show();
        emit iconSwapStarted();
    }
    m_icon->setPlatform(m_inputs.platform);
    if (m_animatedIcon) {
        m_animatedIcon->setFromPlatform(m_inputs.sourcePlatform);
        m_animatedIcon->setToPlatform(m_inputs.platform);
    }
    applyCover();
    applyTexts();
    update();
}

QList<QWidget*> SongPreviewView::placeholderWidgets() const {
    QList<QWidget*> widgets;
    if (m_coverWidget) {
        widgets.append(m_coverWidget);
    }
    widgets.append(m_textBlocks);
    return widgets;
}

void SongPreviewView::applyCover() {
    const std::optional<QUrl> thumbnail = m_inputs.metadata ? m_inputs.metadata->thumbnailURL : std::nullopt;
    const CoverRule rule = m_inputs.isLoading ? CoverRule::loading
                           : thumbnail        ? CoverRule::remote
                                              : CoverRule::none;
    if (m_coverRule && *m_coverRule == rule && (rule != CoverRule::remote || m_coverURL == *thumbnail)) {
        return;
    }
    // A rule shown anew (or a new address) gets a fresh view, as a new picture view would be.
    m_coverRule = rule;
    cancelDownload();
    m_picture = {};
    m_coverURL = thumbnail && rule == CoverRule::remote ? *thumbnail : QUrl();
    switch (rule) {
    case CoverRule::loading:
        setCoverWidget(new SkeletonView(m_colorScheme, true, albumArtRadius, this), Cover::loadingBlock);
        break;
    case CoverRule::remote:
        if (startDownload(m_coverURL)) {
            setCoverWidget(new SkeletonView(m_colorScheme, true, albumArtRadius, this), Cover::downloading);
        } else {
            setCoverWidget(new PlaceholderAlbumArt(m_colorScheme, this), Cover::placeholder);
        }
        break;
    case CoverRule::none:
        setCoverWidget(new PlaceholderAlbumArt(m_colorScheme, this), Cover::placeholder);
        break;
    }
}

void SongPreviewView::setCoverWidget(QWidget* widget, Cover cover) {
    delete m_coverWidget;
    m_coverWidget = widget;
    m_cover = cover;
    if (widget) {
        widget->setGeometry(coverRect().toRect());
        widget->show();
    }
    update();
}

void SongPreviewView::cancelDownload() {
    delete m_decoding;
    if (QNetworkReply* reply = m_download) {
        m_download = nullptr;
        reply->abort();
    }
}

bool SongPreviewView::startDownload(const QUrl& url) {
    // Only from the web, and in plain HTTP only from this machine: a local file (a FIFO, a device)
    // would be opened on this thread and could hold it for good.
    if (!SongLinkResponse::isUsableLink(url.toString(QUrl::FullyEncoded)) || !TransportRule::allows(url)) {
        return false;
    }
    QNetworkReply* reply = m_network.get(TransportRule::request(url));
    TransportRule::guard(reply);
    m_download = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { downloadFinished(reply); });
    // Bounded in time and size, however slowly or endlessly its bytes arrive.
    new ReplyLimits(reply, coverTimeout, maxCoverBytes, reply);
    return true;
}

void SongPreviewView::downloadFinished(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply != m_download) {
        return;
    }
    m_download = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        showCover({});
        return;
    }
    decodeCover(reply->readAll());
}

void SongPreviewView::decodeCover(QByteArray bytes) {
    // Decoded on the decoding thread, so that no picture can hold up this one. The watcher goes with
    // the row or with the next cover; the decoding itself then ends unseen.
    auto* watcher = new QFutureWatcher<QImage>(this);
    m_decoding = watcher;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (watcher == m_decoding) {
            m_decoding = nullptr;
            showCover(watcher->result());
        }
    });
    watcher->setFuture(QtConcurrent::run(
        ArtworkDecoder::pool(), [bytes = std::move(bytes)] { return ArtworkDecoder::decode(bytes); }));
}

void SongPreviewView::showCover(const QImage& image) {
    if (!image.isNull()) {
        m_picture = image;
        setCoverWidget(nullptr, Cover::picture);
    } else {
        // Shown as the placeholder only: no retry, no log line.
        setCoverWidget(new PlaceholderAlbumArt(m_colorScheme, this), Cover::placeholder);
    }
}

void SongPreviewView::applyTexts() {
    const Texts wanted = m_inputs.isLoading  ? Texts::loadingBlocks
                         : m_inputs.metadata ? Texts::song
                                             : Texts::stillBlocks;
    if (m_hasTexts && wanted == m_texts) {
        return;
    }
    m_hasTexts = true;
    m_texts = wanted;
    qDeleteAll(m_textBlocks);
    m_textBlocks.clear();
    if (wanted != Texts::song) {
        const bool animated = wanted == Texts::loadingBlocks;
        m_textBlocks.append(new SkeletonView(m_colorScheme, animated, blockRadius, this));
        m_textBlocks.append(new SkeletonView(m_colorScheme, animated, blockRadius, this));
    }
    layoutRow();
    for (QWidget* block : std::as_const(m_textBlocks)) {
        block->show();
    }
}

QRectF SongPreviewView::coverRect() const {
    const QRect row = rowRect();
    return QRectF(row.left(), row.top() + (row.height() - albumArt) / 2.0, albumArt, albumArt);
}

qreal SongPreviewView::textLeft() const {
    return coverRect().right() + spacing;
}

qreal SongPreviewView::textWidth() const {
    const qreal iconLeft = rowRect().right() + 1 - iconSize;
    return std::max<qreal>(0, iconLeft - spacing - spacerMinimum - spacing - textLeft());
}

void SongPreviewView::layoutRow() {
    const QRect row = rowRect();
    if (m_coverWidget) {
        m_coverWidget->setGeometry(coverRect().toRect());
    }
    m_icon->move(row.right() + 1 - iconSize, row.top() + (row.height() - iconSize) / 2);
    if (m_animatedIcon) {
        // Its frame centred on the icon's, reaching past it on every side.
        const QRect frame = m_icon->geometry();
        const QRect square = m_animatedIcon->frameRect();
        m_animatedIcon->move(frame.x() - (square.width() - frame.width()) / 2 - square.x(),
                             frame.y() - (square.height() - frame.height()) / 2 - square.y());
    }
    if (m_textBlocks.size() == 2) {
        const qreal height = titleBlock.height() + lineSpacing + artistBlock.height();
        const qreal top = row.center().y() + 0.5 - height / 2;
        m_textBlocks[0]->setGeometry(QRect(QPoint(int(textLeft()), int(top)), titleBlock));
        m_textBlocks[1]->setGeometry(
            QRect(QPoint(int(textLeft()), int(top + titleBlock.height() + lineSpacing)), artistBlock));
    }
}

// The service's title and artist are anybody's text. With a desktop's many fonts, laying out
// characters no font has, or a line of many scripts, holds the GUI thread for seconds, once
// per script and font size; so they are kept out of the line, which is laid out once.
const QString& SongPreviewView::shown(ShownLine& line, const QString& text, const QFont& font, qreal width) {
    if (line.text != text || line.width != width) {
        line.text = text;
        line.width = width;
        line.shown = QFontMetricsF(font).elidedText(
            TextCounting::forLayout(text, SystemFont::installedFontsHave), Qt::ElideRight, width);
    }
    return line.shown;
}

void SongPreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    const auto scheme = m_colorScheme.current();
    if (m_cover == Cover::picture && !m_picture.isNull()) {
        // Filled with its own proportions kept; what sticks out is cut by the rounded square.
        const QRectF box = coverRect();
        QPainterPath clip;
        clip.addRoundedRect(box, albumArtRadius, albumArtRadius);
        const QSizeF scaled = QSizeF(m_picture.size()).scaled(box.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(box.center().x() - scaled.width() / 2, box.center().y() - scaled.height() / 2,
                            scaled.width(), scaled.height());
        painter.save();
        painter.setClipPath(clip);
        painter.drawImage(target, m_picture);
        painter.restore();
    }
    if (m_texts == Texts::song && m_inputs.metadata) {
        const QFontMetricsF title(titleFont());
        const QFontMetricsF artist(artistFont());
        const qreal height = title.height() + lineSpacing + artist.height();
        const qreal top = rowRect().center().y() + 0.5 - height / 2;
        const QColor primary = SystemColors::primaryLabel(scheme);
        const qreal width = textWidth();
        drawLine(painter, textLeft(), top + title.height() / 2, width,
                 shown(m_shownTitle, m_inputs.metadata->title, titleFont(), width), titleFont(), primary);
        drawLine(painter, textLeft(), top + title.height() + lineSpacing + artist.height() / 2, width,
                 shown(m_shownArtist, m_inputs.metadata->artist, artistFont(), width), artistFont(),
                 SystemColors::withOpacity(primary, 0.5));
    }
}
