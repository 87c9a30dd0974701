#pragma once

#include "SongLinkModels.h"
#include "ToastRowView.h"

#include <QImage>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <optional>

class AnimatedPlatformIcon;
class PlatformIcon;
class QNetworkAccessManager;
class QNetworkReply;
template <typename T> class QFutureWatcher;

// The song row at the top of the toast: cover picture, title and artist, and the icon of a
// service on the right. Loading blocks stand in while the song is fetched; the placeholder
// cover stands in for a missing or failed picture (never retried, never reported). When a
// conversion succeeds with another service, the animated icon takes the plain icon's place for
// the rest of the row's life and swaps the source service's icon for the target's.
class SongPreviewView : public ToastRowView {
    Q_OBJECT

public:
    struct Inputs {
        std::optional<SongMetadata> metadata;
        bool isLoading = false;
        QString platform;       // icon key shown on the right
        QString sourcePlatform; // icon key of the service the link came from
        bool isSuccess = false;
    };

    enum class Cover { loadingBlock, downloading, picture, placeholder };
    enum class Texts { loadingBlocks, song, stillBlocks };

    SongPreviewView(ColorScheme& colorScheme, QNetworkAccessManager& network, Inputs inputs,
                    QWidget* parent = nullptr);
    ~SongPreviewView() override;

    // A later update of the same row (the toast passes the queue's values on every change).
    void setInputs(Inputs inputs);
    const Inputs& inputs() const { return m_inputs; }

    // Set once a success brings a different service than the source; never cleared.
    bool shouldAnimateIcon() const { return m_shouldAnimateIcon; }
    Cover cover() const { return m_cover; }
    Texts texts() const { return m_texts; }
    // The plain icon. Hidden once the animated icon has taken its place, it still follows
    // `platform`.
    PlatformIcon* icon() const { return m_icon; }
    // The animated icon, from the success that started the swap on.
    AnimatedPlatformIcon* animatedIcon() const { return m_animatedIcon; }
    // The blocks currently shown (cover first when it is one).
    QList<QWidget*> placeholderWidgets() const;

    static constexpr int rowHeight = 50;
    // A cover is a small picture: larger downloads are dropped at this size, and slower ones at the
    // deadline, both for the placeholder.
    static constexpr qint64 maxCoverBytes = 8 * 1024 * 1024;
    static constexpr std::chrono::milliseconds coverTimeout{10000};

signals:
    // The success swap of the service icon should run now.
    void iconSwapStarted();

protected:
    void paintEvent(QPaintEvent* event) override;
    void layoutRow() override;

private:
    void applyCover();
    void applyTexts();
    enum class CoverRule { loading, remote, none };

    // False when the address is nothing to download from.
    bool startDownload(const QUrl& url);
    void cancelDownload();
    void downloadFinished(QNetworkReply* reply);
    void decodeCover(QByteArray bytes);
    // The picture, or the placeholder for a null image.
    void showCover(const QImage& image);
    void setCoverWidget(QWidget* widget, Cover cover);
    QRectF coverRect() const;
    qreal textLeft() const;
    qreal textWidth() const;
    // A line as drawn, elided once per text and width rather than at every frame.
    struct ShownLine {
        QString text;
        qreal width = -1;
        QString shown;
    };
    static const QString& shown(ShownLine& line, const QString& text, const QFont& font, qreal width);

    QNetworkAccessManager& m_network;
    Inputs m_inputs;
    bool m_shouldAnimateIcon = false;
    Cover m_cover = Cover::placeholder;
    Texts m_texts = Texts::stillBlocks;
    std::optional<CoverRule> m_coverRule;
    bool m_hasTexts = false;
    QUrl m_coverURL;
    QPointer<QFutureWatcher<QImage>> m_decoding;
    QImage m_picture;
    QPointer<QNetworkReply> m_download;
    QWidget* m_coverWidget = nullptr;
    QList<QWidget*> m_textBlocks;
    ShownLine m_shownTitle;
    ShownLine m_shownArtist;
    PlatformIcon* m_icon = nullptr;
    AnimatedPlatformIcon* m_animatedIcon = nullptr;
};
