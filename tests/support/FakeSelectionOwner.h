#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>

#include <map>
#include <optional>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

// Another X client that owns CLIPBOARD, on a connection and thread of its own: it offers any
// set of targets, which xclip cannot (a password manager offers its secrets with a hint beside
// the text), and can hold requests unanswered like a stuck program.
class FakeSelectionOwner {
public:
    using Offers = std::map<QByteArray, QByteArray>; // target name -> content

    explicit FakeSelectionOwner(Offers offers);
    ~FakeSelectionOwner();
    FakeSelectionOwner(const FakeSelectionOwner&) = delete;
    FakeSelectionOwner& operator=(const FakeSelectionOwner&) = delete;

    // Takes CLIPBOARD and starts answering; false when it could not take it. At server time it
    // takes it as programs that copy on input do: stamped with a real time of the server's
    // (the time of now), which a later request stamped with an older time cannot undo.
    // As the clipboard manager it holds CLIPBOARD_MANAGER with the same window.
    bool start(bool atServerTime = false, bool asClipboardManager = false);

    // Requests for this target wait until release(); then they get lateContent.
    void hold(const QByteArray& target, const QByteArray& lateContent);
    void release();
    // The targets asked for so far, in order.
    QList<QByteArray> requested() const;

private:
    xcb_atom_t atom(const QByteArray& name);
    QByteArray name(xcb_atom_t atom);
    void answer(const xcb_selection_request_event_t& request, const QByteArray& content);
    void onRequest(const xcb_selection_request_event_t& request);
    void run();

    Offers m_offers;
    xcb_connection_t* m_c = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_clipboard = XCB_NONE;
    xcb_atom_t m_targets = XCB_NONE;
    int m_wakeFd = -1;
    std::thread m_thread;
    mutable QMutex m_mutex;
    QList<QByteArray> m_requested;
    std::optional<QByteArray> m_heldTarget;
    QByteArray m_lateContent;
    bool m_releasing = false;
    std::vector<xcb_selection_request_event_t> m_held;
};
