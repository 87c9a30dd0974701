#include "FakeSelectionOwner.h"

#include "SelectionClient.h"

#include <cstdlib>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

FakeSelectionOwner::FakeSelectionOwner(Offers offers) : m_offers(std::move(offers)) {}

FakeSelectionOwner::~FakeSelectionOwner() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
    }
    if (m_c) {
        xcb_disconnect(m_c);
    }
}

bool FakeSelectionOwner::start(bool atServerTime, bool asClipboardManager) {
    m_c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(m_c)) {
        return false;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
    m_window = xcb_generate_id(m_c);
    const uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &eventMask);
    m_clipboard = atom("CLIPBOARD");
    m_targets = atom("TARGETS");
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    if (atServerTime) {
        // The server stamps the notice of an empty append with its time.
        xcb_change_property(m_c, XCB_PROP_MODE_APPEND, m_window, m_targets, XCB_ATOM_STRING, 8, 0, nullptr);
        xcb_flush(m_c);
        while (xcb_generic_event_t* event = xcb_wait_for_event(m_c)) {
            const bool stamped = (event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY;
            if (stamped) {
                time = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
            }
            std::free(event);
            if (stamped) {
                break;
            }
        }
    }
    if (asClipboardManager) {
        xcb_set_selection_owner(m_c, m_window, atom("CLIPBOARD_MANAGER"), time);
    }
    xcb_set_selection_owner(m_c, m_window, m_clipboard, time);
    auto* owner = xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_clipboard), nullptr);
    const bool owns = owner && owner->owner == m_window;
    std::free(owner);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { run(); });
    return owns;
}

void FakeSelectionOwner::hold(const QByteArray& target, const QByteArray& lateContent) {
    QMutexLocker lock(&m_mutex);
    m_heldTarget = target;
    m_lateContent = lateContent;
}

void FakeSelectionOwner::release() {
    QMutexLocker lock(&m_mutex);
    m_releasing = true;
}

QList<QByteArray> FakeSelectionOwner::requested() const {
    QMutexLocker lock(&m_mutex);
    return m_requested;
}

xcb_atom_t FakeSelectionOwner::atom(const QByteArray& name) {
    auto* reply = xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, name.size(), name.constData()), nullptr);
    const xcb_atom_t result = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return result;
}

QByteArray FakeSelectionOwner::name(xcb_atom_t atom) {
    auto* reply = xcb_get_atom_name_reply(m_c, xcb_get_atom_name(m_c, atom), nullptr);
    QByteArray result;
    if (reply) {
        result = QByteArray(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
    }
    std::free(reply);
    return result;
}

void FakeSelectionOwner::answer(const xcb_selection_request_event_t& request, const QByteArray& content) {
    xcb_atom_t property = request.property;
    const QByteArray target = name(request.target);
    if (request.target == m_targets) {
        std::vector<xcb_atom_t> list{m_targets};
        for (const auto& [offered, unused] : m_offers) {
            list.push_back(atom(offered));
        }
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                            uint32_t(list.size()), list.data());
    } else if (m_offers.count(target)) {
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                            uint32_t(content.size()), content.constData());
    } else {
        property = XCB_NONE;
    }
    answerRequest(m_c, request, property);
    xcb_flush(m_c);
}

void FakeSelectionOwner::onRequest(const xcb_selection_request_event_t& request) {
    const QByteArray target = name(request.target);
    QMutexLocker lock(&m_mutex);
    m_requested.append(target);
    if (m_heldTarget && target == *m_heldTarget) {
        if (!m_releasing) {
            m_held.push_back(request);
            return;
        }
        // Late answers first, so they reach the reader while it waits for this target.
        const QByteArray late = m_lateContent;
        lock.unlock();
        for (const auto& held : m_held) {
            answer(held, late);
        }
        m_held.clear();
    } else {
        lock.unlock();
    }
    const auto it = m_offers.find(target);
    answer(request, it != m_offers.end() ? it->second : QByteArray());
}

void FakeSelectionOwner::run() {
    const int fd = xcb_get_file_descriptor(m_c);
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_c)) {
            if ((event->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
                onRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
            }
            std::free(event);
        }
        if (xcb_connection_has_error(m_c)) {
            return;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[1].revents & POLLIN) {
            return;
        }
    }
}
