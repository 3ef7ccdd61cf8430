// The Winsock event model on epoll: event objects, WSAEventSelect and its
// recording rules, WSAEnumNetworkEvents and WSAWaitForMultipleEvents.
//
// An event object is a flag; no descriptor stands behind it. Setting one
// wakes its home Sleeper only if that thread sleeps (an atomic flag is
// checked first), so a wake-up costs one write on the setter's side and none
// when the waiter is awake; the waiter's side is its epoll_wait, which it does
// anyway (the eventfd is edge-triggered and never read).
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/winsock.h"
#include "platform/winsock_events_internal.h"

namespace morvex::platform {
namespace detail {

// One per thread that blocks in WSAWaitForMultipleEvents; recycled (never
// freed) when the thread ends, so a setter holding a stale home pointer at
// worst wakes the next user once.
struct Sleeper {
    int epfd = -1;
    int wakefd = -1;
    std::atomic<bool> sleeping{false};
    EventObject* homed = nullptr;  // events whose sockets sit in this epoll; registry lock
    Sleeper* nextFree = nullptr;
};

namespace {

constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
constexpr int kBatch = 64;

Sleeper* s_freeSleepers = nullptr;  // registry lock

std::uint64_t epollTag(int fd, const SocketRecord& rec) noexcept {
    return (rec.generation << 32) | static_cast<std::uint32_t>(fd);
}

void leaveEpollLocked(int fd, SocketRecord& rec) noexcept {
    if (!rec.epollIn) return;
    ::epoll_ctl(rec.epollIn->epfd, EPOLL_CTL_DEL, fd, nullptr);
    rec.epollIn = nullptr;
    rec.epollMask = 0;
}

void wakeHome(EventObject* ev) noexcept {
    Sleeper* home = ev->home.load(std::memory_order_seq_cst);
    if (home && home->sleeping.exchange(false, std::memory_order_seq_cst)) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(home->wakefd, &one, sizeof one);
    }
}

void signal(EventObject* ev) noexcept {
    if (!ev->signalled.exchange(true, std::memory_order_seq_cst)) wakeHome(ev);
}

// The epoll conditions a socket still waits for; 0 keeps it out of epoll.
std::uint32_t wantedLocked(const SocketRecord& rec) noexcept {
    if (!rec.event || rec.hungUp) return 0;
    if (rec.listening) return (rec.acceptArmed && (rec.mask & FD_ACCEPT)) ? std::uint32_t{EPOLLIN} : 0u;
    if (rec.connecting) return (rec.mask & (FD_CONNECT | FD_WRITE)) ? std::uint32_t{EPOLLOUT} : 0u;
    if (!rec.connected) return 0;
    std::uint32_t ev = 0;
    if (!rec.eof) {
        if (rec.readArmed && (rec.mask & FD_READ)) ev |= EPOLLIN;
        if (!rec.closeRecorded && (rec.mask & FD_CLOSE)) ev |= EPOLLRDHUP;
    }
    if (rec.writeArmed && (rec.mask & FD_WRITE)) ev |= EPOLLOUT;
    return ev;
}

// Turns readiness into recorded network events, following Windows'
// re-enabling rules. revents holds only conditions still armed (and errors).
void processLocked(int fd, SocketRecord& rec, std::uint32_t revents) noexcept {
    if (rec.listening) {
        if (rec.acceptArmed && recordLocked(rec, FD_ACCEPT_BIT, 0)) rec.acceptArmed = false;
        return;
    }
    if (rec.connecting) {
        int err = takeSocketError(fd);
        rec.connecting = false;
        rec.connectReported = true;
        if (err == 0) {
            rec.connected = true;
            recordLocked(rec, FD_CONNECT_BIT, 0);
            if (recordLocked(rec, FD_WRITE_BIT, 0)) rec.writeArmed = false;
        } else {
            recordLocked(rec, FD_CONNECT_BIT, static_cast<int>(WinsockErrorFromErrno(err)));
            rec.hungUp = true;
        }
        return;
    }
    if (!rec.connected) return;
    if (revents & EPOLLERR) {
        int err = takeSocketError(fd);
        int code = err ? static_cast<int>(WinsockErrorFromErrno(err)) : 0;
        if (code) rec.pendingError = code;
        recordCloseLocked(rec, code);
        rec.eof = true;
        rec.hungUp = true;
        return;
    }
    const bool hup = revents & (EPOLLRDHUP | EPOLLHUP);
    if (revents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        // Readable without a hang-up is data; only at the end of the stream
        // is it worth asking how much is left.
        const int avail = hup ? bytesAvailable(fd) : 1;
        if (avail > 0 && rec.readArmed && recordLocked(rec, FD_READ_BIT, 0)) rec.readArmed = false;
        if (hup) {
            rec.eof = true;
            recordCloseLocked(rec, 0);
        }
    }
    if (revents & EPOLLHUP) rec.hungUp = true;
    if ((revents & EPOLLOUT) && rec.writeArmed && recordLocked(rec, FD_WRITE_BIT, 0)) rec.writeArmed = false;
}

// One readiness report from an epoll: records, then narrows the registration
// if the report held conditions that were not armed (level-triggered epoll
// would report them again and again). A condition that was armed and just
// got recorded stays registered: the usual recv re-arms it before the next
// wait, so the common cycle costs no epoll_ctl.
void reportedLocked(int fd, SocketRecord& rec, std::uint32_t events) noexcept {
    const std::uint32_t armed = wantedLocked(rec);
    const std::uint32_t use = events & (armed | EPOLLERR | EPOLLHUP);
    if (use) processLocked(fd, rec, use);
    if (!rec.epollIn) return;
    const bool stale = (events & ~(armed | EPOLLERR | EPOLLHUP)) != 0 || armed == 0;
    if (!stale) return;
    const std::uint32_t want = wantedLocked(rec);
    if (!want) {
        leaveEpollLocked(fd, rec);
        return;
    }
    epoll_event e{};
    e.events = want;
    e.data.u64 = epollTag(fd, rec);
    if (::epoll_ctl(rec.epollIn->epfd, EPOLL_CTL_MOD, fd, &e) == 0) rec.epollMask = want;
}

void processReady(const epoll_event* events, int n) noexcept {
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kWakeTag) continue;
        const int fd = static_cast<int>(static_cast<std::uint32_t>(tag));
        SocketRecord* rec = findLocked(fd);
        // The socket may have been closed (and its descriptor reused) meanwhile.
        if (!rec || epollTag(fd, *rec) != tag) continue;
        reportedLocked(fd, *rec, events[i].events);
    }
}

