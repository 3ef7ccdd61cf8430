// The Winsock 2 surface the program uses, on POSIX sockets.
//
// Calls keep Windows' signatures and return conventions (SOCKET_ERROR / 
// INVALID_SOCKET with the code in WSAGetLastError, Winsock error values
// 10035, 10053, 10054 ...). Sockets are always non-blocking file descriptors
// with close-on-exec; sends never raise SIGPIPE.
//
// The event model is emulated: an event object is a flag (manual reset).
// WSAEventSelect binds a socket to an event and a mask of FD_* bits; network
// events are recorded with Windows' re-enabling rules and signal the event:
//   FD_READ    once, re-enabled by the next recv
//   FD_ACCEPT  once, re-enabled by the next accept
//   FD_WRITE   once when connected, afterwards only after a send failed with
//              WSAEWOULDBLOCK and the socket became writable again
//   FD_CONNECT once (with the connect's error code)
//   FD_CLOSE   once (with 0 for an orderly close, else the error code)
// Readiness comes from epoll and is collected inside WSAWaitForMultipleEvents
// (and once when events are selected). A wait with a time-out makes the
// calling thread the home of the events it waits on: their sockets move into
// that thread's epoll, and setting one of them wakes that thread. So an event
// is waited on with a time-out by one thread at a time; a wait with time-out
// 0 collects only what the calling thread's own epoll holds. A wait costs what
// is ready, not what is registered, and an idle wait sleeps in epoll_wait.
//
// Unlike Windows, an accepted socket does not inherit the listening socket's
// selection: select its events before waiting for them. A connect refused at
// once (loopback) still returns WSAEWOULDBLOCK and reports the refusal as
// FD_CONNECT with its code, as Windows does.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace morvex::platform {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

struct EventObject;
using WSAEVENT = EventObject*;
constexpr WSAEVENT WSA_INVALID_EVENT = nullptr;

// Network event bits and their indices in WSANETWORKEVENTS::iErrorCode.
constexpr long FD_READ = 1 << 0;
constexpr long FD_WRITE = 1 << 1;
constexpr long FD_OOB = 1 << 2;
constexpr long FD_ACCEPT = 1 << 3;
constexpr long FD_CONNECT = 1 << 4;
constexpr long FD_CLOSE = 1 << 5;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
    long lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};

constexpr std::uint32_t WSA_MAXIMUM_WAIT_EVENTS = 64;
constexpr std::uint32_t WSA_WAIT_EVENT_0 = 0;
constexpr std::uint32_t WSA_WAIT_TIMEOUT = 258;
constexpr std::uint32_t WSA_WAIT_FAILED = 0xFFFFFFFFu;
constexpr std::uint32_t WSA_INFINITE = 0xFFFFFFFFu;

// Event objects (manual reset, initially not signalled).
WSAEVENT WSACreateEvent() noexcept;
bool WSACloseEvent(WSAEVENT event) noexcept;
bool WSASetEvent(WSAEVENT event) noexcept;
bool WSAResetEvent(WSAEVENT event) noexcept;

// Binds the socket to the event with the mask (0 unbinds). Conditions that
// already hold (data pending, connected and writable) are recorded at once.
int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents) noexcept;

// Returns and clears the socket's recorded events with their error codes,
// and resets the event if one is given.
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, WSANETWORKEVENTS* out) noexcept;

// Waits for any of count (<= 64) events. Returns WSA_WAIT_EVENT_0 + the
// lowest signalled index, WSA_WAIT_TIMEOUT (258) or WSA_WAIT_FAILED.
// waitAll and alertable are accepted for signature fidelity and must be false.
std::uint32_t WSAWaitForMultipleEvents(std::uint32_t count, const WSAEVENT* events, bool waitAll,
                                       std::uint32_t timeoutMs, bool alertable) noexcept;

// The lowest signalled index among count events, or WSA_WAIT_TIMEOUT: a
// WSAWaitForMultipleEvents with time-out 0 that only looks at the events'
// states and does not collect new network events (no system call).
std::uint32_t FirstSignalledEvent(std::uint32_t count, const WSAEVENT* events) noexcept;

// Makes the calling thread ready to block in WSAWaitForMultipleEvents (it
// needs an epoll and a wake descriptor of its own, made once per thread).
// False, with the code in WSAGetLastError, when descriptors or memory are
// short; a thread that is to do nothing but wait checks this first.
bool PrepareThreadForWaits() noexcept;

// Sockets.
SOCKET socket(int af, int type, int protocol) noexcept;
int bind(SOCKET s, const sockaddr* name, socklen_t namelen) noexcept;
int listen(SOCKET s, int backlog) noexcept;
SOCKET accept(SOCKET s, sockaddr* addr, socklen_t* addrlen) noexcept;
int connect(SOCKET s, const sockaddr* name, socklen_t namelen) noexcept;  // WSAEWOULDBLOCK while under way
int recv(SOCKET s, char* buf, int len, int flags) noexcept;               // 0 on orderly close
int send(SOCKET s, const char* buf, int len, int flags) noexcept;

struct WSABUF {
    std::uint32_t len;
    char* buf;
};
// Gather send; overlapped I/O is not supported (both pointers must be null).
int WSASend(SOCKET s, WSABUF* buffers, std::uint32_t bufferCount, std::uint32_t* bytesSent, std::uint32_t flags,
            void* overlapped, void* completionRoutine) noexcept;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
int shutdown(SOCKET s, int how) noexcept;
int closesocket(SOCKET s) noexcept;

int setsockopt(SOCKET s, int level, int optname, const void* optval, socklen_t optlen) noexcept;
int getsockopt(SOCKET s, int level, int optname, void* optval, socklen_t* optlen) noexcept;
int getsockname(SOCKET s, sockaddr* name, socklen_t* namelen) noexcept;
int getpeername(SOCKET s, sockaddr* name, socklen_t* namelen) noexcept;

constexpr long FIONBIO_CMD = 0x8004667E;  // FIONBIO; sockets are non-blocking already
constexpr long FIONREAD_CMD = 0x4004667F;  // FIONREAD: bytes ready to read
int ioctlsocket(SOCKET s, long cmd, unsigned long* argp) noexcept;

// Name resolution: returns 0 or a Winsock code (11001 WSAHOST_NOT_FOUND ...),
// also stored as the last error.
int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) noexcept;
void freeaddrinfo(addrinfo* ai) noexcept;
int getnameinfo(const sockaddr* addr, socklen_t addrlen, char* host, socklen_t hostlen, char* serv,
                socklen_t servlen, int flags) noexcept;

}  // namespace morvex::platform
