// A loop with hundreds of sockets: waiter threads, their reuse, and no spin.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loop_test_support.h"
#include "net/event_loop.h"
#include "net/extra_event_waiter_thread.h"

namespace morvex {
namespace {

using test::eventually;
using test::FnPolledFd;
using test::LoopbackPairs;
using test::LoopThread;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// n connected sockets whose handlers read everything and add it to bytes;
// their peers go to peers.
std::vector<std::unique_ptr<FnPolledFd>> countingSockets(LoopbackPairs& pairs, int n, std::atomic<int>& bytes,
                                                         std::vector<int>& peers) {
    std::vector<std::unique_ptr<FnPolledFd>> fds;
    for (int i = 0; i < n; ++i) {
        auto [mine, peer] = pairs.make();
        peers.push_back(peer);
        fds.push_back(std::make_unique<FnPolledFd>(mine, [&bytes](FnPolledFd& self) {
            char buf[64];
            int got;
            while ((got = platform::recv(self.ipd()->socket(), buf, sizeof buf, 0)) > 0) bytes += got;
            return false;
        }));
    }
    return fds;
}

class Listener : public PolledFd {
public:
    explicit Listener(PollableDescriptorRef ipd) : ipd(std::move(ipd)) {}
    long initialEventMask() const override { return platform::FD_ACCEPT; }
    bool handleEvents(const PollableDescriptorRef&) override { return false; }
    PollableDescriptorRef ipd;
};

TEST(EventLoopWaitersTest, HundredsOfSocketsUseWaiterThreadsThatAreParkedAndReused) {
    constexpr int kSockets = 300;
    EventLoop loop;
    LoopbackPairs pairs;
    std::atomic<int> bytes{0};
    std::vector<int> peers;
    std::vector<std::unique_ptr<FnPolledFd>> fds = countingSockets(pairs, kSockets, bytes, peers);
    LoopThread lt(loop);
    auto add = [&](int from, int to) {
        lt.onLoop([&] {
            for (int i = from; i < to; ++i) loop.addPolledFd(fds[i].get(), fds[i]->ipd(), fds[i]->initialEventMask());
        });
    };
    auto removeRange = [&](int from, int to) {
        lt.onLoop([&] {
            for (int i = from; i < to; ++i) loop.removePolledFd(fds[i].get());
        });
    };

    // The notification object takes one slot: 63 sockets fill the own set.
    add(0, 63);
    EventLoop::WaiterCounts counts;
    lt.onLoop([&] { counts = loop.waiterCounts(); });
    EXPECT_EQ(counts.total(), 0u);
    EXPECT_EQ(loop.ownWaitSet()._count, 64u);

    // The next one starts a waiter: it takes the socket from the highest slot
    // and the new one; its ready event takes that slot.
    add(63, 64);
    lt.onLoop([&] {
        counts = loop.waiterCounts();
        const WaitSet& own = loop.ownWaitSet();
        const WaitSet* ws = EventLoop::waitSetOf(fds[63].get());
        EXPECT_EQ(own._count, 64u);
        ASSERT_NE(own._entries[63].waiter, nullptr);
        EXPECT_EQ(&own._entries[63].waiter->_set, ws);
        ASSERT_NE(ws, &own);
        EXPECT_EQ(ws->_count, 3u);
        EXPECT_TRUE(ws->_entries[0].empty());  // its command event
        EXPECT_EQ(EventLoop::waitSetOf(fds[62].get()), ws);
    });
    EXPECT_EQ(counts.total(), 1u);

    add(64, kSockets);
    lt.onLoop([&] { counts = loop.waiterCounts(); });
    const std::uint32_t waiters = counts.total();
    EXPECT_GE(waiters, 4u);
    const std::uint32_t threadsWithAll = Thread::threadsActive();

    // Every socket is served, whichever set holds it.
    for (int p : peers) ASSERT_EQ(::send(p, "x", 1, 0), 1);
    ASSERT_TRUE(eventually([&] { return bytes.load() == kSockets; }));
    for (auto& fd : fds) EXPECT_GE(fd->served.load(), 1) << "socket not served";

    // A listening socket added now goes first in its set and its waiter
    // first in the loop's set, so accepts are served before the rest.
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::listen(lfd, 1), 0);
    Listener listener(PollableDescriptorRef::adopt(PollableDescriptor::create(lfd)));
    lt.onLoop([&] {
        loop.addPolledFd(&listener, listener.ipd.get(), listener.initialEventMask());
        const WaitSet* ws = EventLoop::waitSetOf(&listener);
        EXPECT_EQ(ws->_entries[0].fd, &listener);
        const WaitSet* top = ws;
        while (top->_owner && top->_owner->_parentSet != &loop.ownWaitSet()) top = top->_owner->_parentSet;
        ASSERT_NE(top->_owner, nullptr);
        EXPECT_EQ(loop.ownWaitSet()._entries[0].waiter, top->_owner);
        loop.removePolledFd(&listener);
    });

