// Socket helpers shared by channels, acceptors and outbound connections:
// bind and listen (with the process-wide back-log override), accept with the
// pending-error rule, non-blocking mode, and writing a send list.
//
// The counted socket handle is a PollableDescriptorRef: copies share the
// descriptor, the socket closes when the last reference goes (or on an
// explicit closeSocket()), and the descriptor keeps the last pending error.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "net/pollable_descriptor.h"
#include "net/socket_error.h"
#include "net/tcp_async_data_buffer.h"
#include "platform/winsock.h"

namespace morvex {

// A peer or local socket address (IPv4 or IPv6) with its length.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() noexcept { return reinterpret_cast<sockaddr*>(&storage); }
    int family() const noexcept { return storage.ss_family; }
    // The port in host order (0 for other families).
    std::uint16_t port() const noexcept;
    // Numeric host text ("127.0.0.1", "::1").
    std::string hostText() const;
};

// MORVEX_LISTEN_BACKLOG parsed: a decimal number, else nothing (unset, empty
// or not numeric).
std::optional<unsigned> parseListenBacklog(const char* value) noexcept;

// The back-log for a listen: the caller's, unless MORVEX_LISTEN_BACKLOG holds
// a decimal number. The variable is read once per process; when it applies the
// WARN line "Backlog parameter changed to value=%u ..." is logged once.
int effectiveListenBacklog(int callerBacklog);

// Forgets the once-read back-log so a test can read the variable again.
void resetListenBacklogForTest();

// Creates a socket of family and type, sets IPV6_V6ONLY (IPv6) and
// SO_REUSEADDR (non-local families), binds it to address and, for stream and
// sequenced-packet sockets, listens with the effective back-log. Returns the
// handle, or an empty one with the Winsock error left set (platform last
// error). Option failures close the socket and throw
// PollableDescriptorException ("can't set IPV6_V6ONLY", "can't set SO_REUSEADDR").
PollableDescriptorRef bindAndListen(const SocketAddress& address, int family, int socketType, int defaultBacklog);

// Accepts one connection on the listening handle. A pending error recorded in
// the handle is reported first, as the result of this accept (and cleared).
// Returns the new handle, or an empty one with the Winsock code left as the
// platform last error.
PollableDescriptorRef acceptConnection(const PollableDescriptorRef& listener, SocketAddress& peer);

// Sets FIONBIO; throws PollableDescriptorException
// "can't change FIONBIO: winsock error %d" on failure.
void setNonBlocking(platform::SOCKET s);

// Turns Nagle's algorithm off on a stream socket: a relay sends what it has
// at once, and waiting for the peer's delayed ACK would add ~40 ms to every
// first answer. Failure is harmless (false).
bool setNoDelay(platform::SOCKET s) noexcept;

// Raises the soft limit on open descriptors to the hard limit. Returns the
// limit now in force (0 when it cannot be read).
std::uint64_t raiseDescriptorLimit() noexcept;

// Whether a descriptor this high leaves fewer than a reserve of free ones
// below the soft limit. Descriptors are handed out lowest first, so every one
// below s is in use: a high number means a nearly full table. The reserve
// (an eighth of the limit, 16 to 256) keeps outbound connections and log
// files possible for the connections already accepted.
bool descriptorsRunningLow(platform::SOCKET s) noexcept;

// Largest single send of one remaining segment.
constexpr std::size_t kMaxSendChunk = 131072;

// Writes from the cursor until it is through or the socket would block.
// Several remaining segments go out in one gather send (WSASend); a single one
// in plain sends of at most kMaxSendChunk bytes. Advances the cursor by the
// bytes taken and keeps the descriptor's writable hint. Returns the bytes
// written; error is set (kind 5) on a failure other than would-block.
std::size_t writeFromCursor(PollableDescriptor& ipd, SendCursor& cursor, SocketError& error) noexcept;

// One recv into the ring's contiguous free region. Returns the byte count
// (> 0), 0 when it would block (nothing read), and sets error: kind 2 when
// the peer closed (recv returned 0), kind 5 on another failure.
template <typename Ring>
std::size_t readIntoRing(platform::SOCKET s, Ring& ring, SocketError& error) noexcept {
    std::size_t room = ring.contiguousFree();
    if (room == 0) return 0;
    int n = platform::recv(s, ring.writePtr(), static_cast<int>(room), 0);
    if (n > 0) {
        ring.commitWrite(static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
    }
    if (n == 0) {
        error = SocketError::closedByPeer();
    } else {
        int code = platform::WSAGetLastError();
        if (code != static_cast<int>(platform::WSAEWOULDBLOCK)) error = SocketError::winsock(code);
    }
    return 0;
}

}  // namespace morvex
