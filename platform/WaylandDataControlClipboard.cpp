#include "WaylandDataControlClipboard.h"

#include "KeeperWindow.h"
#include "Pasteboard.h"
#include "PendingReads.h"

#include <QByteArray>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <wayland-client.h>

#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using Result = Pasteboard::Contents;
using Kind = Pasteboard::Contents::Kind;

constexpr auto readTimeout = std::chrono::milliseconds(Pasteboard::readTimeoutMs);
// The compositor answers its globals in a few milliseconds; one that does not is no use.
constexpr auto setupTimeout = std::chrono::milliseconds(1000);
// A reader that takes our text this slowly has given up on it.
constexpr auto sendTimeout = std::chrono::milliseconds(Pasteboard::readTimeoutMs);
constexpr qsizetype hintMaxBytes = 64;

const char* const passwordHintType = "x-kde-passwordManagerHint";
// The UTF-8 text types, in the order asked for.
constexpr std::array<const char*, 2> textTypes = {"text/plain;charset=utf-8", "UTF8_STRING"};
// What our own selection offers besides the marker that tells it apart.
constexpr std::array<const char*, 3> offeredTypes = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};
// Our own selections offer this type with a suffix of their own.
constexpr char markerPrefix[] = "application/x-ondari-source-";

// The steady clock in milliseconds, wrapping as the keeper's window expects.
uint32_t steadyMs() {
    return uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

void drainSigpipe() {
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    const timespec zero{};
    while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
    }
}

} // namespace

struct WaylandDataControlClipboard::Private {
    ~Private();

    // GUI thread
    QObject receiver; // queued work lands here; destroyed only after the worker has stopped
    std::function<void()> changed;
    PendingReads reads;

    // shared
    struct Command {
        quint64 readId = 0; // 0: a write of text
        std::string text;
        std::optional<int> pin; // selections seen when a pinned read was asked for
    };
    wl_display* display = nullptr;
    int wakeFd = -1;
    std::thread worker;
    std::mutex mutex;
    std::deque<Command> queue; // guarded by mutex
    std::atomic<bool> stopping{false};
    std::atomic<int> takeovers{0}; // other clients' selections, ever

    void wake();

    // worker thread (and the creating thread before the worker starts)
    struct Offer {
        zwlr_data_control_offer_v1* proxy = nullptr;
        std::vector<std::string> types;
        bool stale = false;    // replaced while a read held it
        bool restored = false; // came right after the selection had gone empty

        bool offers(const char* type) const {
            return std::find(types.begin(), types.end(), type) != types.end();
        }
    };
    struct PendingSend {
        int fd;
        std::shared_ptr<const std::string> data;
        size_t written;
        Clock::time_point deadline;
    };
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    zwlr_data_control_device_v1* device = nullptr;
    bool deviceFinished = false;
    bool initialised = false; // the selection announced at binding is not a copy
    std::string marker;
    std::vector<std::unique_ptr<Offer>> offers;
    Offer* current = nullptr;
    Offer* pinned = nullptr;
    KeeperWindow keeper{Pasteboard::keeperDelayMs}; // on the steady clock
    zwlr_data_control_source_v1* source = nullptr;
    std::shared_ptr<const std::string> sourceText;
    std::vector<PendingSend> sends;
    std::map<wl_callback*, quint64> syncs;
    quint64 syncsIssued = 0;
    quint64 syncsDone = 0;

    bool broken() const { return wl_display_get_error(display) != 0; }
    bool roundtrip(Clock::time_point deadline);
    template <typename Ready>
    bool waitFor(std::optional<Clock::time_point> deadline, Ready ready, int readFd = -1);
    void serviceSends();
    void run();
    Result readOnce(std::optional<int> pin);
    void writeSelection(const std::string& text);
    void destroyOffer(Offer* offer);
    bool isOwn(const Offer* offer) const;

    enum class Outcome { Data, TooLarge, Failed };
    Outcome receive(Offer* offer, const char* type, qsizetype maxBytes, Clock::time_point deadline,
                    QByteArray* data);