    // Idle, the loop and its waiters sleep: CPU time stays near zero.
    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(cpuSeconds() - cpuBefore, 0.1);

    // Emptied waiters are parked, not ended, and reused without new threads.
    removeRange(0, kSockets);
    lt.onLoop([&] { counts = loop.waiterCounts(); });
    EXPECT_EQ(counts.idle, waiters);
    EXPECT_EQ(counts.free + counts.full, 0u);
    EXPECT_EQ(loop.ownWaitSet()._count, 1u);  // the notification object
    add(0, kSockets);
    lt.onLoop([&] { counts = loop.waiterCounts(); });
    EXPECT_EQ(counts.total(), waiters);
    EXPECT_EQ(counts.idle, 0u);
    EXPECT_EQ(Thread::threadsActive(), threadsWithAll);
    for (int p : peers) ASSERT_EQ(::send(p, "y", 1, 0), 1);
    ASSERT_TRUE(eventually([&] { return bytes.load() == 2 * kSockets; }));

    removeRange(0, kSockets);
    lt.stop();
    for (int p : peers) ::close(p);
}

TEST(EventLoopWaitersTest, SocketsInAWaitersSetThatThrowOrKeepWritingAreHandledOnTheLoop) {
    EventLoop loop;
    LoopbackPairs pairs;
    std::vector<std::unique_ptr<FnPolledFd>> filler;
    std::vector<int> peers;
    for (int i = 0; i < 70; ++i) {
        auto [mine, peer] = pairs.make();
        peers.push_back(peer);
        filler.push_back(std::make_unique<FnPolledFd>(mine));
    }
    auto [t, tp] = pairs.make();
    auto [w, wp] = pairs.make();
    peers.push_back(tp);
    peers.push_back(wp);
    FnPolledFd thrower(t, [](FnPolledFd& self) -> bool {
        self.drain();
        throw std::runtime_error("handler failed");
    });
    std::atomic<int> writes{0};
    FnPolledFd writer(w, [&](FnPolledFd& self) {
        self.drain();
        if ((self.pendingEvents() & platform::FD_WRITE) && self.ipd()->send("z", 1) == 1 && ++writes == 5)
            self.selectEvents(platform::FD_READ | platform::FD_CLOSE);
        return false;
    });
    LoopThread lt(loop);
    lt.onLoop([&] {
        for (auto& fd : filler) loop.addPolledFd(fd.get(), fd->ipd(), fd->initialEventMask());
        loop.addPolledFd(&thrower, thrower.ipd(), thrower.initialEventMask());
        ASSERT_NE(EventLoop::waitSetOf(&thrower)->_owner, nullptr);
    });
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(::send(tp, "x", 1, 0), 1);
    ASSERT_TRUE(eventually([&] { return thrower.removedCalls.load() == 1; }));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("handler failed"), std::string::npos);

    // FD_WRITE fires once; the writable hint keeps it served although it
    // sits in a waiter's set.
    lt.onLoop([&] {
        loop.addPolledFd(&writer, writer.ipd(), platform::FD_READ | platform::FD_WRITE | platform::FD_CLOSE);
        ASSERT_NE(EventLoop::waitSetOf(&writer)->_owner, nullptr);
    });
    ASSERT_TRUE(eventually([&] { return writes.load() == 5; }));

    // The rest of that waiter's set is still served.
    for (int p : peers) ::send(p, "y", 1, 0);
    ASSERT_TRUE(eventually([&] {
        for (auto& fd : filler)
            if (fd->served.load() == 0) return false;
        return true;
    }));
    lt.onLoop([&] {
        for (auto& fd : filler) loop.removePolledFd(fd.get());
        loop.removePolledFd(&writer);
    });
    lt.stop();
    for (int p : peers) ::close(p);
}

