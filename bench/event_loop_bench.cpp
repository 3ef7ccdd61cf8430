// Event loop costs: an actor round trip from another thread, arming and
// cancelling timers, and the wake-up cost with 1, 64 and 500 registered
// descriptors (by a posted actor and by a readable socket).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "net/event_loop.h"
#include "platform/tick_count.h"
#include "util/thread.h"

namespace morvex {
namespace {

class LoopRunner {
public:
    explicit LoopRunner(EventLoop& loop) : _loop(loop) {
        EmptyMainThread::ensureForTest();
        _thread = std::make_unique<ThreadFunction>([this] { _loop.run(); }, "BenchLoop");
        EventLoop::WaitForEventLoopStarted(_loop, *_thread);
    }
    ~LoopRunner() {
        _loop.stop();
        _thread->join();
    }
    void onLoop(std::function<void()> fn) {
        InThreadFunction<void> actor(std::move(fn));
        _loop.runInThread(&actor, true);
    }

private:
    EventLoop& _loop;
    std::unique_ptr<ThreadFunction> _thread;
};

// Connected loopback pairs: first registered with the loop, second the peer.
std::vector<std::pair<int, int>> makePairs(int n) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(listener, 1024);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < n; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pairs.emplace_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), c);
    }
    ::close(listener);
    return pairs;
}

// Reads what arrives and tells the waiting benchmark thread.
class Echo : public PolledFd {
public:
    explicit Echo(int s) : ipd(PollableDescriptorRef::adopt(PollableDescriptor::create(s))) {}
    bool handleEvents(const PollableDescriptorRef&) override {
        char buf[64];
        bool got = false;
        while (platform::recv(ipd->socket(), buf, sizeof buf, 0) > 0) got = true;
        if (got) {
            std::lock_guard<std::mutex> l(m);
            ++arrived;
            cv.notify_one();
        }
        return false;
    }
    PollableDescriptorRef ipd;
    std::mutex m;
    std::condition_variable cv;
    std::uint64_t arrived = 0;
};

struct Registered {
    std::vector<std::pair<int, int>> pairs;
    std::vector<std::unique_ptr<Echo>> fds;
    Registered(LoopRunner& runner, EventLoop& loop, int n) : pairs(makePairs(n)) {
        for (auto& p : pairs) fds.push_back(std::make_unique<Echo>(p.first));
        runner.onLoop([&] {
            for (auto& fd : fds) loop.addPolledFd(fd.get(), fd->ipd.get(), fd->initialEventMask());
        });
    }
    void remove(LoopRunner& runner, EventLoop& loop) {
        runner.onLoop([&] {
            for (auto& fd : fds) loop.removePolledFd(fd.get());
        });
        for (auto& p : pairs) ::close(p.second);
    }
};

void BM_ActorRoundTrip(benchmark::State& state) {
    EventLoop loop;
    LoopRunner runner(loop);
    Registered reg(runner, loop, static_cast<int>(state.range(0)));
    std::uint64_t n = 0;
    InThreadFunction<void> actor([&] { ++n; });
    for (auto _ : state) loop.runInThread(&actor, true);
    benchmark::DoNotOptimize(n);
    state.SetItemsProcessed(state.iterations());
    reg.remove(runner, loop);
}
BENCHMARK(BM_ActorRoundTrip)->ArgName("descriptors")->Arg(0)->Arg(1)->Arg(64)->Arg(500)->UseRealTime();

void BM_SocketWakeUp(benchmark::State& state) {
    EventLoop loop;
    LoopRunner runner(loop);
    Registered reg(runner, loop, static_cast<int>(state.range(0)));
    // The last registered socket: in a waiter's set once the loop's is full.
    Echo& target = *reg.fds.back();
    const int peer = reg.pairs.back().second;
    std::uint64_t expected = 0;
    for (auto _ : state) {
        (void)::send(peer, "x", 1, 0);
        ++expected;
        std::unique_lock<std::mutex> l(target.m);
        target.cv.wait(l, [&] { return target.arrived >= expected; });
    }
    state.SetItemsProcessed(state.iterations());
    reg.remove(runner, loop);
}
BENCHMARK(BM_SocketWakeUp)->ArgName("descriptors")->Arg(1)->Arg(64)->Arg(500)->UseRealTime();

class NopTimer : public OneShotTimeout {
public:
    void callback() override {}
};

void BM_TimerArmCancel(benchmark::State& state) {
    TimeoutHeap heap;
    const std::uint64_t now = platform::GetTickCount64();
    std::vector<NopTimer> background(static_cast<std::size_t>(state.range(0)));
    std::mt19937 rng(1);
    for (auto& t : background) heap.add(&t, 1000 + rng() % 100000, now);
    NopTimer t;
    std::uint64_t delay = 500;
    for (auto _ : state) {
        heap.add(&t, delay, now);
        heap.remove(&t);
        delay = (delay * 7 + 13) % 200000;
    }
    for (auto& b : background) heap.remove(&b);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerArmCancel)->ArgName("armed")->Arg(0)->Arg(1000)->Arg(100000);

void BM_TimerRearm(benchmark::State& state) {
    // Moving an armed timer (the I/O time-out pattern: re-armed on progress).
    TimeoutHeap heap;
    const std::uint64_t now = platform::GetTickCount64();
    std::vector<NopTimer> background(static_cast<std::size_t>(state.range(0)));
    std::mt19937 rng(2);
    for (auto& t : background) heap.add(&t, 1000 + rng() % 100000, now);
    NopTimer t;
    heap.add(&t, 240000, now);
    std::uint64_t tick = now;
    for (auto _ : state) heap.add(&t, 240000, ++tick);
    heap.remove(&t);
    for (auto& b : background) heap.remove(&b);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerRearm)->ArgName("armed")->Arg(1000)->Arg(100000);

}  // namespace
}  // namespace morvex

BENCHMARK_MAIN();