void unhomeLocked(EventObject* ev) noexcept {
    Sleeper* home = ev->home.load(std::memory_order_relaxed);
    if (!home) return;
    if (ev->homePrev)
        ev->homePrev->homeNext = ev->homeNext;
    else
        home->homed = ev->homeNext;
    if (ev->homeNext) ev->homeNext->homePrev = ev->homePrev;
    ev->homePrev = ev->homeNext = nullptr;
    ev->home.store(nullptr, std::memory_order_seq_cst);
}

// Makes me the event's home and moves its sockets into my epoll.
void adoptLocked(EventObject* ev, Sleeper* me) noexcept {
    if (ev->home.load(std::memory_order_relaxed) == me) return;
    unhomeLocked(ev);
    ev->homeNext = me->homed;
    if (me->homed) me->homed->homePrev = ev;
    me->homed = ev;
    ev->home.store(me, std::memory_order_seq_cst);
    for (int fd : ev->sockets)
        if (SocketRecord* rec = findLocked(fd)) syncLocked(fd, *rec);
}

Sleeper* acquireSleeper() noexcept {
    std::lock_guard<std::mutex> lock(registry().mutex);
    if (Sleeper* s = s_freeSleepers) {
        s_freeSleepers = s->nextFree;
        s->nextFree = nullptr;
        return s;
    }
    auto* s = new (std::nothrow) Sleeper;
    if (!s) {
        WSASetLastError(WSAENOBUFS);
        return nullptr;
    }
    s->epfd = ::epoll_create1(EPOLL_CLOEXEC);
    s->wakefd = s->epfd < 0 ? -1 : ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN | EPOLLET;  // every write is an edge: the counter is never read
    e.data.u64 = kWakeTag;
    if (s->wakefd < 0 || ::epoll_ctl(s->epfd, EPOLL_CTL_ADD, s->wakefd, &e) != 0) {
        failErrno();
        if (s->wakefd >= 0) ::close(s->wakefd);
        if (s->epfd >= 0) ::close(s->epfd);
        delete s;
        return nullptr;
    }
    return s;
}

