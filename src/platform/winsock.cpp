// Winsock calls on POSIX sockets, and the event model on poll(2) and one
// eventfd per event object.
//
// A registry indexed by descriptor holds, for every socket that takes part
// in the event model, the bound event, the selected mask, which network
// events are armed, and the events recorded but not yet enumerated. Readiness
// is detected only inside WSAWaitForMultipleEvents (and once when events are
// selected): it polls the waited events' eventfds plus the sockets bound to
// them, asking each socket only for the conditions still armed, so a socket
// whose FD_READ is recorded and not yet re-enabled by recv is not polled for
// input and an idle wait sleeps in poll instead of spinning.
#include "platform/winsock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

namespace morvex::platform {

// Manual-reset event. `signalled` is the truth; the eventfd (readable while
// signalled) is what poll sleeps on. Both change together under `mutex`.
struct EventObject {
    int efd = -1;
    std::mutex mutex;
    std::atomic<bool> signalled{false};
    std::vector<int> sockets;  // sockets selected onto this event; registry lock
};

namespace {

struct SocketRecord {
    std::uint64_t generation = 0;
    WSAEVENT event = nullptr;
    long mask = 0;
    long recorded = 0;
    int errors[FD_MAX_EVENTS] = {};
    bool readArmed = true;
    bool acceptArmed = true;
    bool writeArmed = false;
    bool listening = false;
    bool connecting = false;
    bool connected = false;
    bool eof = false;            // the peer has finished sending
    bool hungUp = false;         // both directions are down or the socket failed: never polled again
    bool closeRecorded = false;  // FD_CLOSE is reported once
    bool connectReported = false;
    int connectError = 0;  // Winsock code of a connect that failed at once, reported as FD_CONNECT
    int pendingError = 0;  // socket error taken by event detection, handed to the next recv/send
};

struct Registry {
    std::mutex mutex;
    std::vector<SocketRecord*> byFd;
    std::uint64_t nextGeneration = 1;
};

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

void unbindLocked(int fd, SocketRecord& rec) {
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

void dropLocked(int fd) {
    SocketRecord* rec = findLocked(fd);
    if (!rec) return;
    unbindLocked(fd, *rec);
    registry().byFd[static_cast<std::size_t>(fd)] = nullptr;
    delete rec;
}

// Null when out of memory.
SocketRecord* getOrCreateLocked(int fd) {
    if (SocketRecord* rec = findLocked(fd)) return rec;
    Registry& reg = registry();
    if (static_cast<std::size_t>(fd) >= reg.byFd.size()) reg.byFd.resize(static_cast<std::size_t>(fd) + 64, nullptr);
    auto* rec = new (std::nothrow) SocketRecord;
    if (!rec) return nullptr;
    rec->generation = reg.nextGeneration++;
    reg.byFd[static_cast<std::size_t>(fd)] = rec;
    return rec;
}

void signal(EventObject* ev) noexcept {
    std::lock_guard<std::mutex> lock(ev->mutex);
    if (ev->signalled.load(std::memory_order_relaxed)) return;
    ev->signalled.store(true, std::memory_order_release);
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(ev->efd, &one, sizeof one);
}

void reset(EventObject* ev) noexcept {
    std::lock_guard<std::mutex> lock(ev->mutex);
    if (!ev->signalled.load(std::memory_order_relaxed)) return;
    ev->signalled.store(false, std::memory_order_release);
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(ev->efd, &value, sizeof value);
}

// Records one network event if it is selected, and signals the event.
// Returns whether it was recorded.
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

// The poll conditions a socket still waits for; 0 keeps it out of the poll.
short wantedLocked(const SocketRecord& rec) noexcept {
    if (!rec.event || rec.hungUp) return 0;
    if (rec.listening) return (rec.acceptArmed && (rec.mask & FD_ACCEPT)) ? POLLIN : 0;
    if (rec.connecting) return (rec.mask & (FD_CONNECT | FD_WRITE)) ? POLLOUT : 0;
    if (!rec.connected) return 0;
    short ev = 0;
    if (!rec.eof) {
        if (rec.readArmed && (rec.mask & FD_READ)) ev |= POLLIN;
        if (!rec.closeRecorded && (rec.mask & FD_CLOSE)) ev |= POLLRDHUP;
    }
    if (rec.writeArmed && (rec.mask & FD_WRITE)) ev |= POLLOUT;
    return ev;
}

// Turns poll results into recorded network events, following Windows'
// re-enabling rules.
void processLocked(int fd, SocketRecord& rec, short revents) noexcept {
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
    if (revents & POLLERR) {
        int err = takeSocketError(fd);
        int code = err ? static_cast<int>(WinsockErrorFromErrno(err)) : 0;
        if (code) rec.pendingError = code;
        recordCloseLocked(rec, code);
        rec.eof = true;
        rec.hungUp = true;
        return;
    }
    bool hup = revents & (POLLRDHUP | POLLHUP);
    if (revents & (POLLIN | POLLRDHUP | POLLHUP)) {
        int avail = bytesAvailable(fd);
        if (avail > 0 && rec.readArmed && recordLocked(rec, FD_READ_BIT, 0)) rec.readArmed = false;
        if (hup || avail == 0) {
            // Readable without data is the end of the stream.
            rec.eof = true;
            recordCloseLocked(rec, 0);
        }
    }
    if (revents & POLLHUP) rec.hungUp = true;
    if ((revents & POLLOUT) && rec.writeArmed && recordLocked(rec, FD_WRITE_BIT, 0)) rec.writeArmed = false;
}

// Records what already holds when events are selected (Windows does the
// same: data pending, connected and writable, closed).
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
    short wanted = wantedLocked(rec);
    if (!wanted) return;
    pollfd p{fd, wanted, 0};
    if (::poll(&p, 1, 0) == 1 && p.revents) processLocked(fd, rec, p.revents);
}

std::uint64_t monotonicMs() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

int firstSignalled(std::uint32_t count, const WSAEVENT* events) noexcept {
    for (std::uint32_t i = 0; i < count; ++i)
        if (events[i]->signalled.load(std::memory_order_acquire)) return static_cast<int>(i);
    return -1;
}

// Scratch space of a waiting thread, kept between waits so that waiting does
// not allocate once the arrays have grown.
struct WaitScratch {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> generations;  // per socket entry, after the event entries
};

constexpr int kWsaTypeNotFound = 10109;  // WSATYPE_NOT_FOUND

int toWinsockAddrInfoError(int rc) noexcept {
    switch (rc) {
        case 0:
            return 0;
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
#endif
        case EAI_FAMILY:
            return WSAEAFNOSUPPORT;
        case EAI_SOCKTYPE:
            return WSAESOCKTNOSUPPORT;
        case EAI_SERVICE:
            return kWsaTypeNotFound;
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_BADFLAGS:
            return WSAEINVAL;
        case EAI_OVERFLOW:
            return WSAEFAULT;
        case EAI_SYSTEM:
            return static_cast<int>(WinsockErrorFromErrno(errno));
        default:
            return WSANO_RECOVERY;
    }
}

}  // namespace

// ---- event objects ----

WSAEVENT WSACreateEvent() noexcept {
    int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) {
        failErrno();
        return WSA_INVALID_EVENT;
    }
    auto* ev = new (std::nothrow) EventObject;
    if (!ev) {
        ::close(efd);
        fail(WSAENOBUFS);
        return WSA_INVALID_EVENT;
    }
    ev->efd = efd;
    return ev;
}

