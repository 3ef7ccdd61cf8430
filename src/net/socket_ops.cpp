#include "net/socket_ops.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

// The once-read back-log; a lock rather than a once-flag so tests can read
// the variable again. Listening is rare, so the lock costs nothing.
struct BacklogState {
    std::mutex lock;
    bool read = false;
    std::optional<unsigned> value;
};
BacklogState g_backlog;

void throwAfterClose(platform::SOCKET s, const char* message) {
    platform::LastErrorSaver saved;
    platform::closesocket(s);
    throw PollableDescriptorException(message);
}

}  // namespace

std::uint16_t SocketAddress::port() const noexcept {
    if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

std::string SocketAddress::hostText() const {
    char host[65] = {0};
    if (platform::getnameinfo(get(), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
    return host;
}

std::optional<unsigned> parseListenBacklog(const char* value) noexcept {
    if (!value || !*value) return std::nullopt;
    unsigned long v = 0;
    for (const char* p = value; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0x7FFFFFFFul) return std::nullopt;
    }
    return static_cast<unsigned>(v);
}

int effectiveListenBacklog(int callerBacklog) {
    std::lock_guard<std::mutex> guard(g_backlog.lock);
    if (!g_backlog.read) {
        g_backlog.read = true;
        g_backlog.value = parseListenBacklog(std::getenv("MORVEX_LISTEN_BACKLOG"));
        if (g_backlog.value) {
            s_log.warn("Backlog parameter changed to value=%u for invoking listen() system call", *g_backlog.value);
        }
    }
    return g_backlog.value ? static_cast<int>(*g_backlog.value) : callerBacklog;
}

void resetListenBacklogForTest() {
    std::lock_guard<std::mutex> guard(g_backlog.lock);
    g_backlog.read = false;
    g_backlog.value.reset();
}

PollableDescriptorRef bindAndListen(const SocketAddress& address, int family, int socketType, int defaultBacklog) {
    platform::SOCKET s = platform::socket(family, socketType, 0);
    if (s == platform::INVALID_SOCKET) return {};
    int one = 1;
    if (family == AF_INET6 && platform::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) {
        throwAfterClose(s, "can't set IPV6_V6ONLY");
    }
    if (family != AF_UNIX && platform::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        throwAfterClose(s, "can't set SO_REUSEADDR");
    }
    if (platform::bind(s, address.get(), address.length) != 0) {
        platform::LastErrorSaver saved;
        platform::closesocket(s);
        return {};
    }
    if (socketType == SOCK_STREAM || socketType == SOCK_SEQPACKET) {
        if (platform::listen(s, effectiveListenBacklog(defaultBacklog)) != 0) {
            platform::LastErrorSaver saved;
            platform::closesocket(s);
            return {};
        }
    }
    return PollableDescriptorRef::adopt(PollableDescriptor::create(s));
}

PollableDescriptorRef acceptConnection(const PollableDescriptorRef& listener, SocketAddress& peer) {
    if (int pending = listener->lastError(); pending != 0) {
        listener->setLastError(0);
        platform::WSASetLastError(pending);
        return {};
    }
    peer.length = sizeof peer.storage;
    platform::SOCKET s = platform::accept(listener->socket(), peer.get(), &peer.length);
    if (s == platform::INVALID_SOCKET) return {};
    return PollableDescriptorRef::adopt(PollableDescriptor::create(s));
}

void setNonBlocking(platform::SOCKET s) {
    unsigned long on = 1;
    if (platform::ioctlsocket(s, platform::FIONBIO_CMD, &on) != 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "can't change FIONBIO: winsock error %d", platform::WSAGetLastError());
        throw PollableDescriptorException(msg);
    }
}

namespace {
// The soft descriptor limit as last read (0: not yet). Every accept looks at
// it, so it is read once rather than with a system call each time; only this
// process changes it, in raiseDescriptorLimit.
std::atomic<std::uint64_t> s_descriptorLimit{0};

std::uint64_t readDescriptorLimit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    std::uint64_t value = limit.rlim_cur == RLIM_INFINITY ? ~0ull : limit.rlim_cur;
    s_descriptorLimit.store(value, std::memory_order_relaxed);
    return value;
}
}  // namespace

std::uint64_t raiseDescriptorLimit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    readDescriptorLimit();
    return limit.rlim_cur;
}

bool descriptorsRunningLow(platform::SOCKET s) noexcept {
    std::uint64_t limit = s_descriptorLimit.load(std::memory_order_relaxed);
    if (limit == 0) limit = readDescriptorLimit();
    if (limit == 0 || limit == ~0ull) return false;
    std::uint64_t reserve = std::clamp<std::uint64_t>(limit / 8, 16, 256);
    return static_cast<std::uint64_t>(s) + reserve >= limit;
}

bool setNoDelay(platform::SOCKET s) noexcept {
    int one = 1;
    return platform::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

std::size_t writeFromCursor(PollableDescriptor& ipd, SendCursor& cursor, SocketError& error) noexcept {
    constexpr std::size_t kMaxGather = 64;
    std::size_t total = 0;
    while (cursor.hasData()) {
        if (cursor.currentLen() == 0) {
            cursor.advance(0);
            continue;
        }
        if (cursor.segmentsLeft() > 1) {
            platform::WSABUF bufs[kMaxGather];
            std::uint32_t count = 0;
            std::size_t want = 0;
            const SendList& list = cursor.list();
            for (std::size_t i = cursor.index(); i < list.size() && count < kMaxGather; ++i) {
                std::size_t off = i == cursor.index() ? cursor.offset() : 0;
                if (list[i].len <= off) continue;
                bufs[count].buf = const_cast<char*>(list[i].data + off);
                bufs[count].len = static_cast<std::uint32_t>(list[i].len - off);
                want += bufs[count].len;
                ++count;
            }
            if (count > 1) {
                std::uint32_t sent = 0;
                if (platform::WSASend(ipd.socket(), bufs, count, &sent, 0, nullptr, nullptr) != 0) {
                    int code = platform::WSAGetLastError();
                    if (code == static_cast<int>(platform::WSAEWOULDBLOCK)) {
                        ipd.setWritableHint(false);
                    } else {
                        error = SocketError::winsock(code);
                    }
                    return total;
                }
                ipd.setWritableHint(true);
                cursor.advance(sent);
                total += sent;
                if (sent < want) return total;  // partial: wait for writability
                continue;
            }
        }
        // One segment left: plain sends of at most kMaxSendChunk bytes.
        std::size_t len = std::min(cursor.currentLen(), kMaxSendChunk);
        int n = ipd.send(cursor.currentData(), static_cast<int>(len));
        if (n < 0) {
            int code = platform::WSAGetLastError();
            if (code != static_cast<int>(platform::WSAEWOULDBLOCK)) error = SocketError::winsock(code);
            return total;
        }
        cursor.advance(static_cast<std::size_t>(n));
        total += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < len) return total;
    }
    return total;
}

}  // namespace morvex
