// Exceptions from handlers, actors and timers stay inside the loop: they are
// logged, the offending PolledFd is dropped, a waiting poster is released,
// and the loop goes on serving.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <string>

#include "loop_test_support.h"
#include "net/event_loop.h"
#include "platform/last_error.h"

namespace morvex {
namespace {

using test::eventually;
using test::FnPolledFd;
using test::LoopbackPairs;
using test::LoopThread;

// What a broken callback throws, and the text the log must show.
struct Thrown {
    const char* name;
    std::function<void()> raise;
    std::string expectedText;
};

std::vector<Thrown> thrownKinds() {
    return {
        {"EventLoopException 10024",
         [] {
             platform::WSASetLastError(static_cast<int>(platform::WSAEMFILE));
             throw EventLoopException("couldn't select events for new PolledFd");
         },
         "couldn't select events for new PolledFd: winsock error 10024"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
        {"not a std::exception", [] { throw 42; }, "Unknown exception"},
    };
}

// After a failure, the loop must still serve a socket and a posted actor.
void expectLoopStillServes(EventLoop& loop, LoopThread& lt, LoopbackPairs& pairs) {
    auto [mine, peer] = pairs.make();
    FnPolledFd healthy(mine);
    lt.onLoop([&] { loop.addPolledFd(&healthy, healthy.ipd(), healthy.initialEventMask()); });
    ASSERT_EQ(::send(peer, "n", 1, 0), 1);
    EXPECT_TRUE(eventually([&] { return healthy.served.load() >= 1; }));
    std::atomic<bool> ran{false};
    InThreadFunction<void> actor([&] { ran = true; });
    loop.runInThread(&actor, true);
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(loop.isRunning());
    lt.onLoop([&] { loop.removePolledFd(&healthy); });
    ::close(peer);
}

TEST(EventLoopExceptionsTest, ThrowingHandlerIsDroppedAndTheLoopGoesOn) {
    for (const Thrown& kind : thrownKinds()) {
        SCOPED_TRACE(kind.name);
        EventLoop loop;
        LoopbackPairs pairs;
        auto [mine, peer] = pairs.make();
        FnPolledFd broken(mine, [&](FnPolledFd&) -> bool {
            kind.raise();
            return false;
        });
        LoopThread lt(loop);
        lt.onLoop([&] { loop.addPolledFd(&broken, broken.ipd(), broken.initialEventMask()); });
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(::send(peer, "x", 1, 0), 1);
        ASSERT_TRUE(eventually([&] { return broken.removedCalls.load() == 1; }));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(kind.expectedText), std::string::npos) << err;
        EXPECT_NE(err.find("ERROR"), std::string::npos) << err;
        EXPECT_FALSE(broken.isRegistered());
        EXPECT_EQ(broken.ipd()->refCount(), 1u);  // the loop dropped its reference
        expectLoopStillServes(loop, lt, pairs);
        EXPECT_EQ(broken.served.load(), 1);
        lt.stop();
        EXPECT_FALSE(lt.failure());
        ::close(peer);
    }
}

TEST(EventLoopExceptionsTest, ThrowingActorReleasesItsPosterAndTheLoopGoesOn) {
    for (const Thrown& kind : thrownKinds()) {
        SCOPED_TRACE(kind.name);
        EventLoop loop;
        LoopbackPairs pairs;
        LoopThread lt(loop);
        ::testing::internal::CaptureStderr();
        // Waiting posters (plain and "or fail") return; a fire-and-forget one
        // does not take the loop down either.
        InThreadFunction<void> waited([&] { kind.raise(); });
        loop.runInThread(&waited, true);
        InThreadFunction<void> orFail([&] { kind.raise(); });
        EXPECT_TRUE(loop.runInThreadOrFail(&orFail));
        InThreadFunctionNowait::post(loop, [&] { kind.raise(); });
        InThreadFunction<void> fence([] {});  // runs after the one above
        loop.runInThread(&fence, true);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(kind.expectedText), std::string::npos) << err;
        expectLoopStillServes(loop, lt, pairs);
        lt.stop();
        EXPECT_FALSE(lt.failure());
    }
}

TEST(EventLoopExceptionsTest, ThrowingTimerIsLoggedAndOtherTimersStillFire) {
    for (const Thrown& kind : thrownKinds()) {
        SCOPED_TRACE(kind.name);
        EventLoop loop;
        LoopbackPairs pairs;
        struct Broken : OneShotTimeout {
            const Thrown* kind = nullptr;
            std::atomic<int> fired{0};
            void callback() override {
                ++fired;
                kind->raise();
            }
        } broken;
        broken.kind = &kind;
        struct Good : OneShotTimeout {
            std::atomic<int> fired{0};
            void callback() override { ++fired; }
        } good;
        LoopThread lt(loop);
        ::testing::internal::CaptureStderr();
        // Due in the same firing pass: the one behind the broken timer fires too.
        lt.onLoop([&] {
            loop.addTimeout(&broken, 5);
            loop.addTimeout(&good, 6);
        });
        ASSERT_TRUE(eventually([&] { return good.fired.load() == 1; }));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(kind.expectedText), std::string::npos) << err;
        EXPECT_EQ(broken.fired.load(), 1);  // a one-shot timer is done, not retried
        expectLoopStillServes(loop, lt, pairs);
        lt.stop();
        EXPECT_FALSE(lt.failure());
    }
}

TEST(EventLoopExceptionsTest, TerminateFromAnActorStillEndsTheLoop) {
    EventLoop loop;
    LoopThread lt(loop);
    InThreadFunctionNowait::post(loop, [] { throw Thread::TerminateException("enough"); });
    ASSERT_TRUE(eventually([&] { return !loop.isRunning(); }));
    lt.stop();
    ASSERT_TRUE(lt.failure());
    EXPECT_THROW(std::rethrow_exception(lt.failure()), Thread::TerminateException);
}

}  // namespace
}  // namespace morvex