bool WSACloseEvent(WSAEVENT event) noexcept {
    if (!event) {
        fail(WSAEINVAL);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        for (int fd : event->sockets)
            if (SocketRecord* rec = findLocked(fd)) rec->event = nullptr;
        event->sockets.clear();
    }
    ::close(event->efd);
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
    reset(event);
    return true;
}

int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents) noexcept {
    if (networkEvents != 0 && !event) return fail(WSAEINVAL);
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return fail(WSAENOTSOCK);
    std::lock_guard<std::mutex> lock(registry().mutex);
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
        if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) rec->connected = true;
    }
    rec->readArmed = true;
    rec->acceptArmed = true;
    if (rec->connected) rec->writeArmed = true;
    probeLocked(s, *rec);
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
    if (event) reset(event);
    return 0;
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
    thread_local WaitScratch scratch;
    const std::uint64_t start = timeoutMs == WSA_INFINITE ? 0 : monotonicMs();
    Registry& reg = registry();
    for (;;) {
        int timeout;
        if (timeoutMs == WSA_INFINITE) {
            timeout = -1;
        } else {
            std::uint64_t elapsed = monotonicMs() - start;
            timeout =
                elapsed >= timeoutMs ? 0 : static_cast<int>(std::min<std::uint64_t>(timeoutMs - elapsed, INT_MAX));
        }
        scratch.fds.clear();
        scratch.generations.clear();
        {
            std::lock_guard<std::mutex> lock(reg.mutex);
            int index = firstSignalled(count, events);
            if (index >= 0) return WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
            for (std::uint32_t i = 0; i < count; ++i) scratch.fds.push_back(pollfd{events[i]->efd, POLLIN, 0});
            for (std::uint32_t i = 0; i < count; ++i) {
                for (int fd : events[i]->sockets) {
                    SocketRecord* rec = findLocked(fd);
                    if (!rec) continue;
                    short wanted = wantedLocked(*rec);
                    if (!wanted) continue;
                    scratch.fds.push_back(pollfd{fd, wanted, 0});
                    scratch.generations.push_back(rec->generation);
                }
            }
        }
        int n = ::poll(scratch.fds.data(), scratch.fds.size(), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            failErrno();
            return WSA_WAIT_FAILED;
        }
        if (n > 0) {
            std::lock_guard<std::mutex> lock(reg.mutex);
            for (std::size_t i = count; i < scratch.fds.size(); ++i) {
                const pollfd& p = scratch.fds[i];
                if (!p.revents) continue;
                SocketRecord* rec = findLocked(p.fd);
                // The socket may have been closed (and its descriptor reused) meanwhile.
                if (!rec || rec->generation != scratch.generations[i - count]) continue;
                processLocked(p.fd, *rec, p.revents);
            }
        }
        int index = firstSignalled(count, events);
        if (index >= 0) return WSA_WAIT_EVENT_0 + static_cast<std::uint32_t>(index);
        if (timeout == 0) return WSA_WAIT_TIMEOUT;
    }
}