    // protocol callbacks
    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t version);
    static void onGlobalRemove(void*, wl_registry*, uint32_t) {}
    static void onSyncDone(void* data, wl_callback* callback, uint32_t);
    static void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer);
    static void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer);
    static void onFinished(void* data, zwlr_data_control_device_v1*);
    static void onPrimarySelection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer);
    static void onOfferType(void* data, zwlr_data_control_offer_v1*, const char* type);
    static void onSend(void* data, zwlr_data_control_source_v1* source, const char* type, int32_t fd);
    static void onCancelled(void* data, zwlr_data_control_source_v1* source);

    static const wl_registry_listener registryListener;
    static const wl_callback_listener syncListener;
    static const zwlr_data_control_device_v1_listener deviceListener;
    static const zwlr_data_control_offer_v1_listener offerListener;
    static const zwlr_data_control_source_v1_listener sourceListener;
};

const wl_registry_listener WaylandDataControlClipboard::Private::registryListener = {&onGlobal,
                                                                                     &onGlobalRemove};
const wl_callback_listener WaylandDataControlClipboard::Private::syncListener = {&onSyncDone};
const zwlr_data_control_device_v1_listener WaylandDataControlClipboard::Private::deviceListener = {
    &onDataOffer, &onSelection, &onFinished, &onPrimarySelection};
const zwlr_data_control_offer_v1_listener WaylandDataControlClipboard::Private::offerListener = {
    &onOfferType};
const zwlr_data_control_source_v1_listener WaylandDataControlClipboard::Private::sourceListener = {
    &onSend, &onCancelled};

