#include "Pasteboard.h"

#include "WaylandDataControlClipboard.h"
#include "X11SelectionReader.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

namespace {
const QString secretHintFormat = QStringLiteral("x-kde-passwordManagerHint");
}

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
    m_writing = true;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    m_writing = false;
    // Qt keeps the data and claims the clipboard even when the X server refused it the selection;
    // only the owner the server names tells. setMimeData has just asked the same question.
    if (clipboard->mimeData(QClipboard::Clipboard) != data) {
        return false;
    }
    countChanges(1);
    return true;
}

void Pasteboard::readString(QObject* context, std::function<void(std::optional<QString>)> done) {
    if (m_dataControl) {
        m_dataControl->read(context, std::move(done));
        return;
    }
    if (m_reader) {
        m_reader->read(context, std::move(done));
        return;
    }
    // In-process clipboard (offscreen platform): read now, answer like the threaded read.
    std::optional<QString> result;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data && data->hasText()) {
        const bool secret = data->hasFormat(secretHintFormat) &&
                            data->data(secretHintFormat).trimmed() == QByteArrayLiteral("secret");
        const QString text = data->text();
        if (!secret && text.toUtf8().size() <= maxReadBytes) {
            result = text;
        }
    }
    QTimer::singleShot(0, context, [done = std::move(done), result] { done(result); });
}

void Pasteboard::shutdown() {
    m_dataControl.reset();
    m_reader.reset();
}