// The thread's Sleeper goes back to the pool when the thread ends; the
// events it was home to lose their home (the next blocking wait adopts them).
void retireSleeper(Sleeper* s) noexcept {
    std::lock_guard<std::mutex> lock(registry().mutex);
    while (EventObject* ev = s->homed) {
        unhomeLocked(ev);
        for (int fd : ev->sockets)
            if (SocketRecord* rec = findLocked(fd)) leaveEpollLocked(fd, *rec);
    }
    s->sleeping.store(false);
    s->nextFree = s_freeSleepers;
    s_freeSleepers = s;
}

struct ThreadSleeper {
    Sleeper* sleeper = nullptr;
    ~ThreadSleeper() {
        if (sleeper) retireSleeper(sleeper);
        sleeper = nullptr;
    }
};

thread_local ThreadSleeper t_sleeper;

Sleeper* currentSleeper() noexcept {
    if (!t_sleeper.sleeper) t_sleeper.sleeper = acquireSleeper();
    return t_sleeper.sleeper;
}

int firstSignalled(std::uint32_t count, const WSAEVENT* events) noexcept {
    for (std::uint32_t i = 0; i < count; ++i)
        if (events[i]->signalled.load(std::memory_order_seq_cst)) return static_cast<int>(i);
    return -1;
}

std::uint64_t monotonicMs() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// Collects what the thread's epoll has ready without sleeping.
void drain(Sleeper* me) noexcept {
    epoll_event events[kBatch];
    const int n = ::epoll_wait(me->epfd, events, kBatch, 0);
    if (n > 0) processReady(events, n);
}

}  // namespace

// ---- registry and recording ----

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: sockets may be used during exit
    return *r;
}

int fail(int wsaCode) noexcept {
    WSASetLastError(wsaCode);
    return SOCKET_ERROR;
}

int failErrno() noexcept {
    return fail(static_cast<int>(WinsockErrorFromErrno(errno)));
}

SocketRecord* findLocked(int fd) noexcept {
    Registry& reg = registry();
    if (fd < 0 || static_cast<std::size_t>(fd) >= reg.byFd.size()) return nullptr;
    return reg.byFd[static_cast<std::size_t>(fd)];
}

SocketRecord* getOrCreateLocked(int fd) {
    if (SocketRecord* rec = findLocked(fd)) return rec;
    Registry& reg = registry();
    if (static_cast<std::size_t>(fd) >= reg.byFd.size()) reg.byFd.resize(static_cast<std::size_t>(fd) + 64, nullptr);
    auto* rec = new (std::nothrow) SocketRecord;
    if (!rec) return nullptr;
    rec->generation = reg.nextGeneration++ & 0xFFFFFFFFu;
    reg.byFd[static_cast<std::size_t>(fd)] = rec;
    return rec;
}

void unbindLocked(int fd, SocketRecord& rec) noexcept {
    leaveEpollLocked(fd, rec);
    if (!rec.event) return;
    auto& list = rec.event->sockets;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == fd) {
            list[i] = list.back();
            list.pop_back();
            break;
        }
    }
    rec.event = nullptr;
}

void dropLocked(int fd) noexcept {
    SocketRecord* rec = findLocked(fd);
    if (!rec) return;
    unbindLocked(fd, *rec);
    registry().byFd[static_cast<std::size_t>(fd)] = nullptr;
    delete rec;
}

bool recordLocked(SocketRecord& rec, int bit, int error) noexcept {
    long flag = 1L << bit;
    if (!(rec.mask & flag)) return false;
    rec.recorded |= flag;
    rec.errors[bit] = error;
    if (rec.event) signal(rec.event);
    return true;
}

void recordCloseLocked(SocketRecord& rec, int error) noexcept {
    if (rec.closeRecorded) return;
    if (recordLocked(rec, FD_CLOSE_BIT, error)) rec.closeRecorded = true;
}

