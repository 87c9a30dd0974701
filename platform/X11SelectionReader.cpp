#include "X11SelectionReader.h"

#include "KeeperWindow.h"
#include "Pasteboard.h"
#include "PendingReads.h"
#include "X11Display.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// After Qt's headers: X headers define macros that clash with Qt names.
#include <xcb/xcb.h>
#include <xcb/xcbext.h> // xcb_poll_for_reply
#include <xcb/xfixes.h>

namespace {

using Clock = std::chrono::steady_clock;
using Result = Pasteboard::Contents;
using Kind = Pasteboard::Contents::Kind;

constexpr auto readTimeout = std::chrono::milliseconds(Pasteboard::readTimeoutMs);
constexpr uint32_t textMaxLongs = Pasteboard::maxReadBytes / 4;
constexpr uint32_t hintMaxLongs = 64 / 4;
constexpr uint32_t targetsMaxLongs = 1024;
constexpr int propertySlotCount = 4;
// A read starts over at most this often for new owners that take over under it; then it waits
// for whoever owns the clipboard (unless that owner leaves), as a burst of owners would
// otherwise starve it.
constexpr int maxOwnerFollows = 8;

enum AtomId {
    ClipboardAtom,
    TargetsAtom,
    Utf8StringAtom,
    TextPlainUtf8Atom,
    StringAtom,
    IncrAtom,
    PasswordHintAtom,
    TimestampAtom,
    ClipboardManagerAtom,
    FirstSlotAtom,
    AtomCount = FirstSlotAtom + propertySlotCount
};

constexpr std::array<const char*, FirstSlotAtom> fixedAtomNames = {"CLIPBOARD",
                                                                   "TARGETS",
                                                                   "UTF8_STRING",
                                                                   "text/plain;charset=utf-8",
                                                                   "STRING",
                                                                   "INCR",
                                                                   "x-kde-passwordManagerHint",
                                                                   "_ONDARI_TIMESTAMP",
                                                                   "CLIPBOARD_MANAGER"};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

// A property of our window that selection owners write into. A slot whose transfer was
// abandoned (a late answer, an INCR transfer we refused) keeps being emptied until its owner
// is done, and is reused only when every other slot is busy too.
struct PropertySlot {
    xcb_atom_t atom = XCB_NONE;
    bool draining = false;
    Clock::time_point drainingSince;
    unsigned generation = 0;
};

struct DrainCheck {
    unsigned sequence;
    int slot;
    unsigned generation;
};

// Every change of owner: a new one, and one whose window or program went away.
constexpr uint32_t selectionNoticeMask = XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                         XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                         XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE;

} // namespace

struct X11SelectionReader::Private {
    ~Private();

    // GUI thread
    QObject receiver; // queued results land here; destroyed only after the worker has stopped
    PendingReads reads;
    std::function<void(int)> ownerChangeHandler;

    void announceOwnerChanges();

    // shared
    xcb_connection_t* c = nullptr;
    xcb_window_t window = XCB_NONE;
    std::array<xcb_atom_t, AtomCount> atoms{};
    int wakeFd = -1;
    std::thread worker;
    std::mutex mutex;
    struct Request {
        quint64 id;
        std::optional<int> pin; // takeovers seen when a pinned read was asked for
    };
    std::deque<Request> queue; // guarded by mutex
    std::atomic<bool> stopping{false};
    uint8_t ownerNoticeType = 0;  // XFixes selection notice; 0 without XFixes
    uint32_t ourResourceBase = 0; // ids of windows our own process (Qt) creates
    uint32_t ourResourceMask = 0;
    std::atomic<int> ownerChanges{0};
    std::atomic<bool> ownerChangesPosted{false};
    std::atomic<int> takeovers{0}; // other clients taking CLIPBOARD, ever

    void wake();

