// PollableDescriptor: the counted socket-and-event object that a PolledFd,
// a channel and its TLS session share.
//
// It holds a socket (or none, for an event-only descriptor), the event object
// the socket is selected onto, the network-event record the loop fills, and a
// hint whether the socket was writable at the last send. The count starts at 1
// (the creator's reference) and changes atomically, so references may be
// taken and dropped on any thread; everything else belongs to the thread of
// the loop the descriptor is registered with.
//
//   PollableDescriptorRef ipd = PollableDescriptor::create(sock);  // count 1
//   loop.addPolledFd(&fd, ipd, fd.initialEventMask());             // loop takes its own
//   int n = ipd->send(buf, len);   // keeps the writable hint current
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/winsock.h"
#include "util/base_exception.h"

namespace morvex {

// Raised when a descriptor cannot be set up (event creation, socket options).
// The text is "<thread>: about to throw a PollableDescriptorException: <message>",
// logged at WARN on channel "PollableDescriptor" when the exception is made.
class PollableDescriptorException : public BaseException {
public:
    explicit PollableDescriptorException(const std::string& message);
};

class PollableDescriptor {
public:
    // An object tied to the descriptor's life: close() is called and then the
    // object is destroyed when the last reference goes.
    class Owner {
    public:
        virtual ~Owner() = default;
        virtual void close() noexcept = 0;
    };

    // A descriptor over a socket (ownership of the socket passes to it; it is
    // closed when the last reference goes). INVALID_SOCKET makes an
    // event-only descriptor. The event object is made on first use.
    static PollableDescriptor* create(platform::SOCKET socket, std::unique_ptr<Owner> owner = nullptr);

    // An event-only descriptor whose event exists from the start.
    // Throws PollableDescriptorException "couldn't WSACreateEvent".
    static PollableDescriptor* createEventOnly();
    // The same without throwing: null (with the Winsock code as last error)
    // when the event cannot be made.
    static PollableDescriptor* tryCreateEventOnly() noexcept;

    PollableDescriptor(const PollableDescriptor&) = delete;
    PollableDescriptor& operator=(const PollableDescriptor&) = delete;

    // Reference counting (any thread). release() frees the descriptor when the
    // count reaches 0.
    void addRef() noexcept { _refCount.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;
    std::uint32_t refCount() const noexcept { return _refCount.load(std::memory_order_relaxed); }

    platform::SOCKET socket() const noexcept { return _socket; }
    bool hasSocket() const noexcept { return _socket != platform::INVALID_SOCKET; }

    // The event object, or WSA_INVALID_EVENT if none was made yet.
    platform::WSAEVENT event() const noexcept { return _event; }
    // The event object, made if needed. Throws PollableDescriptorException.
    platform::WSAEVENT ensureEvent();

    // WSAEventSelect of the socket onto the event (made if needed) with the
    // mask. Returns false with the Winsock code as last error on failure.
    bool selectEvents(long mask) noexcept;

    // send(2) on the socket that keeps the writable hint: true after a
    // successful send, false when the send would block. Same return
    // convention as platform::send.
    int send(const char* buf, int len) noexcept;

    bool writableHint() const noexcept { return _writable.load(std::memory_order_relaxed) != 0; }
    void setWritableHint(bool writable) noexcept { _writable.store(writable ? 1 : 0, std::memory_order_relaxed); }

    // The socket's last pending error (a Winsock code, 0 when none); the
    // channel layer records it here.
    int lastError() const noexcept { return _lastError; }
    void setLastError(int code) noexcept { _lastError = code; }

    // Closes the socket now (unselecting it first); later calls do nothing.
    void closeSocket() noexcept;

    // The network events and their error codes, filled by the loop with
    // WSAEnumNetworkEvents before the PolledFd's handler runs.
    platform::WSANETWORKEVENTS _evts{};

private:
    PollableDescriptor(platform::SOCKET socket, std::unique_ptr<Owner> owner) noexcept;
    ~PollableDescriptor();

    platform::SOCKET _socket;
    platform::WSAEVENT _event = platform::WSA_INVALID_EVENT;
    std::unique_ptr<Owner> _owner;
    std::atomic<std::uint32_t> _refCount{1};
    std::atomic<std::uint8_t> _writable{0};
    int _lastError = 0;
};

// A counted reference: copies add a reference, destruction drops one.
class PollableDescriptorRef {
public:
    PollableDescriptorRef() noexcept = default;
    // Adopts a reference the caller already holds (e.g. the creator's 1).
    static PollableDescriptorRef adopt(PollableDescriptor* ipd) noexcept {
        PollableDescriptorRef r;
        r._ipd = ipd;
        return r;
    }
    // Takes a new reference.
    explicit PollableDescriptorRef(PollableDescriptor* ipd) noexcept : _ipd(ipd) {
        if (_ipd) _ipd->addRef();
    }
    PollableDescriptorRef(const PollableDescriptorRef& o) noexcept : PollableDescriptorRef(o._ipd) {}
    PollableDescriptorRef(PollableDescriptorRef&& o) noexcept : _ipd(std::exchange(o._ipd, nullptr)) {}
    PollableDescriptorRef& operator=(PollableDescriptorRef o) noexcept {
        std::swap(_ipd, o._ipd);
        return *this;
    }
    ~PollableDescriptorRef() { reset(); }

    void reset() noexcept {
        if (auto* p = std::exchange(_ipd, nullptr)) p->release();
    }
    // Gives up the reference without dropping it.
    PollableDescriptor* detach() noexcept { return std::exchange(_ipd, nullptr); }

    PollableDescriptor* get() const noexcept { return _ipd; }
    PollableDescriptor* operator->() const noexcept { return _ipd; }
    PollableDescriptor& operator*() const noexcept { return *_ipd; }
    explicit operator bool() const noexcept { return _ipd != nullptr; }

private:
    PollableDescriptor* _ipd = nullptr;
};

}  // namespace morvex