WaylandDataControlClipboard::Private::~Private() {
    if (worker.joinable()) {
        stopping = true;
        wake();
        worker.join();
    }
    for (PendingSend& send : sends) {
        ::close(send.fd);
    }
    if (display) {
        for (const auto& [callback, number] : syncs) {
            wl_callback_destroy(callback);
        }
        for (const auto& offer : offers) {
            zwlr_data_control_offer_v1_destroy(offer->proxy);
        }
        if (source) {
            zwlr_data_control_source_v1_destroy(source);
        }
        if (device) {
            zwlr_data_control_device_v1_destroy(device);
        }
        if (manager) {
            zwlr_data_control_manager_v1_destroy(manager);
        }
        if (seat) {
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(seat));
        }
        if (registry) {
            wl_registry_destroy(registry);
        }
        wl_display_flush(display);
        wl_display_disconnect(display);
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

void WaylandDataControlClipboard::Private::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void WaylandDataControlClipboard::Private::onGlobal(void* data, wl_registry* registry, uint32_t name,
                                                    const char* interface, uint32_t version) {
    auto* d = static_cast<Private*>(data);
    if (!d->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        d->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (!d->manager && std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 &&
               version >= 1) {
        // Version 1: the clipboard alone, no primary-selection offers to look after.
        d->manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }
}

void WaylandDataControlClipboard::Private::onSyncDone(void* data, wl_callback* callback, uint32_t) {
    auto* d = static_cast<Private*>(data);
    const auto it = d->syncs.find(callback);
    if (it != d->syncs.end()) {
        d->syncsDone = std::max(d->syncsDone, it->second);
        d->syncs.erase(it);
    }
    wl_callback_destroy(callback);
}

void WaylandDataControlClipboard::Private::onDataOffer(void* data, zwlr_data_control_device_v1*,
                                                       zwlr_data_control_offer_v1* proxy) {
    auto* d = static_cast<Private*>(data);
    auto offer = std::make_unique<Offer>();
    offer->proxy = proxy;
    zwlr_data_control_offer_v1_add_listener(proxy, &offerListener, offer.get());
    d->offers.push_back(std::move(offer));
}

void WaylandDataControlClipboard::Private::onOfferType(void* data, zwlr_data_control_offer_v1*,
                                                       const char* type) {
    auto* offer = static_cast<Offer*>(data);
    // Only the few types we look at are kept, so an offer cannot grow without bound.
    const bool wanted = std::strcmp(type, passwordHintType) == 0 ||
                        std::any_of(textTypes.begin(), textTypes.end(),
                                    [type](const char* t) { return std::strcmp(type, t) == 0; }) ||
                        std::strncmp(type, markerPrefix, sizeof markerPrefix - 1) == 0;
    if (wanted && offer->types.size() < 16) {
        offer->types.emplace_back(type);
    }
}

void WaylandDataControlClipboard::Private::onSelection(void* data, zwlr_data_control_device_v1*,
                                                       zwlr_data_control_offer_v1* proxy) {
    auto* d = static_cast<Private*>(data);
    Offer* next = proxy ? static_cast<Offer*>(zwlr_data_control_offer_v1_get_user_data(proxy)) : nullptr;
    Offer* previous = d->current;
    d->current = next;
    if (previous && previous != next) {
        if (previous == d->pinned) {
            previous->stale = true;
        } else {
            d->destroyOffer(previous);
        }
    }
    if (!next) {
        d->keeper.ownerLeft(steadyMs());
        return; // its owner left: nobody copied anything
    }
    const bool own = d->isOwn(next);
    next->restored = d->keeper.ownerCame(steadyMs()) && !own;
    if (!d->initialised || own) {
        return;
    }
    d->takeovers.fetch_add(1);
    QMetaObject::invokeMethod(
        &d->receiver,
        [d] {
            if (d->changed) {
                d->changed();
            }
        },
        Qt::QueuedConnection);
}

void WaylandDataControlClipboard::Private::onFinished(void* data, zwlr_data_control_device_v1*) {
    static_cast<Private*>(data)->deviceFinished = true;
}

void WaylandDataControlClipboard::Private::onPrimarySelection(void* data, zwlr_data_control_device_v1*,
                                                              zwlr_data_control_offer_v1* proxy) {
    // Not asked for (version 1), but an offer that comes must still be let go.
    auto* d = static_cast<Private*>(data);
    if (proxy) {
        d->destroyOffer(static_cast<Offer*>(zwlr_data_control_offer_v1_get_user_data(proxy)));
    }
}

void WaylandDataControlClipboard::Private::onSend(void* data, zwlr_data_control_source_v1* source,
                                                  const char*, int32_t fd) {
    auto* d = static_cast<Private*>(data);
    if (source != d->source || !d->sourceText) {
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    d->sends.push_back({fd, d->sourceText, 0, Clock::now() + sendTimeout});
}

void WaylandDataControlClipboard::Private::onCancelled(void* data, zwlr_data_control_source_v1* source) {
    auto* d = static_cast<Private*>(data);
    if (source == d->source) {
        d->source = nullptr;
        d->sourceText.reset();
    }
    zwlr_data_control_source_v1_destroy(source);
}

void WaylandDataControlClipboard::Private::destroyOffer(Offer* offer) {
    if (!offer) {
        return;
    }
    if (offer == current) {
        current = nullptr;
    }
    zwlr_data_control_offer_v1_destroy(offer->proxy);
    offers.erase(
        std::remove_if(offers.begin(), offers.end(), [offer](const auto& o) { return o.get() == offer; }),
        offers.end());
}

bool WaylandDataControlClipboard::Private::isOwn(const Offer* offer) const {
    return source && offer->offers(marker.c_str());
}

bool WaylandDataControlClipboard::Private::roundtrip(Clock::time_point deadline) {
    wl_callback* callback = wl_display_sync(display);
    if (!callback) {
        return false;
    }
    const quint64 number = ++syncsIssued;
    syncs.emplace(callback, number);
    wl_callback_add_listener(callback, &syncListener, this);
    return waitFor(deadline, [this, number] { return syncsDone >= number; });
}

// Serves the connection, our pending sends and the wake-up fd until ready() holds. False on
// stop, deadline or a broken connection.
template <typename Ready>
bool WaylandDataControlClipboard::Private::waitFor(std::optional<Clock::time_point> deadline, Ready ready,
                                                   int readFd) {
    for (;;) {
        if (stopping) {
            return false;
        }
        const bool isBroken = broken();
        bool prepared = false;
        if (!isBroken) {
            while (wl_display_prepare_read(display) != 0) {
                if (wl_display_dispatch_pending(display) < 0) {
                    break;
                }
            }
            prepared = !broken();
        }
        serviceSends();
        if (ready()) {
            if (prepared) {
                wl_display_cancel_read(display);
            }
            return true;
        }
        if (isBroken && deadline) {
            return false;
        }
        short displayEvents = POLLIN;
        if (prepared && wl_display_flush(display) < 0 && errno == EAGAIN) {
            displayEvents |= POLLOUT;
        }
        int timeoutMs = -1;
        const auto now = Clock::now();
        std::optional<Clock::time_point> wakeAt = deadline;
        for (const PendingSend& send : sends) {
            wakeAt = wakeAt ? std::min(*wakeAt, send.deadline) : send.deadline;
        }
        if (wakeAt) {
            if (deadline && *deadline <= now) {
                if (prepared) {
                    wl_display_cancel_read(display);
                }
                return false;
            }
            timeoutMs = int(
                std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count()));
        }
        std::vector<pollfd> fds;
        fds.push_back({wakeFd, POLLIN, 0});
        fds.push_back({prepared ? wl_display_get_fd(display) : -1, displayEvents, 0});
        fds.push_back({readFd, POLLIN, 0});
        for (const PendingSend& send : sends) {
            fds.push_back({send.fd, POLLOUT, 0});
        }
        const int n = ::poll(fds.data(), nfds_t(fds.size()), timeoutMs);
        if (prepared) {
            if (n > 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP))) {
                wl_display_read_events(display);
            } else {
                wl_display_cancel_read(display);
            }
            wl_display_dispatch_pending(display);
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wakeFd, &count, sizeof count);
        }
    }
}