    // worker thread
    std::array<PropertySlot, propertySlotCount> propertySlots;
    std::vector<DrainCheck> drainChecks;
    std::optional<unsigned> stampSequence;
    std::optional<xcb_timestamp_t> stamp;
    struct PendingConvert {
        xcb_atom_t target;
        xcb_timestamp_t time;
        std::optional<xcb_atom_t> answer;
    };
    std::optional<PendingConvert> pendingConvert;
    // Set while a read gives up on an owner that changes after this server time; ownerMovedOn
    // tells that it did, watchingOwner that the read waits for the owner's answer now.
    std::optional<xcb_timestamp_t> followedSince;
    bool followingNewOwners = false; // else only an owner that leaves ends the wait
    bool ownerMovedOn = false;
    bool watchingOwner = false;
    bool cutShort = false; // the read gave up on an owner that moved on
    // The owner as the notices tell, in server time: the last one, and whether that one took
    // over a clipboard just left.
    KeeperWindow keeper{Pasteboard::keeperDelayMs};
    xcb_window_t lastOwner = XCB_NONE;
    bool lastOwnerRestored = false;

    void run();
    Result readFollowingOwner(std::optional<int> pin);
    Result readOnce(Clock::time_point deadline, bool followOwner, std::optional<int> pin);
    void handleQueuedEvents();
    template <typename Ready> bool waitFor(std::optional<Clock::time_point> deadline, Ready ready);
    void* awaitReply(unsigned sequence, Clock::time_point deadline);
    void handleEvent(xcb_generic_event_t* event);
    void drainChunk(int slot);
    void checkDrains();
    int takeSlot();
    void abandonSlot(int slot);

    enum class Outcome { Data, Refused, TooLarge, Failed };
    struct Transfer {
        Outcome outcome = Outcome::Failed;
        XcbReply<xcb_get_property_reply_t> reply;
    };
    Transfer transfer(xcb_atom_t target, int slot, xcb_timestamp_t time, uint32_t maxLongs,
                      Clock::time_point deadline);
};

X11SelectionReader::Private::~Private() {
    if (worker.joinable()) {
        stopping = true;
        wake();
        worker.join();
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
    if (c) {
        xcb_disconnect(c);
    }
}

void X11SelectionReader::Private::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void X11SelectionReader::Private::announceOwnerChanges() {
    ownerChangesPosted = false;
    const int count = ownerChanges.exchange(0);
    if (count > 0 && ownerChangeHandler) {
        ownerChangeHandler(count);
    }
}

void X11SelectionReader::Private::run() {
    for (;;) {
        std::optional<Request> request;
        {
            std::lock_guard lock(mutex);
            if (!queue.empty()) {
                request = queue.front();
                queue.pop_front();
            }
        }
        if (stopping) {
            return;
        }
        if (!request) {
            // Idle: keep serving abandoned transfers until a request or stop arrives.
            waitFor(std::nullopt, [this] {
                std::lock_guard lock(mutex);
                return !queue.empty();
            });
            continue;
        }
        Result result = readFollowingOwner(request->pin);
        if (stopping) {
            return;
        }
        QMetaObject::invokeMethod(
            &receiver,
            [this, id = request->id, result = std::move(result)]() mutable {
                reads.deliver(id, std::move(result));
            },
            Qt::QueuedConnection);
    }
}

// Serves events and the wake-up fd until ready() holds. False on stop, deadline or a broken
// connection. Events xcb has already queued never wake poll(), hence the draining before it.
template <typename Ready>
bool X11SelectionReader::Private::waitFor(std::optional<Clock::time_point> deadline, Ready ready) {
    for (;;) {
        if (stopping) {
            return false;
        }
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            handleEvent(event);
            std::free(event);
        }
        checkDrains();
        if (ready()) {
            return true;
        }
        if (watchingOwner && ownerMovedOn) {
            cutShort = true;
            return false; // the owner asked will not answer: it is gone, or another took over
        }
        if (xcb_generic_event_t* event = xcb_poll_for_queued_event(c)) {
            handleEvent(event);
            std::free(event);
            continue;
        }
        const bool broken = xcb_connection_has_error(c) != 0;
        if (broken && deadline) {
            return false;
        }
        if (!broken) {
            xcb_flush(c);
        }
        int timeoutMs = -1;
        if (deadline) {
            const auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                return false;
            }
            timeoutMs = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        std::array<pollfd, 2> fds{{{wakeFd, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}}};
        const int n = ::poll(fds.data(), broken ? 1 : 2, timeoutMs);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wakeFd, &count, sizeof count);
        }
    }
}