int bytesAvailable(int fd) noexcept {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

int takeSocketError(int fd) noexcept {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

void probeLocked(int fd, SocketRecord& rec) noexcept {
    if (rec.connectError && !rec.connectReported) {
        if (recordLocked(rec, FD_CONNECT_BIT, rec.connectError)) rec.connectReported = true;
        return;
    }
    if (rec.connected && rec.eof) {
        recordCloseLocked(rec, rec.pendingError);
        if (rec.readArmed && !rec.hungUp && bytesAvailable(fd) > 0 && recordLocked(rec, FD_READ_BIT, 0))
            rec.readArmed = false;
    }
    const std::uint32_t wanted = wantedLocked(rec);
    if (!wanted) return;
    pollfd p{fd, static_cast<short>(wanted), 0};
    if (::poll(&p, 1, 0) == 1 && p.revents)
        processLocked(fd, rec, static_cast<std::uint32_t>(static_cast<std::uint16_t>(p.revents)));
}

void syncLocked(int fd, SocketRecord& rec) noexcept {
    Sleeper* target = rec.event ? rec.event->home.load(std::memory_order_relaxed) : nullptr;
    if (rec.epollIn && rec.epollIn != target) leaveEpollLocked(fd, rec);
    if (!target) return;
    const std::uint32_t want = wantedLocked(rec);
    if (!want || (rec.epollIn == target && !(want & ~rec.epollMask))) return;
    epoll_event e{};
    e.events = want;
    e.data.u64 = epollTag(fd, rec);
    int op = rec.epollIn ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int rc = ::epoll_ctl(target->epfd, op, fd, &e);
    if (rc != 0 && op == EPOLL_CTL_ADD && errno == EEXIST) rc = ::epoll_ctl(target->epfd, EPOLL_CTL_MOD, fd, &e);
    if (rc != 0) {
        // The socket cannot be watched (no memory, too many watches): end it
        // the way Windows ends a connection, so that its owner finishes.
        const int code = static_cast<int>(WinsockErrorFromErrno(errno));
        rec.pendingError = code;
        recordCloseLocked(rec, code);
        rec.eof = true;
        rec.hungUp = true;
        return;
    }
    rec.epollIn = target;
    rec.epollMask = want;
}

}  // namespace detail

using namespace detail;

// ---- event objects ----

WSAEVENT WSACreateEvent() noexcept {
    auto* ev = new (std::nothrow) EventObject;
    if (!ev) {
        fail(WSAENOBUFS);
        return WSA_INVALID_EVENT;
    }
    return ev;
}

bool WSACloseEvent(WSAEVENT event) noexcept {
    if (!event) {
        fail(WSAEINVAL);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        for (int fd : event->sockets) {
            if (SocketRecord* rec = findLocked(fd)) {
                leaveEpollLocked(fd, *rec);
                rec->event = nullptr;
            }
        }
        event->sockets.clear();
        unhomeLocked(event);
    }
    delete event;
    return true;
}

bool WSASetEvent(WSAEVENT event) noexcept {
    if (!event) {
        fail(WSAEINVAL);
        return false;
    }
    signal(event);
    return true;
}

bool WSAResetEvent(WSAEVENT event) noexcept {
    if (!event) {
        fail(WSAEINVAL);
        return false;
    }
    event->signalled.store(false, std::memory_order_seq_cst);
    return true;
}

int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents) noexcept {
    if (networkEvents != 0 && !event) return fail(WSAEINVAL);
    std::lock_guard<std::mutex> lock(registry().mutex);
    // A socket the registry knows was checked when it was first seen; loops
    // select again on every change of interest, so only new ones are asked.
    if (!findLocked(s)) {
        int type = 0;
        socklen_t len = sizeof type;
        if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return fail(WSAENOTSOCK);
    }
    SocketRecord* rec = getOrCreateLocked(s);
    if (!rec) return fail(WSAENOBUFS);
    if (rec->event != event || networkEvents == 0) unbindLocked(s, *rec);
    rec->mask = networkEvents;
    if (networkEvents == 0) return 0;
    if (!rec->event) {
        event->sockets.push_back(s);
        rec->event = event;
    }
    if (!rec->listening && !rec->connecting && !rec->connected && !rec->connectError) {
        sockaddr_storage peer;
        socklen_t peerLen = sizeof peer;
        if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
            rec->connected = true;
        } else if (const int err = takeSocketError(s)) {
            // Connected once and already failed (reset before anyone looked):
            // report the end rather than never watching it.
            const int code = static_cast<int>(WinsockErrorFromErrno(err));
            rec->connected = true;
            rec->pendingError = code;
            rec->eof = true;
            rec->hungUp = true;
            recordCloseLocked(*rec, code);
        }
    }
    rec->readArmed = true;
    rec->acceptArmed = true;
    if (rec->connected) rec->writeArmed = true;
    probeLocked(s, *rec);
    syncLocked(s, *rec);
    return 0;
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, WSANETWORKEVENTS* out) noexcept {
    if (!out) return fail(WSAEFAULT);
    std::lock_guard<std::mutex> lock(registry().mutex);
    std::memset(out, 0, sizeof *out);
    SocketRecord* rec = findLocked(s);
    if (!rec) {
        if (::fcntl(s, F_GETFD) < 0) return fail(WSAENOTSOCK);
    } else {
        out->lNetworkEvents = rec->recorded;
        for (int bit = 0; bit < FD_MAX_EVENTS; ++bit)
            if (rec->recorded & (1L << bit)) out->iErrorCode[bit] = rec->errors[bit];
        rec->recorded = 0;
    }
    if (event) event->signalled.store(false, std::memory_order_seq_cst);
    return 0;
}

