// Helpers for event loop tests: connected loopback sockets, a thread that
// runs a loop, and a PolledFd whose handler is a lambda.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "net/event_loop.h"
#include "support/origin.h"
#include "util/thread.h"

namespace morvex::test {

// A loopback listener that hands out connected TCP pairs.
class LoopbackPairs {
public:
    LoopbackPairs() : _listener(listenOnAnyLoopbackPort(_port, 512, "loopback listener")) {}
    ~LoopbackPairs() { ::close(_listener); }

    // first: the accepted side (to register), second: the peer.
    std::pair<int, int> make() {
        int c = connectLoopback(_port);
        if (c < 0) ADD_FAILURE() << "connect";
        int s = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) ADD_FAILURE() << "accept";
        return {s, c};
    }

private:
    std::uint16_t _port = 0;
    int _listener = -1;
};

// Runs a loop on its own thread for the test's scope; stop() joins it.
class LoopThread {
public:
    explicit LoopThread(EventLoop& loop, const char* name = "TestLoop") : _loop(loop) {
        EmptyMainThread::ensureForTest();
        _thread = std::make_unique<ThreadFunction>(
            [this] {
                _osId.store(platform::GetCurrentThreadId());
                try {
                    _loop.run();
                } catch (...) {
                    _failure = std::current_exception();
                }
            },
            "%s", name);
        EventLoop::WaitForEventLoopStarted(_loop, *_thread);
    }
    ~LoopThread() { stop(); }

    void stop() {
        if (!_thread) return;
        _loop.stop();
        _thread->join();
        _thread.reset();
    }
    std::uint32_t osId() const { return _osId.load(); }
    std::exception_ptr failure() const { return _failure; }

    // Runs fn on the loop's thread and waits.
    void onLoop(std::function<void()> fn) {
        InThreadFunction<void> actor(std::move(fn));
        _loop.runInThread(&actor, true);
    }

private:
    EventLoop& _loop;
    std::unique_ptr<ThreadFunction> _thread;
    std::atomic<std::uint32_t> _osId{0};
    std::exception_ptr _failure;
};

// A PolledFd over a socket whose handler is a function.
class FnPolledFd : public PolledFd {
public:
    using Handler = std::function<bool(FnPolledFd&)>;
    explicit FnPolledFd(int socket, Handler handler = {})
        : _ipd(PollableDescriptorRef::adopt(PollableDescriptor::create(socket))), _handler(std::move(handler)) {}

    bool handleEvents(const PollableDescriptorRef&) override {
        served.fetch_add(1);
        return _handler ? _handler(*this) : drain();
    }
    void removed(PollableDescriptorRef ipd) override {
        removedCalls.fetch_add(1);
        ipd.reset();
    }
    // Reads what is there (re-arming FD_READ).
    bool drain() {
        char buf[4096];
        while (platform::recv(_ipd->socket(), buf, sizeof buf, 0) > 0) {
        }
        return false;
    }
    PollableDescriptor* ipd() const { return _ipd.get(); }

    std::atomic<int> served{0};
    std::atomic<int> removedCalls{0};

private:
    PollableDescriptorRef _ipd;
    Handler _handler;
};

}  // namespace morvex::test
