#include "net/name_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include "loop_test_support.h"
#include "platform/error_codes.h"

namespace morvex {
namespace {

std::uint32_t ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class NameResolverTest : public ::testing::Test {
protected:
    NameResolver resolver;
    std::vector<std::string> asked;

    void SetUp() override {
        resolver.setSystemLookup([this](const std::string& host, NameResolver::AddressList& out) {
            asked.push_back(host);
            if (host == "three.example") {
                out = {ip("10.0.0.3"), ip("10.0.0.1"), ip("10.0.0.2")};
                return 0;
            }
            if (host == "nowhere.example") return static_cast<int>(platform::WSAHOST_NOT_FOUND);
            out = {ip("10.9.9.9")};
            return 0;
        });
    }
};

TEST_F(NameResolverTest, LeadingZerosAreStrippedAfterDots) {
    EXPECT_EQ(NameResolver::stripLeadingZeros("10.001.002.003"), "10.1.2.3");
    EXPECT_EQ(NameResolver::stripLeadingZeros("010.000.0.100"), "010.0.0.100");  // first part unchanged
    EXPECT_EQ(NameResolver::stripLeadingZeros("host.010.example"), "host.010.example");
    NameResolver::AddressList out;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("10.001.002.003", out, err));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "10.1.2.3");
}

TEST_F(NameResolverTest, SeveralAddressesRotateInAFixedOrder) {
    resolver.reseed(12345, 678910);
    NameResolver::AddressList first, out;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("three.example", first, err));
    ASSERT_EQ(first.size(), 3u);
    std::set<std::uint32_t> firsts{first[0]};
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(resolver.resolveIPv4("three.example", out, err));
        ASSERT_EQ(out.size(), 3u);
        // Each resolution is the previous order rotated by one.
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(out[k], first[(k + i) % 3]);
        firsts.insert(out[0]);
    }
    EXPECT_EQ(firsts.size(), 3u);
    // Another name does not disturb the rotation of this one.
    ASSERT_TRUE(resolver.resolveIPv4("other.example", out, err));
    ASSERT_TRUE(resolver.resolveIPv4("three.example", out, err));
    EXPECT_EQ(out[0], first[1]);
}

TEST_F(NameResolverTest, TwelveNamesAreRememberedAndTheLeastRecentIsForgotten) {
    // Only lists of several addresses keep per-name state; give every name four.
    resolver.setSystemLookup([](const std::string&, NameResolver::AddressList& out) {
        out = {ip("10.0.0.1"), ip("10.0.0.2"), ip("10.0.0.3"), ip("10.0.0.4")};
        return 0;
    });
    resolver.reseed(1, 2);
    NameResolver::AddressList a, b, c;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("n0", a, err));
    for (int i = 1; i <= 11; ++i) ASSERT_TRUE(resolver.resolveIPv4("n" + std::to_string(i), b, err));
    // n0 plus eleven others fit: n0 continues its rotation.
    ASSERT_TRUE(resolver.resolveIPv4("n0", c, err));
    EXPECT_EQ(c[0], a[1]);
    for (int i = 12; i <= 23; ++i) ASSERT_TRUE(resolver.resolveIPv4("n" + std::to_string(i), b, err));
    // Twelve newer names pushed n0 out: it starts over from a fresh seed, so
    // its order no longer continues the old rotation (fixed by the seed).
    ASSERT_TRUE(resolver.resolveIPv4("n0", c, err));
    NameResolver::AddressList continued(a);
    std::rotate(continued.begin(), continued.begin() + 2, continued.end());
    EXPECT_NE(c, continued);
}

TEST_F(NameResolverTest, FailureGivesSystemText) {
    NameResolver::AddressList out{1, 2};
    std::string err;
    EXPECT_FALSE(resolver.resolveIPv4("nowhere.example", out, err));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(err, "No such host is known.");
}

TEST(NameResolverOrderTest, SortThenLcgShuffle) {
    // Seed 0: x=0 swaps index 0 with itself; x=12345 -> 12345 % 2 = 1 swaps 1 and 2.
    NameResolver::AddressList v{ip("10.0.0.3"), ip("10.0.0.1"), ip("10.0.0.2")};
    NameResolver::orderAddresses(v, 0);
    EXPECT_EQ(v, (NameResolver::AddressList{ip("10.0.0.1"), ip("10.0.0.3"), ip("10.0.0.2")}));
    // Ascending by bytes, not by the host-order integer of the network value.
    NameResolver::AddressList w{ip("2.0.0.1"), ip("1.0.0.2")};
    NameResolver::orderAddresses(w, 2);  // 2 % 2 = 0: no swap
    EXPECT_EQ(w[0], ip("1.0.0.2"));
}

