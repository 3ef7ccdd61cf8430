// Internals shared by the socket calls (winsock.cpp) and the event model
// (winsock_events.cpp). Not part of the platform interface.
//
// Every socket that takes part in the event model has a SocketRecord in a
// registry indexed by descriptor, guarded by one lock: the bound event, the
// selected mask, which network events are armed, the events recorded but not
// yet enumerated, and where the socket is registered for readiness.
//
// Readiness comes from epoll. Each thread that blocks in
// WSAWaitForMultipleEvents has a Sleeper: one epoll instance plus one eventfd
// to be woken through. A blocking wait makes the calling thread's Sleeper the
// home of every event it waits on; the sockets selected onto an event sit in
// the epoll of the event's home, registered for the conditions still armed
// (level-triggered). So a wait costs what is ready, not what is registered,
// and a socket costs no descriptor besides its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/winsock.h"

namespace morvex::platform {

namespace detail {
struct Sleeper;
}

// Manual-reset event: a flag, and the Sleeper to wake when it goes up.
struct EventObject {
    std::atomic<bool> signalled{false};
    std::atomic<detail::Sleeper*> home{nullptr};
    std::vector<int> sockets;         // sockets selected onto this event; registry lock
    EventObject* homePrev = nullptr;  // in home->homed; registry lock
    EventObject* homeNext = nullptr;
};

namespace detail {

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
    int connectError = 0;         // Winsock code of a connect that failed at once, reported as FD_CONNECT
    int pendingError = 0;         // socket error taken by event detection, handed to the next recv/send
    Sleeper* epollIn = nullptr;   // whose epoll holds the socket, null when none
    std::uint32_t epollMask = 0;  // the conditions registered there
};

struct Registry {
    std::mutex mutex;
    std::vector<SocketRecord*> byFd;
    std::uint64_t nextGeneration = 1;
};

Registry& registry();

int fail(int wsaCode) noexcept;
int failErrno() noexcept;

// Registry lock held for all of these.
SocketRecord* findLocked(int fd) noexcept;
SocketRecord* getOrCreateLocked(int fd);  // null when out of memory
void dropLocked(int fd) noexcept;         // forgets the socket, leaving its event and epoll
void unbindLocked(int fd, SocketRecord& rec) noexcept;
bool recordLocked(SocketRecord& rec, int bit, int error) noexcept;
void recordCloseLocked(SocketRecord& rec, int error) noexcept;
// Records what already holds (data pending, connected and writable, closed).
void probeLocked(int fd, SocketRecord& rec) noexcept;
// Brings the epoll registration up to date after the binding changed or a
// condition was armed again. Narrowing is left until epoll reports a
// condition no longer armed, so the usual recv or accept costs nothing here.
void syncLocked(int fd, SocketRecord& rec) noexcept;

int bytesAvailable(int fd) noexcept;
int takeSocketError(int fd) noexcept;

}  // namespace detail
}  // namespace morvex::platform
