#include "net/pollable_descriptor.h"

#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {
Logger s_log("PollableDescriptor");

std::string describeFailure(const std::string& message) {
    std::string text = Thread::currentThreadName();
    text += ": about to throw a PollableDescriptorException: ";
    text += message;
    return text;
}

// Closes an event, keeping the caller's last-error code; a failure is logged.
void closeEvent(platform::WSAEVENT event) noexcept {
    const int saved = platform::WSAGetLastError();
    if (!platform::WSACloseEvent(event)) s_log.error("couldn't WSACloseEvent, error=%d", platform::WSAGetLastError());
    platform::WSASetLastError(saved);
}
}  // namespace

PollableDescriptorException::PollableDescriptorException(const std::string& message)
    : BaseException(describeFailure(message)) {
    s_log.warn("%s", _message.c_str());
}

PollableDescriptor::PollableDescriptor(platform::SOCKET socket, std::unique_ptr<Owner> owner) noexcept
    : _socket(socket), _owner(std::move(owner)) {}

PollableDescriptor::~PollableDescriptor() {
    if (_owner) {
        _owner->close();
        _owner.reset();
    }
    closeSocket();
    if (_event != platform::WSA_INVALID_EVENT) closeEvent(_event);
}

PollableDescriptor* PollableDescriptor::create(platform::SOCKET socket, std::unique_ptr<Owner> owner) {
    return new PollableDescriptor(socket, std::move(owner));
}

PollableDescriptor* PollableDescriptor::tryCreateEventOnly() noexcept {
    platform::WSAEVENT event = platform::WSACreateEvent();
    if (event == platform::WSA_INVALID_EVENT) return nullptr;
    auto* ipd = new (std::nothrow) PollableDescriptor(platform::INVALID_SOCKET, nullptr);
    if (!ipd) {
        closeEvent(event);
        return nullptr;
    }
    ipd->_event = event;
    return ipd;
}

PollableDescriptor* PollableDescriptor::createEventOnly() {
    PollableDescriptor* ipd = tryCreateEventOnly();
    if (!ipd) throw PollableDescriptorException("couldn't WSACreateEvent");
    return ipd;
}

void PollableDescriptor::release() noexcept {
    if (_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

platform::WSAEVENT PollableDescriptor::ensureEvent() {
    if (_event == platform::WSA_INVALID_EVENT) {
        _event = platform::WSACreateEvent();
        if (_event == platform::WSA_INVALID_EVENT) throw PollableDescriptorException("couldn't WSACreateEvent");
    }
    return _event;
}

bool PollableDescriptor::selectEvents(long mask) noexcept {
    if (_event == platform::WSA_INVALID_EVENT) {
        _event = platform::WSACreateEvent();
        if (_event == platform::WSA_INVALID_EVENT) return false;
    }
    return platform::WSAEventSelect(_socket, _event, mask) == 0;
}

int PollableDescriptor::send(const char* buf, int len) noexcept {
    const int n = platform::send(_socket, buf, len, 0);
    if (n >= 0)
        setWritableHint(true);
    else if (platform::WSAGetLastError() == platform::WSAEWOULDBLOCK)
        setWritableHint(false);
    return n;
}

void PollableDescriptor::closeSocket() noexcept {
    if (_socket == platform::INVALID_SOCKET) return;
    const int saved = platform::WSAGetLastError();
    if (_event != platform::WSA_INVALID_EVENT) platform::WSAEventSelect(_socket, _event, 0);
    platform::closesocket(_socket);
    _socket = platform::INVALID_SOCKET;
    platform::WSASetLastError(saved);
}

}  // namespace morvex