void WaylandDataControlClipboard::Private::serviceSends() {
    const auto now = Clock::now();
    for (auto it = sends.begin(); it != sends.end();) {
        bool finished = now > it->deadline;
        while (!finished && it->written < it->data->size()) {
            const ssize_t n = ::write(it->fd, it->data->data() + it->written, it->data->size() - it->written);
            if (n > 0) {
                it->written += size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n < 0 && errno == EPIPE) {
                    drainSigpipe(); // the reader left early; not our fault, not fatal
                }
                finished = n == 0 || errno != EAGAIN;
                break;
            }
        }
        if (finished || it->written >= it->data->size()) {
            ::close(it->fd);
            it = sends.erase(it);
        } else {
            ++it;
        }
    }
}

void WaylandDataControlClipboard::Private::run() {
    // A reader that closes its end early must not end the program.
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);

    for (;;) {
        std::optional<Command> command;
        {
            std::lock_guard lock(mutex);
            if (!queue.empty()) {
                command = std::move(queue.front());
                queue.pop_front();
            }
        }
        if (stopping) {
            return;
        }
        if (!command) {
            // Idle: keep watching the selection and serving our own until work or stop arrives.
            waitFor(std::nullopt, [this] {
                std::lock_guard lock(mutex);
                return !queue.empty();
            });
            continue;
        }
        if (command->readId == 0) {
            writeSelection(command->text);
            continue;
        }
        Result result = readOnce(command->pin);
        if (stopping) {
            return;
        }
        QMetaObject::invokeMethod(
            &receiver,
            [this, id = command->readId, result = std::move(result)]() mutable {
                reads.deliver(id, std::move(result));
            },
            Qt::QueuedConnection);
    }
}

void WaylandDataControlClipboard::Private::writeSelection(const std::string& text) {
    if (broken() || deviceFinished) {
        return;
    }
    zwlr_data_control_source_v1* next = zwlr_data_control_manager_v1_create_data_source(manager);
    zwlr_data_control_source_v1_add_listener(next, &sourceListener, this);
    for (const char* type : offeredTypes) {
        zwlr_data_control_source_v1_offer(next, type);
    }
    zwlr_data_control_source_v1_offer(next, marker.c_str());
    zwlr_data_control_device_v1_set_selection(device, next);
    if (source) {
        zwlr_data_control_source_v1_destroy(source);
    }
    source = next;
    sourceText = std::make_shared<const std::string>(text);
    wl_display_flush(display);
}

WaylandDataControlClipboard::Private::Outcome
WaylandDataControlClipboard::Private::receive(Offer* offer, const char* type, qsizetype maxBytes,
                                              Clock::time_point deadline, QByteArray* data) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return Outcome::Failed;
    }
    // The request carries a duplicate of the write end; ours must go, or the end never comes.
    zwlr_data_control_offer_v1_receive(offer->proxy, type, fds[1]);
    ::close(fds[1]);

    enum class State { Reading, Done, TooLarge, Failed } state = State::Reading;
    std::array<char, 4096> buffer{};
    const bool finished = waitFor(
        deadline,
        [&] {
            while (state == State::Reading) {
                const qsizetype room = maxBytes + 1 - data->size();
                const ssize_t n =
                    ::read(fds[0], buffer.data(), size_t(std::min<qsizetype>(room, buffer.size())));
                if (n > 0) {
                    data->append(buffer.data(), qsizetype(n));
                    if (data->size() > maxBytes) {
                        state = State::TooLarge; // refused unread: the rest never comes in
                    }
                } else if (n == 0) {
                    state = State::Done;
                } else if (errno == EAGAIN) {
                    return false;
                } else if (errno != EINTR) {
                    state = State::Failed;
                }
            }
            return true;
        },
        fds[0]);
    ::close(fds[0]);
    if (!finished || state == State::Failed) {
        return Outcome::Failed;
    }
    return state == State::TooLarge ? Outcome::TooLarge : Outcome::Data;
}

