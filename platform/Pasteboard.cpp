#include "Pasteboard.h"

#include "WaylandDataControlClipboard.h"
#include "X11Display.h"
#include "X11SelectionReader.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

#include <cstdlib>

namespace {
const QString secretHintFormat = QStringLiteral("x-kde-passwordManagerHint");

// Whether a window of our own process owns CLIPBOARD now, asked of the X server on Qt's
// connection (so after Qt's own request to take it). Qt's windows take their ids from the range
// the server gave its connection.
bool ownsX11Clipboard() {
    xcb_connection_t* c = X11Display::connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    const auto cookie = xcb_get_selection_owner(c, X11Display::atom(c, "CLIPBOARD"));
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(c, cookie, nullptr);
    const xcb_window_t owner = reply ? reply->owner : xcb_window_t(XCB_NONE);
    std::free(reply);
    return owner != XCB_NONE && (owner & ~setup->resource_id_mask) == setup->resource_id_base;
}
} // namespace

Pasteboard::Pasteboard(QObject* parent) : QObject(parent) {
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // Some compositors pass the clipboard to X11 clients only while one has focus; where
        // one offers data control, that serves instead.
        if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            m_dataControl = WaylandDataControlClipboard::create([this] { countChanges(1); });
        }
        if (!m_dataControl) {
            m_reader = X11SelectionReader::create();
        }
    }
    if (m_dataControl) {
        return; // it reports other programs' copies itself
    }
    if (m_reader) {
        // Other programs' copies, a burst of them at once; our own writes count in writeString.
        m_reader->setOwnerChangeHandler([this](int changes) { countChanges(changes); });
        return;
    }
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard) {
            onClipboardChanged();
        }
    });
}

Pasteboard::~Pasteboard() = default;

Pasteboard& Pasteboard::general() {
    static Pasteboard* instance = new Pasteboard();
    return *instance;
}

void Pasteboard::onClipboardChanged() {
    if (m_writing) {
        return; // counted by writeString itself
    }
    if (QGuiApplication::clipboard()->ownsClipboard()) {
        return; // the later notice of our own write
    }
    countChanges(1);
}

void Pasteboard::countChanges(int changes) {
    m_changeCount += changes;
    emit changeCountChanged(m_changeCount);
}

bool Pasteboard::writeString(const QString& text) {
    if (m_dataControl) {
        m_dataControl->write(text);
        countChanges(1);
        return true;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* data = new QMimeData();
    data->setText(text);
    // Private behaviour of Qt's xcb plugin relied on here, and nowhere else: Qt stamps this
    // write with the newest server time its connection has heard of, and moves that clock on
    // with the selection notices it asks for itself. So a write after another program's copy
    // takes once the event loop has run; tst_pasteboard_x11 fails when a Qt update changes it.
    m_writing = true;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    m_writing = false;
    // Qt keeps the data and claims the clipboard even when the X server refused it the
    // selection (a copy stamped later than the time Qt knows of): only the server tells.
    if (X11Display::connection() && !ownsX11Clipboard()) {
        return false;
    }
    countChanges(1);
    return true;
}

void Pasteboard::readString(QObject* context, std::function<void(std::optional<QString>)> done) {
    read(context, [done = std::move(done)](const Contents& contents) { done(contents.string()); });
}

void Pasteboard::read(QObject* context, std::function<void(Contents)> done, bool pinned) {
    if (m_dataControl) {
        m_dataControl->read(context, std::move(done), pinned);
        return;
    }
    if (m_reader) {
        m_reader->read(context, std::move(done), pinned);
        return;
    }
    // In-process clipboard (offscreen platform): read now, answer like the threaded read.
    Contents result;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || data->formats().isEmpty()) {
        result.kind = Contents::Kind::NoOwner;
    } else if (data->hasText()) {
        const bool secret = data->hasFormat(secretHintFormat) &&
                            data->data(secretHintFormat).trimmed() == QByteArrayLiteral("secret");
        const QString text = data->text();
        if (!secret && text.toUtf8().size() <= maxReadBytes) {
            result.kind = Contents::Kind::Text;
            result.text = text;
        }
    }
    QTimer::singleShot(0, context, [done = std::move(done), result] { done(result); });
}

void Pasteboard::setKeeperDelay(int milliseconds) {
    if (m_dataControl) {
        m_dataControl->setKeeperDelay(milliseconds);
    }
    if (m_reader) {
        m_reader->setKeeperDelay(milliseconds);
    }
}

void Pasteboard::shutdown() {
    m_dataControl.reset();
    m_reader.reset();
}