// --- asynchronous resolution ---

// A loop on its own thread, a resolver whose lookup can be held up per name,
// and a record of each completion with the thread it ran on.
class AsyncResolverTest : public ::testing::Test {
protected:
    struct Outcome {
        bool ok = false;
        NameResolver::AddressList addrs;
        std::string error;
        std::uint32_t thread = 0;
        bool insideCall = false;  // ran before resolveIPv4Async returned
    };

    EventLoop loop;
    test::LoopThread loopThread{loop};
    std::mutex lock;
    std::condition_variable released;
    bool release = false;
    std::vector<std::string> asked;
    NameResolver resolver;  // after what its lookups use: it waits for them

    void SetUp() override {
        resolver.setSystemLookup([this](const std::string& host, NameResolver::AddressList& out) {
            std::unique_lock<std::mutex> guard(lock);
            asked.push_back(host);
            if (host == "hang.example") released.wait(guard, [this] { return release; });
            if (host == "nowhere.example") return static_cast<int>(platform::WSAHOST_NOT_FOUND);
            if (host == "three.example") {
                out = {ip("10.0.0.3"), ip("10.0.0.1"), ip("10.0.0.2")};
            } else {
                out = {ip("10.9.9.9")};
            }
            return 0;
        });
    }
    void TearDown() override { releaseHang(); }

    void releaseHang() {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
        released.notify_all();
    }

    // Starts a resolution from the loop's thread; the future is set by the completion.
    std::future<Outcome> start(const std::string& host, NameResolver::Handle* keep = nullptr) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        std::future<Outcome> result = promise->get_future();
        loopThread.onLoop([&, promise] {
            auto inCall = std::make_shared<bool>(true);
            NameResolver::Handle h = resolver.resolveIPv4Async(
                host, loop, [promise, inCall](bool ok, NameResolver::AddressList addrs, std::string error) {
                    promise->set_value(
                        {ok, std::move(addrs), std::move(error), platform::GetCurrentThreadId(), *inCall});
                });
            *inCall = false;
            if (keep)
                *keep = std::move(h);
            else
                handles.push_back(std::move(h));
        });
        return result;
    }
    static Outcome await(std::future<Outcome>& f) {
        EXPECT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return f.get();
    }

    std::vector<NameResolver::Handle> handles;  // touched on the loop thread only
};

TEST_F(AsyncResolverTest, CompletionsRunOnTheReplyLoopWithTheBlockingPathsResults) {
    struct Case {
        const char* host;
        bool ok;
        const char* first;  // first address, or the error text
        bool lookedUp;
    } cases[] = {
        {"one.example", true, "10.9.9.9", true},
        {"nowhere.example", false, "No such host is known.", true},
        {"10.001.002.003", true, "10.1.2.3", false},  // literal after the leading-zero rule
        {"127.0.0.1", true, "127.0.0.1", false},
        {"010.0.0.100", true, "10.9.9.9", true},  // not a plain literal: the system decides
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        std::size_t before = asked.size();
        auto f = start(c.host);
        Outcome o = await(f);
        EXPECT_EQ(o.thread, loopThread.osId());
        // Never inside the call, literals included: the caller stores its
        // handle first.
        EXPECT_FALSE(o.insideCall);
        EXPECT_EQ(o.ok, c.ok);
        if (c.ok) {
            ASSERT_EQ(o.addrs.size(), 1u);
            EXPECT_EQ(o.addrs[0], ip(c.first));
        } else {
            EXPECT_TRUE(o.addrs.empty());
            EXPECT_EQ(o.error, c.first);
        }
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(asked.size() - before, c.lookedUp ? 1u : 0u);
    }
}

