#include "net/self_pipe.h"

#include "net/event_loop.h"
#include "net/event_loop_exceptions.h"

namespace morvex {

namespace {
PollableDescriptorRef makeSelfPipeDescriptor() {
    PollableDescriptor* ipd = PollableDescriptor::tryCreateEventOnly();
    if (!ipd) throw SelfPipeException("can't create selfpipe");
    return PollableDescriptorRef::adopt(ipd);
}
}  // namespace

ProxyPolledFd::ProxyPolledFd(PollableDescriptorRef ipd) noexcept : _ipd(std::move(ipd)) {}

ProxyPolledFd::~ProxyPolledFd() {
    unregister();
}

void ProxyPolledFd::registerWith(EventLoop& loop) {
    _loop = &loop;
    loop.addPolledFd(&_inner, _ipd.get(), _inner.initialEventMask());
}

void ProxyPolledFd::unregister() {
    if (_loop && _inner.isRegistered()) _loop->removePolledFd(&_inner);
    _loop = nullptr;
}

void ProxyPolledFd::removed(PollableDescriptorRef ipd) {
    ipd.reset();
}

PolledWSAEvent::PolledWSAEvent(PollableDescriptorRef ipd) noexcept : ProxyPolledFd(std::move(ipd)) {}

PolledWSAEvent::~PolledWSAEvent() = default;

void PolledWSAEvent::signal() noexcept {
    platform::WSASetEvent(_ipd->event());
}

void PolledWSAEvent::reset() noexcept {
    platform::WSAResetEvent(_ipd->event());
}

SelfPipe::SelfPipe() : PolledWSAEvent(makeSelfPipeDescriptor()) {}

bool InThreadActorNotify::handleEvents(const PollableDescriptorRef&) {
    reset();
    _owner->runPostedActors();
    return false;
}

}  // namespace morvex