// ---- sockets ----

SOCKET socket(int af, int type, int protocol) noexcept {
    int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        failErrno();
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> lock(registry().mutex);
    dropLocked(fd);  // left over from a descriptor closed behind our back
    return fd;
}

int bind(SOCKET s, const sockaddr* name, socklen_t namelen) noexcept {
    return ::bind(s, name, namelen) == 0 ? 0 : failErrno();
}

int listen(SOCKET s, int backlog) noexcept {
    if (::listen(s, backlog) != 0) return failErrno();
    std::lock_guard<std::mutex> lock(registry().mutex);
    if (SocketRecord* rec = getOrCreateLocked(s)) rec->listening = true;
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* addrlen) noexcept {
    int fd = ::accept4(s, addr, addrlen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    std::lock_guard<std::mutex> lock(registry().mutex);
    if (SocketRecord* rec = findLocked(s)) rec->acceptArmed = true;
    if (fd < 0) {
        fail(static_cast<int>(WinsockErrorFromErrno(err)));
        return INVALID_SOCKET;
    }
    dropLocked(fd);
    return fd;
}

int connect(SOCKET s, const sockaddr* name, socklen_t namelen) noexcept {
    int rc = ::connect(s, name, namelen);
    int err = rc == 0 ? 0 : errno;
    std::lock_guard<std::mutex> lock(registry().mutex);
    SocketRecord* rec = getOrCreateLocked(s);
    if (rc == 0) {
        if (rec) {
            rec->connected = true;
            rec->connectReported = true;
            recordLocked(*rec, FD_CONNECT_BIT, 0);
            rec->writeArmed = true;
            if (recordLocked(*rec, FD_WRITE_BIT, 0)) rec->writeArmed = false;
        }
        return 0;
    }
    switch (err) {
        case EINPROGRESS:
            if (rec) rec->connecting = true;
            return fail(WSAEWOULDBLOCK);
        case ECONNREFUSED:
        case ETIMEDOUT:
        case ENETUNREACH:
        case EHOSTUNREACH:
            // Windows reports these through FD_CONNECT, never at once.
            if (!rec) return fail(static_cast<int>(WinsockErrorFromErrno(err)));
            rec->connectError = static_cast<int>(WinsockErrorFromErrno(err));
            rec->hungUp = true;
            if (rec->event) probeLocked(s, *rec);
            return fail(WSAEWOULDBLOCK);
        default:
            return fail(static_cast<int>(WinsockErrorFromErrno(err)));
    }
}

int recv(SOCKET s, char* buf, int len, int flags) noexcept {
    ssize_t n = ::recv(s, buf, static_cast<std::size_t>(len < 0 ? 0 : len), flags);
    int err = n < 0 ? errno : 0;
    std::lock_guard<std::mutex> lock(registry().mutex);
    SocketRecord* rec = findLocked(s);
    if (!rec) {
        if (n < 0) return fail(static_cast<int>(WinsockErrorFromErrno(err)));
        return static_cast<int>(n);
    }
    rec->readArmed = true;  // any recv re-enables FD_READ
    if (n > 0) {
        // Past the end of the stream input is no longer polled: report
        // what is still buffered here.
        if (rec->eof && !rec->hungUp && bytesAvailable(s) > 0 && recordLocked(*rec, FD_READ_BIT, 0))
            rec->readArmed = false;
        return static_cast<int>(n);
    }
    if (n == 0 && len > 0) {
        if (rec->pendingError) return fail(rec->pendingError);
        rec->eof = true;
        recordCloseLocked(*rec, 0);
        return 0;
    }
    if (n == 0) return 0;
    int code = static_cast<int>(WinsockErrorFromErrno(err));
    if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
        if (rec->pendingError) code = rec->pendingError;
        if (rec->connected) {
            rec->eof = true;
            recordCloseLocked(*rec, code);
        }
    }
    return fail(code);
}