void* X11SelectionReader::Private::awaitReply(unsigned sequence, Clock::time_point deadline) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    const bool answered =
        waitFor(deadline, [&] { return xcb_poll_for_reply(c, sequence, &reply, &error) != 0; });
    if (!answered) {
        xcb_discard_reply(c, sequence);
        return nullptr;
    }
    std::free(error);
    return reply;
}

void X11SelectionReader::Private::handleEvent(xcb_generic_event_t* event) {
    if (ownerNoticeType != 0 && (event->response_type & 0x7f) == ownerNoticeType) {
        const auto* e = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
        if (e->selection != atoms[ClipboardAtom]) {
            return;
        }
        if (followedSince && int32_t(e->timestamp - *followedSince) > 0 &&
            (followingNewOwners || e->owner == XCB_NONE)) {
            ownerMovedOn = true;
        }
        // The owner comes with the notice: no round trip, whatever the rate of notices.
        const bool ours = e->owner != XCB_NONE && (e->owner & ~ourResourceMask) == ourResourceBase;
        if (e->owner == XCB_NONE) {
            keeper.ownerLeft(e->timestamp);
        } else {
            lastOwnerRestored = keeper.ownerCame(e->timestamp) && !ours;
            lastOwner = e->owner;
        }
        if (ours) {
            return;
        }
        if (e->owner != XCB_NONE) {
            ownerChanges.fetch_add(1);
            takeovers.fetch_add(1);
        }
        if (!ownerChangesPosted.exchange(true)) {
            QMetaObject::invokeMethod(
                &receiver, [this] { announceOwnerChanges(); }, Qt::QueuedConnection);
        }
        return;
    }
    switch (event->response_type & 0x7f) {
    case XCB_PROPERTY_NOTIFY: {
        const auto* e = reinterpret_cast<xcb_property_notify_event_t*>(event);
        if (e->window != window) {
            return;
        }
        if (e->atom == atoms[TimestampAtom]) {
            if (stampSequence && e->sequence == uint16_t(*stampSequence)) {
                stamp = e->time;
                stampSequence.reset();
            }
            return;
        }
        if (e->state != XCB_PROPERTY_NEW_VALUE) {
            return;
        }
        for (int i = 0; i < propertySlotCount; ++i) {
            if (propertySlots[i].atom == e->atom && propertySlots[i].draining) {
                drainChunk(i);
            }
        }
        return;
    }
    case XCB_SELECTION_NOTIFY: {
        const auto* e = reinterpret_cast<xcb_selection_notify_event_t*>(event);
        // The time tells this answer from a late one to an earlier read.
        if (pendingConvert && !pendingConvert->answer && e->requestor == window &&
            e->selection == atoms[ClipboardAtom] && e->target == pendingConvert->target &&
            e->time == pendingConvert->time) {
            pendingConvert->answer = e->property;
        }
        return;
    }
    default:
        return; // errors of requests without replies, and anything else: nothing to do
    }
}

// An owner wrote into a slot nobody reads any more: delete it unread so that the owner goes
// on (and finishes: xclip waits for the deletion of even the empty closing chunk), and look
// at its size to tell that closing chunk.
void X11SelectionReader::Private::drainChunk(int slot) {
    const auto cookie =
        xcb_get_property(c, 0, window, propertySlots[slot].atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 0);
    xcb_delete_property(c, window, propertySlots[slot].atom);
    drainChecks.push_back({cookie.sequence, slot, propertySlots[slot].generation});
}