TEST(EventLoopWaitersTest, TrafficWhileRegistrationsChangeLosesNoWakeUp) {
    // Sockets are removed and added again (moving between sets, parking and
    // reusing waiters) while their peers keep sending: every byte must still
    // be read, whatever set held the socket when it arrived.
    constexpr int kSockets = 200;
    constexpr int kRounds = 30;
    EventLoop loop;
    LoopbackPairs pairs;
    std::atomic<int> bytes{0};
    std::vector<int> peers;
    std::vector<std::unique_ptr<FnPolledFd>> fds = countingSockets(pairs, kSockets, bytes, peers);
    LoopThread lt(loop);
    lt.onLoop([&] {
        for (auto& fd : fds) loop.addPolledFd(fd.get(), fd->ipd(), fd->initialEventMask());
    });
    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; sending.load(); i = (i + 7) % kSockets) {
            if (::send(peers[i], "s", 1, 0) == 1) ++sent;
            if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        const int from = (round * 37) % kSockets;
        const int count = 20 + round * 5;
        lt.onLoop([&] {
            for (int k = 0; k < count; ++k) loop.removePolledFd(fds[(from + k) % kSockets].get());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lt.onLoop([&] {
            for (int k = 0; k < count; ++k) {
                FnPolledFd* fd = fds[(from + k) % kSockets].get();
                loop.addPolledFd(fd, fd->ipd(), fd->initialEventMask());
            }
        });
    }
    sending = false;
    sender.join();
    EXPECT_GT(sent.load(), kRounds);
    // Data that arrived while a socket was out of the loop is read once it
    // is back (selecting its events again records what is pending).
    EXPECT_TRUE(eventually([&] { return bytes.load() == sent.load(); })) << bytes.load() << " of " << sent.load();
    lt.onLoop([&] {
        for (auto& fd : fds) loop.removePolledFd(fd.get());
    });
    lt.stop();
    for (int p : peers) ::close(p);
}

// Runs in a child process (the descriptor limit is lowered there): a new
// waiter that cannot make its descriptors fails that one registration with
// an exception; the loop goes on, and the same registration works once
// descriptors are back. Exits 0 when all of that holds.
[[noreturn]] void waiterShortOfDescriptors() {
    auto fail = [](const char* what) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        std::_Exit(1);
    };
    EventLoop loop;
    LoopbackPairs pairs;
    std::atomic<int> bytes{0};
    std::vector<int> peers;
    std::vector<std::unique_ptr<FnPolledFd>> fds = countingSockets(pairs, 64, bytes, peers);
    LoopThread lt(loop);
    lt.onLoop([&] {
        for (int i = 0; i < 63; ++i) loop.addPolledFd(fds[i].get(), fds[i]->ipd(), fds[i]->initialEventMask());
    });
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 512;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) fail("setrlimit");
    std::vector<int> spare;
    for (int d; (d = ::dup(0)) >= 0;) spare.push_back(d);
    if (spare.size() < 4) fail("no descriptors to free later");

    std::string error;
    EventLoop::WaiterCounts counts;
    lt.onLoop([&] {
        try {
            loop.addPolledFd(fds[63].get(), fds[63]->ipd(), fds[63]->initialEventMask());
        } catch (const std::exception& e) {
            error = e.what();
        }
        counts = loop.waiterCounts();
    });
    if (error.find("couldn't prepare an ExtraEventWaiterThread") == std::string::npos) fail("registration did not fail");
    if (fds[63]->isRegistered() || counts.total() != 0) fail("a failed registration left state behind");
    for (int i = 0; i < 4; ++i) ::close(spare[i]);
    lt.onLoop([&] { loop.addPolledFd(fds[63].get(), fds[63]->ipd(), fds[63]->initialEventMask()); });
    for (int p : peers) ::send(p, "x", 1, 0);
    if (!eventually([&] { return bytes.load() == 64; })) fail("sockets not served after the failure");
    std::_Exit(0);
}

TEST(EventLoopWaitersTest, AWaiterShortOfDescriptorsFailsTheRegistrationNotTheProcess) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs descriptors of its own to check memory
    // (it reports false faults without them): this runs in the plain build.
    GTEST_SKIP() << "needs a process without sanitizers";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(waiterShortOfDescriptors(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace morvex
