// Loop members built from a PolledFd by composition, and the self-pipe that
// wakes a loop.
//
// A ProxyPolledFd holds an inner PolledFd that forwards its handler and its
// removal notice to the outer object. PolledWSAEvent watches a bare event
// object; SelfPipe is one used to wake the loop; InThreadActorNotify is the
// SelfPipe of a running loop, whose handler runs posted actors.
#pragma once

#include <cstdint>

#include "net/polled_fd.h"

namespace morvex {

class EventLoop;

class SmartEventLoopMember {
public:
    virtual ~SmartEventLoopMember() = default;
    virtual void registerWith(EventLoop& loop) = 0;
    virtual void unregister() = 0;
};

class ProxyPolledFd : public SmartEventLoopMember {
public:
    explicit ProxyPolledFd(PollableDescriptorRef ipd) noexcept;
    // Unregisters if still registered.
    ~ProxyPolledFd() override;

    // Registers the inner PolledFd with its initial mask.
    void registerWith(EventLoop& loop) override;
    void unregister() override;

    // Called after the loop removed it because handleEvents returned true.
    virtual void removed(PollableDescriptorRef ipd);
    virtual bool handleEvents(const PollableDescriptorRef& ipd) = 0;

    PolledFd& polledFd() noexcept { return _inner; }
    PollableDescriptor* descriptor() const noexcept { return _ipd.get(); }

    class proxy_polledfd final : public PolledFd {
    public:
        explicit proxy_polledfd(ProxyPolledFd* outer) noexcept : _outer(outer) {}
        bool handleEvents(const PollableDescriptorRef& ipd) override { return _outer->handleEvents(ipd); }
        void removed(PollableDescriptorRef ipd) override { _outer->removed(std::move(ipd)); }

    private:
        ProxyPolledFd* _outer;
    };

protected:
    proxy_polledfd _inner{this};
    PollableDescriptorRef _ipd;
    EventLoop* _loop = nullptr;
};

// Watches an event object of its own (no socket).
class PolledWSAEvent : public ProxyPolledFd {
public:
    // ipd: an event-only descriptor.
    explicit PolledWSAEvent(PollableDescriptorRef ipd) noexcept;
    ~PolledWSAEvent() override;

    void signal() noexcept;
    void reset() noexcept;
};

class SelfPipe : public PolledWSAEvent {
public:
    // Throws SelfPipeException "can't create selfpipe".
    SelfPipe();
};

// The running loop's notification object: posting an actor signals it, and
// its handler runs the posted actors.
class InThreadActorNotify final : public SelfPipe {
public:
    explicit InThreadActorNotify(EventLoop* loop) : _owner(loop) {}
    bool handleEvents(const PollableDescriptorRef& ipd) override;

private:
    EventLoop* _owner;
};

}  // namespace morvex