void X11SelectionReader::Private::checkDrains() {
    while (!drainChecks.empty()) {
        const DrainCheck check = drainChecks.front();
        void* raw = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (!xcb_poll_for_reply(c, check.sequence, &raw, &error)) {
            return; // replies come in order
        }
        drainChecks.erase(drainChecks.begin());
        std::free(error);
        XcbReply<xcb_get_property_reply_t> reply(static_cast<xcb_get_property_reply_t*>(raw));
        PropertySlot& s = propertySlots[check.slot];
        if (reply && s.generation == check.generation && reply->type != XCB_NONE &&
            reply->type != atoms[IncrAtom] && reply->bytes_after == 0) {
            s.draining = false;
        }
    }
}

int X11SelectionReader::Private::takeSlot() {
    int chosen = 0;
    for (int i = 0; i < propertySlotCount; ++i) {
        if (!propertySlots[i].draining) {
            return i;
        }
        if (propertySlots[i].drainingSince < propertySlots[chosen].drainingSince) {
            chosen = i;
        }
    }
    // Every slot is busy: take the longest abandoned one over. Its old owner has had its time.
    PropertySlot& s = propertySlots[chosen];
    s.draining = false;
    ++s.generation;
    xcb_delete_property(c, window, s.atom);
    return chosen;
}

void X11SelectionReader::Private::abandonSlot(int slot) {
    propertySlots[slot].draining = true;
    propertySlots[slot].drainingSince = Clock::now();
    ++propertySlots[slot].generation;
}

X11SelectionReader::Private::Transfer X11SelectionReader::Private::transfer(xcb_atom_t target, int slot,
                                                                            xcb_timestamp_t time,
                                                                            uint32_t maxLongs,
                                                                            Clock::time_point deadline) {
    Transfer result;
    const xcb_atom_t property = propertySlots[slot].atom;
    pendingConvert = PendingConvert{target, time, std::nullopt};
    xcb_convert_selection(c, window, atoms[ClipboardAtom], target, property, time);
    // Once it has answered, the owner may leave: the answer is in our property by then.
    watchingOwner = true;
    const bool answered = waitFor(deadline, [this] { return pendingConvert->answer.has_value(); });
    watchingOwner = false;
    const xcb_atom_t answer = answered ? *pendingConvert->answer : XCB_NONE;
    pendingConvert.reset();
    if (!answered) {
        abandonSlot(slot); // whatever the owner still writes there gets deleted
        return result;
    }
    if (answer == XCB_NONE) {
        result.outcome = Outcome::Refused;
        return result;
    }
    // One look without deleting, so the size is judged before the owner is asked for more
    // (deleting an INCR marker asks for its first chunk).
    const auto cookie = xcb_get_property(c, 0, window, answer, XCB_GET_PROPERTY_TYPE_ANY, 0, maxLongs);
    result.reply.reset(static_cast<xcb_get_property_reply_t*>(awaitReply(cookie.sequence, deadline)));
    if (!result.reply) {
        abandonSlot(slot);
        return result;
    }
    if (result.reply->type == atoms[IncrAtom]) {
        // Refused unread. Left alone, the owner would wait for this transfer for good (xclip
        // answers nobody else meanwhile), so it runs to its end with every chunk deleted unread.
        abandonSlot(slot);
        xcb_delete_property(c, window, answer);
        result.outcome = Outcome::TooLarge;
        return result;
    }
    xcb_delete_property(c, window, answer);
    result.outcome = result.reply->bytes_after > 0 ? Outcome::TooLarge : Outcome::Data;
    return result;
}

// An owner that quits or hands the clipboard on while its copy is read will not finish the
// transfer: the read starts over at once with the new owner, within the same deadline.
// A pinned read never follows: another client's copy since the pin is a newer one.
Result X11SelectionReader::Private::readFollowingOwner(std::optional<int> pin) {
    const auto deadline = Clock::now() + readTimeout;
    for (int follows = 0;; ++follows) {
        if (pin && takeovers > *pin) {
            return Result::of(Kind::Newer);
        }
        ownerMovedOn = false;
        cutShort = false;
        Result result = readOnce(deadline, ownerNoticeType != 0 && follows < maxOwnerFollows, pin);
        followedSince.reset();
        ownerMovedOn = false;
        if (!cutShort || stopping || Clock::now() >= deadline) {
            return result;
        }
    }
}

