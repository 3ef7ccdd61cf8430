// Winsock calls on POSIX sockets. The event model (event objects,
// WSAEventSelect, waits) is in winsock_events.cpp; the calls here keep the
// socket records it reads current: a recv re-enables FD_READ, an accept
// FD_ACCEPT, a send that would block FD_WRITE.
#include "platform/winsock.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/winsock_events_internal.h"

namespace morvex::platform {

using namespace detail;

namespace {

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
    if (SocketRecord* rec = getOrCreateLocked(s)) {
        rec->listening = true;
        syncLocked(s, *rec);
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* addrlen) noexcept {
    int fd = ::accept4(s, addr, addrlen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    std::lock_guard<std::mutex> lock(registry().mutex);
    if (SocketRecord* rec = findLocked(s)) {
        rec->acceptArmed = true;
        syncLocked(s, *rec);
    }
    if (fd < 0) {
        fail(static_cast<int>(WinsockErrorFromErrno(err)));
        return INVALID_SOCKET;
    }
    dropLocked(fd);
    // Accepted means connected, even if the peer has already reset it (it
    // then has no peer name): its close is reported once events are selected.
    if (SocketRecord* rec = getOrCreateLocked(fd)) rec->connected = true;
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
            syncLocked(s, *rec);
        }
        return 0;
    }
    switch (err) {
        case EINPROGRESS:
            if (rec) {
                rec->connecting = true;
                syncLocked(s, *rec);
            }
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
            syncLocked(s, *rec);
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
    syncLocked(s, *rec);
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
        if (rec) {
            rec->writeArmed = true;
            syncLocked(s, *rec);
        }
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
        const int wanted = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        if (wanted == flags) return 0;
        return ::fcntl(s, F_SETFL, wanted) == 0 ? 0 : failErrno();
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