namespace {

// After a failed send: would-block re-enables FD_WRITE; an error already
// taken by event detection is the one to report.
int sendFailed(SOCKET s, int err) noexcept {
    std::lock_guard<std::mutex> lock(registry().mutex);
    SocketRecord* rec = findLocked(s);
    if (err == EAGAIN || err == EWOULDBLOCK) {
        if (rec) rec->writeArmed = true;
        return fail(WSAEWOULDBLOCK);
    }
    if (rec && rec->pendingError) return fail(rec->pendingError);
    return fail(static_cast<int>(WinsockErrorFromErrno(err)));
}

}  // namespace

int send(SOCKET s, const char* buf, int len, int flags) noexcept {
    ssize_t n = ::send(s, buf, static_cast<std::size_t>(len < 0 ? 0 : len), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    return sendFailed(s, errno);
}

int WSASend(SOCKET s, WSABUF* buffers, std::uint32_t bufferCount, std::uint32_t* bytesSent, std::uint32_t flags,
            void* overlapped, void* completionRoutine) noexcept {
    if (overlapped || completionRoutine) return fail(WSAEINVAL);
    if (!buffers && bufferCount) return fail(WSAEFAULT);
    constexpr std::uint32_t kMaxIov = 1024;
    if (bufferCount > kMaxIov) return fail(WSAENOBUFS);
    iovec iov[kMaxIov];
    for (std::uint32_t i = 0; i < bufferCount; ++i) iov[i] = iovec{buffers[i].buf, buffers[i].len};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = bufferCount;
    ssize_t n = ::sendmsg(s, &msg, static_cast<int>(flags) | MSG_NOSIGNAL);
    if (n < 0) return sendFailed(s, errno);
    if (bytesSent) *bytesSent = static_cast<std::uint32_t>(n);
    return 0;
}

int shutdown(SOCKET s, int how) noexcept {
    int h = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
    if (h < 0) return fail(WSAEINVAL);
    return ::shutdown(s, h) == 0 ? 0 : failErrno();
}

int closesocket(SOCKET s) noexcept {
    {
        // Drop the record before the descriptor can be reused.
        std::lock_guard<std::mutex> lock(registry().mutex);
        dropLocked(s);
    }
    if (::close(s) != 0)
        return fail(errno == EBADF ? static_cast<int>(WSAENOTSOCK) : static_cast<int>(WinsockErrorFromErrno(errno)));
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const void* optval, socklen_t optlen) noexcept {
    return ::setsockopt(s, level, optname, optval, optlen) == 0 ? 0 : failErrno();
}

int getsockopt(SOCKET s, int level, int optname, void* optval, socklen_t* optlen) noexcept {
    return ::getsockopt(s, level, optname, optval, optlen) == 0 ? 0 : failErrno();
}

int getsockname(SOCKET s, sockaddr* name, socklen_t* namelen) noexcept {
    return ::getsockname(s, name, namelen) == 0 ? 0 : failErrno();
}

int getpeername(SOCKET s, sockaddr* name, socklen_t* namelen) noexcept {
    return ::getpeername(s, name, namelen) == 0 ? 0 : failErrno();
}

int ioctlsocket(SOCKET s, long cmd, unsigned long* argp) noexcept {
    if (!argp) return fail(WSAEFAULT);
    if (cmd == FIONBIO_CMD) {
        int flags = ::fcntl(s, F_GETFL);
        if (flags < 0)
            return fail(errno == EBADF ? static_cast<int>(WSAENOTSOCK)
                                       : static_cast<int>(WinsockErrorFromErrno(errno)));
        if (*argp == 0) {
            // Windows refuses blocking mode while events are selected.
            std::lock_guard<std::mutex> lock(registry().mutex);
            SocketRecord* rec = findLocked(s);
            if (rec && rec->event) return fail(WSAEINVAL);
        }
        flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        return ::fcntl(s, F_SETFL, flags) == 0 ? 0 : failErrno();
    }
    if (cmd == FIONREAD_CMD) {
        int n = 0;
        if (::ioctl(s, FIONREAD, &n) != 0) return failErrno();
        *argp = static_cast<unsigned long>(n);
        return 0;
    }
    return fail(WSAEINVAL);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) noexcept {
    int code = toWinsockAddrInfoError(::getaddrinfo(node, service, hints, result));
    if (code) WSASetLastError(code);
    return code;
}

void freeaddrinfo(addrinfo* ai) noexcept {
    if (ai) ::freeaddrinfo(ai);
}

int getnameinfo(const sockaddr* addr, socklen_t addrlen, char* host, socklen_t hostlen, char* serv, socklen_t servlen,
                int flags) noexcept {
    int code = toWinsockAddrInfoError(::getnameinfo(addr, addrlen, host, hostlen, serv, servlen, flags));
    if (code) WSASetLastError(code);
    return code;
}

}  // namespace morvex::platform