TEST_F(AsyncResolverTest, AHangingLookupHoldsUpNothingElse) {
    auto hung = start("hang.example");
    auto other = start("one.example");
    Outcome o = await(other);
    EXPECT_TRUE(o.ok);
    // The loop still runs other work while the lookup hangs.
    std::atomic<bool> ran{false};
    loopThread.onLoop([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(hung.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    releaseHang();
    Outcome late = await(hung);
    EXPECT_TRUE(late.ok);
    EXPECT_EQ(late.thread, loopThread.osId());
}

TEST_F(AsyncResolverTest, RotationIsSharedWithTheBlockingPath) {
    resolver.reseed(12345, 678910);
    NameResolver::AddressList first;
    std::string err;
    ASSERT_TRUE(resolver.resolveIPv4("three.example", first, err));
    for (std::size_t i = 1; i <= 4; ++i) {
        auto f = start("three.example");
        Outcome o = await(f);
        ASSERT_EQ(o.addrs.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(o.addrs[k], first[(k + i) % 3]) << i;
    }
}

TEST_F(AsyncResolverTest, ACancelledResolutionNeverCompletesAndDropsItsCallbackAtOnce) {
    auto witness = std::make_shared<int>(0);
    std::weak_ptr<int> watch = witness;
    std::atomic<int> calls{0};
    NameResolver::Handle handle;
    loopThread.onLoop([&] {
        handle = resolver.resolveIPv4Async(
            "hang.example", loop,
            [w = std::move(witness), &calls](bool, NameResolver::AddressList, std::string) { ++calls; });
        EXPECT_TRUE(handle.pending());
    });
    loopThread.onLoop([&] { handle.cancel(); });
    EXPECT_TRUE(watch.expired());  // what the completion held is gone with the cancel
    EXPECT_FALSE(handle.pending());
    releaseHang();
    // A later resolution on the same loop completes; the cancelled one stays silent.
    auto after = start("one.example");
    await(after);
    loopThread.onLoop([] {});
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(AsyncResolverTest, DroppingTheHandleCancels) {
    std::atomic<int> calls{0};
    loopThread.onLoop([&] {
        NameResolver::Handle h = resolver.resolveIPv4Async(
            "one.example", loop, [&](bool, NameResolver::AddressList, std::string) { ++calls; });
    });
    auto after = start("one.example");
    await(after);
    loopThread.onLoop([] {});
    EXPECT_EQ(calls.load(), 0);
}

// Lookups that end while their owner is torn down: one whose loop stopped
// (its owner is going on another thread) runs nothing, and one cancelled
// before its loop was destroyed queues nothing on the freed loop.
TEST_F(AsyncResolverTest, ALookupEndingAfterItsLoopStoppedRunsNothing) {
    std::atomic<int> calls{0};
    {
        NameResolver ending;  // waits for its lookups when it goes
        ending.setSystemLookup([this](const std::string&, NameResolver::AddressList& out) {
            std::unique_lock<std::mutex> guard(lock);
            asked.push_back("ending");
            released.notify_all();
            released.wait(guard, [this] { return release; });
            out = {ip("10.9.9.9")};
            return 0;
        });
        auto stopped = std::make_unique<EventLoop>();
        auto destroyed = std::make_unique<EventLoop>();
        auto stoppedThread = std::make_unique<test::LoopThread>(*stopped);
        auto destroyedThread = std::make_unique<test::LoopThread>(*destroyed);
        NameResolver::Handle kept, cancelled;
        auto count = [&](bool, NameResolver::AddressList, std::string) { ++calls; };
        stoppedThread->onLoop([&] { kept = ending.resolveIPv4Async("kept.example", *stopped, count); });
        destroyedThread->onLoop([&] {
            cancelled = ending.resolveIPv4Async("cancelled.example", *destroyed, count);
            cancelled.cancel();
        });
        {
            std::unique_lock<std::mutex> guard(lock);
            ASSERT_TRUE(released.wait_for(guard, std::chrono::seconds(10), [this] {
                return std::count(asked.begin(), asked.end(), "ending") == 2;
            }));
        }
        stoppedThread->stop();
        destroyedThread.reset();
        destroyed.reset();
        releaseHang();
    }
    EXPECT_EQ(calls.load(), 0);
}

TEST(AsyncSystemResolverTest, LocalhostThroughTheSystemResolver) {
    EventLoop loop;
    test::LoopThread loopThread(loop);
    NameResolver resolver;
    std::promise<std::pair<bool, NameResolver::AddressList>> done;
    auto f = done.get_future();
    NameResolver::Handle handle;
    loopThread.onLoop([&] {
        handle = resolver.resolveIPv4Async("localhost", loop, [&](bool ok, NameResolver::AddressList a, std::string) {
            done.set_value({ok, std::move(a)});
        });
    });
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto [ok, addrs] = f.get();
    ASSERT_TRUE(ok);
    EXPECT_NE(std::find(addrs.begin(), addrs.end(), ip("127.0.0.1")), addrs.end());
    loopThread.onLoop([&] { handle.cancel(); });
}

}  // namespace
}  // namespace morvex