// Events xcb has read along with a reply: the server sent them before it.
void X11SelectionReader::Private::handleQueuedEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(c)) {
        handleEvent(event);
        std::free(event);
    }
}

Result X11SelectionReader::Private::readOnce(Clock::time_point deadline, bool followOwner,
                                             std::optional<int> pin) {
    if (xcb_connection_has_error(c)) {
        return {};
    }

    const auto ownerCookie = xcb_get_selection_owner(c, atoms[ClipboardAtom]);
    const auto managerCookie = xcb_get_selection_owner(c, atoms[ClipboardManagerAtom]);
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        static_cast<xcb_get_selection_owner_reply_t*>(awaitReply(ownerCookie.sequence, deadline)));
    if (!owner) {
        xcb_discard_reply(c, managerCookie.sequence);
        return {};
    }
    XcbReply<xcb_get_selection_owner_reply_t> manager(
        static_cast<xcb_get_selection_owner_reply_t*>(awaitReply(managerCookie.sequence, deadline)));
    handleQueuedEvents();
    if (pin && takeovers > *pin) {
        return Result::of(Kind::Newer);
    }
    if (owner->owner == XCB_NONE) {
        return Result::of(Kind::NoOwner);
    }
    // Kept alive: taken over just after its owner left, or by the clipboard manager, which
    // takes the copy over from a program that hands it on as it quits (SAVE_TARGETS).
    const bool restored =
        (owner->owner == lastOwner && lastOwnerRestored) || (manager && manager->owner == owner->owner);

    // A real server time for our requests: owners echo it, which tells their answers apart
    // from late ones to an earlier read.
    const auto stampCookie = xcb_change_property(c, XCB_PROP_MODE_APPEND, window, atoms[TimestampAtom],
                                                 XCB_ATOM_STRING, 8, 0, nullptr);
    stamp.reset();
    stampSequence = stampCookie.sequence;
    if (!waitFor(deadline, [this] { return stamp.has_value(); })) {
        stampSequence.reset();
        return {};
    }
    const xcb_timestamp_t time = *stamp;
    if (ownerNoticeType != 0) {
        // Changes noticed late but made before this read do not count. Past its follows a read
        // still ends when the owner leaves: a gone owner never answers.
        followedSince = time;
        followingNewOwners = followOwner;
    }
    const int slot = takeSlot();

    std::vector<xcb_atom_t> offered;
    bool targetsKnown = false;
    {
        Transfer targets = transfer(atoms[TargetsAtom], slot, time, targetsMaxLongs, deadline);
        if (targets.outcome == Outcome::Failed || targets.outcome == Outcome::TooLarge) {
            return {};
        }
        if (targets.outcome == Outcome::Data && targets.reply->format == 32) {
            const auto* list = static_cast<const xcb_atom_t*>(xcb_get_property_value(targets.reply.get()));
            offered.assign(list, list + xcb_get_property_value_length(targets.reply.get()) / 4);
            targetsKnown = true;
        }
    }
    const auto isOffered = [&](xcb_atom_t atom) {
        return !targetsKnown || std::find(offered.begin(), offered.end(), atom) != offered.end();
    };

    if (targetsKnown && isOffered(atoms[PasswordHintAtom])) {
        Transfer hint = transfer(atoms[PasswordHintAtom], slot, time, hintMaxLongs, deadline);
        if (hint.outcome == Outcome::Failed || hint.outcome == Outcome::TooLarge) {
            return {};
        }
        if (hint.outcome == Outcome::Data) {
            const QByteArray value(static_cast<const char*>(xcb_get_property_value(hint.reply.get())),
                                   xcb_get_property_value_length(hint.reply.get()));
            if (value.trimmed() == QByteArrayLiteral("secret")) {
                return {}; // never ask for the text itself
            }
        }
    }

    for (const AtomId target : {Utf8StringAtom, TextPlainUtf8Atom, StringAtom}) {
        if (!isOffered(atoms[target])) {
            continue;
        }
        Transfer text = transfer(atoms[target], slot, time, textMaxLongs, deadline);
        if (text.outcome == Outcome::Refused) {
            continue;
        }
        if (text.outcome != Outcome::Data || text.reply->format != 8) {
            return {};
        }
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(text.reply.get()));
        const int length = xcb_get_property_value_length(text.reply.get());
        if (target == StringAtom) {
            return Result::of(Kind::Text, QString::fromLatin1(bytes, length), restored);
        }
        QStringDecoder decoder(QStringConverter::Utf8,
                               QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        QString decoded = decoder.decode(QByteArrayView(bytes, length));
        if (decoder.hasError()) {
            return {};
        }
        return Result::of(Kind::Text, std::move(decoded), restored);
    }
    return {}; // no text offered: an image, a file list, ...
}