bool PrepareThreadForWaits() noexcept {
    return currentSleeper() != nullptr;
}

std::uint32_t FirstSignalledEvent(std::uint32_t count, const WSAEVENT* events) noexcept {
    const int index = firstSignalled(count, events);
    return index < 0 ? WSA_WAIT_TIMEOUT : WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
}

std::uint32_t WSAWaitForMultipleEvents(std::uint32_t count, const WSAEVENT* events, bool waitAll,
                                       std::uint32_t timeoutMs, bool alertable) noexcept {
    if (count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS || !events || waitAll || alertable) {
        WSASetLastError(WSAEINVAL);
        return WSA_WAIT_FAILED;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!events[i]) {
            WSASetLastError(WSAEINVAL);
            return WSA_WAIT_FAILED;
        }
    }
    Sleeper* me = currentSleeper();
    if (!me) return WSA_WAIT_FAILED;

    bool foreign = false;
    bool homeless = false;
    bool homedHere = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        Sleeper* home = events[i]->home.load(std::memory_order_relaxed);
        homedHere |= home == me;
        foreign |= home != me;
        homeless |= home == nullptr;
    }
    if (timeoutMs == 0) {
        // A poll takes in events that have no home yet (a loop that never
        // blocks still watches new sockets) but does not move events away
        // from another thread; it collects what this thread's epoll has.
        if (homeless) {
            std::lock_guard<std::mutex> lock(registry().mutex);
            for (std::uint32_t i = 0; i < count; ++i)
                if (!events[i]->home.load(std::memory_order_relaxed)) adoptLocked(events[i], me);
            homedHere = true;
        }
        if (homedHere) drain(me);
        const int index = firstSignalled(count, events);
        return index >= 0 ? WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index) : WSA_WAIT_TIMEOUT;
    }
    if (foreign) {
        std::lock_guard<std::mutex> lock(registry().mutex);
        for (std::uint32_t i = 0; i < count; ++i) adoptLocked(events[i], me);
    }
    // A flag already up (a posted actor, a report, a close seen again) must
    // not hide sockets that became ready meanwhile: collect them first, so
    // the lowest signalled index is the one reported.
    int index = firstSignalled(count, events);
    if (index >= 0) {
        drain(me);
        index = firstSignalled(count, events);
        if (index >= 0) return WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
    }

    const std::uint64_t start = timeoutMs == WSA_INFINITE ? 0 : monotonicMs();
    epoll_event ready[kBatch];
    for (;;) {
        int timeout = -1;
        if (timeoutMs != WSA_INFINITE) {
            const std::uint64_t elapsed = monotonicMs() - start;
            timeout =
                elapsed >= timeoutMs ? 0 : static_cast<int>(std::min<std::uint64_t>(timeoutMs - elapsed, INT_MAX));
        }
        // Announce the sleep before the last look at the flags: a setter
        // either sees the announcement or we see its flag.
        me->sleeping.store(true, std::memory_order_seq_cst);
        index = firstSignalled(count, events);
        if (index >= 0) {
            me->sleeping.store(false, std::memory_order_seq_cst);
            return WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
        }
        const int n = ::epoll_wait(me->epfd, ready, kBatch, timeout);
        const int err = errno;
        me->sleeping.store(false, std::memory_order_seq_cst);
        if (n < 0 && err != EINTR) {
            WSASetLastError(static_cast<int>(WinsockErrorFromErrno(err)));
            return WSA_WAIT_FAILED;
        }
        if (n > 0) processReady(ready, n);
        index = firstSignalled(count, events);
        if (index >= 0) return WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
        if (timeout == 0) return WSA_WAIT_TIMEOUT;
    }
}

}  // namespace morvex::platform