// A pinned read never reads a newer selection than the one at its pin; the compositor tells
// no time, so one it announced late counts as newer too.
Result WaylandDataControlClipboard::Private::readOnce(std::optional<int> pin) {
    if (broken() || deviceFinished) {
        return {};
    }
    const auto deadline = Clock::now() + readTimeout;
    // Everything the compositor said before now has arrived, our own latest write included.
    if (!roundtrip(deadline)) {
        return {};
    }
    if (pin && takeovers > *pin) {
        return Result::of(Kind::Newer);
    }
    Offer* offer = current;
    if (!offer) {
        return Result::of(Kind::NoOwner);
    }
    if (isOwn(offer)) {
        const std::string& text = *sourceText;
        if (qsizetype(text.size()) > Pasteboard::maxReadBytes) {
            return {};
        }
        return Result::of(Kind::Text, QString::fromStdString(text));
    }

    pinned = offer; // a new selection meanwhile must not free the one being read
    Result result;
    bool secret = false;
    if (offer->offers(passwordHintType)) {
        QByteArray hint;
        const Outcome outcome = receive(offer, passwordHintType, hintMaxBytes, deadline, &hint);
        secret = outcome != Outcome::Data || hint.trimmed() == QByteArrayLiteral("secret");
    }
    if (!secret) {
        for (const char* type : textTypes) {
            if (!offer->offers(type)) {
                continue;
            }
            QByteArray bytes;
            if (receive(offer, type, Pasteboard::maxReadBytes, deadline, &bytes) == Outcome::Data) {
                QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                                   QStringConverter::Flag::ConvertInitialBom);
                QString decoded = decoder.decode(bytes);
                if (!decoder.hasError()) {
                    result = Result::of(Kind::Text, std::move(decoded), offer->restored);
                }
            }
            break; // one text type answered, well or badly: no second try
        }
    }
    pinned = nullptr;
    if (offer->stale) {
        destroyOffer(offer);
    }
    return result;
}

WaylandDataControlClipboard::WaylandDataControlClipboard() : d(std::make_unique<Private>()) {}
WaylandDataControlClipboard::~WaylandDataControlClipboard() = default;

std::unique_ptr<WaylandDataControlClipboard>
WaylandDataControlClipboard::create(std::function<void()> changed) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        return nullptr;
    }
    std::unique_ptr<WaylandDataControlClipboard> clipboard(new WaylandDataControlClipboard());
    Private& d = *clipboard->d;
    d.display = display;
    d.changed = std::move(changed);
    static std::atomic<int> instances{0};
    d.marker = markerPrefix + std::to_string(::getpid()) + "-" + std::to_string(++instances);
    d.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wakeFd < 0) {
        return nullptr;
    }

    const auto deadline = Clock::now() + setupTimeout;
    d.registry = wl_display_get_registry(display);
    wl_registry_add_listener(d.registry, &Private::registryListener, &d);
    if (!d.roundtrip(deadline) || !d.seat || !d.manager) {
        return nullptr;
    }
    d.device = zwlr_data_control_manager_v1_get_data_device(d.manager, d.seat);
    zwlr_data_control_device_v1_add_listener(d.device, &Private::deviceListener, &d);
    // The device announces the selection it finds; that one is no copy.
    if (!d.roundtrip(deadline) || d.deviceFinished) {
        return nullptr;
    }
    d.initialised = true;

    d.worker = std::thread([&d] { d.run(); });
    return clipboard;
}

void WaylandDataControlClipboard::setKeeperDelay(int milliseconds) {
    d->keeper.setWindow(uint32_t(milliseconds));
}

void WaylandDataControlClipboard::read(QObject* context, std::function<void(Pasteboard::Contents)> done,
                                       bool pinned) {
    const quint64 id = d->reads.add(context, std::move(done));
    const std::optional<int> pin = pinned ? std::optional<int>(d->takeovers.load()) : std::nullopt;
    {
        std::lock_guard lock(d->mutex);
        d->queue.push_back({id, {}, pin});
    }
    d->wake();
}

void WaylandDataControlClipboard::write(const QString& text) {
    {
        std::lock_guard lock(d->mutex);
        d->queue.push_back({0, text.toStdString(), std::nullopt});
    }
    d->wake();
}