X11SelectionReader::X11SelectionReader() : d(std::make_unique<Private>()) {}
X11SelectionReader::~X11SelectionReader() = default;

std::unique_ptr<X11SelectionReader> X11SelectionReader::create() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    std::unique_ptr<X11SelectionReader> reader(new X11SelectionReader());
    Private& d = *reader->d;
    d.c = c;

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 1; ++i) {
        xcb_screen_next(&screens);
    }
    if (!screens.rem) {
        return nullptr;
    }

    std::array<xcb_intern_atom_cookie_t, AtomCount> cookies{};
    std::vector<std::string> names(fixedAtomNames.begin(), fixedAtomNames.end());
    for (int i = 0; i < propertySlotCount; ++i) {
        names.push_back("_ONDARI_SELECTION_" + std::to_string(i));
    }
    for (int i = 0; i < AtomCount; ++i) {
        cookies[i] = xcb_intern_atom(c, 0, uint16_t(names[i].size()), names[i].c_str());
    }
    for (int i = 0; i < AtomCount; ++i) {
        XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
        if (!reply) {
            return nullptr;
        }
        d.atoms[i] = reply->atom;
    }
    for (int i = 0; i < propertySlotCount; ++i) {
        d.propertySlots[i].atom = d.atoms[FirstSlotAtom + i];
    }

    // One window for the connection's life: an owner still answering a window that is gone
    // fails with BadWindow, and xclip, for one, dies of it and takes the clipboard along.
    d.window = xcb_generate_id(c);
    const uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, d.window, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &eventMask);
    xcb_flush(c);

    d.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wakeFd < 0) {
        return nullptr;
    }

    if (xcb_connection_t* qt = X11Display::connection()) {
        const xcb_setup_t* qtSetup = xcb_get_setup(qt);
        d.ourResourceBase = qtSetup->resource_id_base;
        d.ourResourceMask = qtSetup->resource_id_mask;
    }
    const auto version = xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION);
    XcbReply<xcb_xfixes_query_version_reply_t> xfixes(xcb_xfixes_query_version_reply(c, version, nullptr));
    const xcb_query_extension_reply_t* xfixesData = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (xfixes && xfixesData && xfixesData->present) {
        d.ownerNoticeType = uint8_t(xfixesData->first_event + XCB_XFIXES_SELECTION_NOTIFY);
        xcb_xfixes_select_selection_input(c, d.window, d.atoms[ClipboardAtom], selectionNoticeMask);
        xcb_flush(c);
    }

    d.worker = std::thread([&d] { d.run(); });
    return reader;
}

void X11SelectionReader::setKeeperDelay(int milliseconds) {
    d->keeper.setWindow(uint32_t(milliseconds));
}

void X11SelectionReader::setOwnerChangeHandler(std::function<void(int)> handler) {
    d->ownerChangeHandler = std::move(handler);
}

void X11SelectionReader::read(QObject* context, std::function<void(Pasteboard::Contents)> done, bool pinned) {
    const quint64 id = d->reads.add(context, std::move(done));
    const std::optional<int> pin = pinned ? std::optional<int>(d->takeovers.load()) : std::nullopt;
    {
        std::lock_guard lock(d->mutex);
        d->queue.push_back({id, pin});
    }
    d->wake();
}
