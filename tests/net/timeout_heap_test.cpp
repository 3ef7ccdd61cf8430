#include "net/timeout_heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "platform/tick_count.h"

namespace morvex {
namespace {

using platform::ScopedFakeTickCount;

struct Recorder {
    std::vector<int> fired;
};

class TestTimer : public OneShotTimeout {
public:
    TestTimer(Recorder* r, int id, std::function<void()> extra = {}) : _r(r), _id(id), _extra(std::move(extra)) {}
    void callback() override {
        _r->fired.push_back(_id);
        if (_extra) _extra();
    }

private:
    Recorder* _r;
    int _id;
    std::function<void()> _extra;
};

TEST(TimeoutHeapTest, FiresInDueOrderThroughRandomInsertsMovesAndRemovals) {
    ScopedFakeTickCount clock(1000);
    Recorder rec;
    TimeoutHeap heap;
    std::mt19937 rng(7);
    std::vector<std::unique_ptr<TestTimer>> timers;
    for (int i = 0; i < 500; ++i) timers.push_back(std::make_unique<TestTimer>(&rec, i));
    std::vector<std::uint64_t> due(timers.size(), 0);
    std::vector<bool> armed(timers.size(), false);
    for (int step = 0; step < 3000; ++step) {
        const std::size_t i = rng() % timers.size();
        if (rng() % 4 == 0) {
            heap.remove(timers[i].get());
            armed[i] = false;
        } else {
            const std::uint64_t delay = 200 + rng() % 50;  // many equal due times
            heap.add(timers[i].get(), delay, 1000);
            due[i] = 1000 + delay;
            armed[i] = true;
        }
    }
    const auto expected = static_cast<std::uint32_t>(std::count(armed.begin(), armed.end(), true));
    ASSERT_EQ(heap.size(), expected);
    clock.set(5000);
    heap.runDue(5000);
    EXPECT_TRUE(heap.empty());
    ASSERT_EQ(rec.fired.size(), expected);
    for (std::size_t k = 1; k < rec.fired.size(); ++k) EXPECT_LE(due[rec.fired[k - 1]], due[rec.fired[k]]);
    for (int id : rec.fired) EXPECT_TRUE(armed[id]);
}

TEST(TimeoutHeapTest, FiringPassSlackZeroDelayReaddAndRemovalDuringPass) {
    ScopedFakeTickCount clock(10000);
    Recorder rec;
    TimeoutHeap heap;
    TestTimer late(&rec, 3);
    TestTimer zero(&rec, 2);
    TestTimer victim(&rec, 4);
    // The first timer re-adds `zero` (already in the firing list) with delay
    // 0, and removes `victim` before it fires.
    TestTimer first(&rec, 1, [&] {
        heap.add(&zero, 0, clock.now());
        heap.remove(&victim);
    });
    heap.add(&first, 100, 10000);
    heap.add(&zero, 150, 10000);
    heap.add(&victim, 160, 10000);
    heap.add(&late, 171, 10000);  // just past the 170 ms slack
    EXPECT_EQ(heap.waitTimeout(10000), 100u);

    heap.runDue(10000);
    EXPECT_EQ(rec.fired, (std::vector<int>{1, 2}));
    EXPECT_FALSE(victim.isQueued());
    ASSERT_EQ(heap.size(), 1u);
    EXPECT_EQ(heap.top(), &late);
    EXPECT_EQ(heap.waitTimeout(10000), 171u);
    EXPECT_EQ(heap.waitTimeout(20000), 0u);

    heap.remove(&late);
    EXPECT_EQ(heap.waitTimeout(10000), TimeoutHeap::kInfinite);
    heap.add(&late, 0x100000000ull, 10000);
    EXPECT_EQ(heap.waitTimeout(10000), 0x7FFFFFFFu);
    heap.remove(&late);
}

TEST(TimeoutHeapTest, ChangeAndScaleIntervalKeepElapsedTime) {
    ScopedFakeTickCount clock(0);
    Recorder rec;
    TimeoutHeap heap;
    TestTimer t(&rec, 1);

    heap.add(&t, 1000, 5000);
    heap.changeInterval(&t, 600, 5400);  // 400 already waited: 200 to go
    EXPECT_EQ(t.when(), 5600u);
    EXPECT_EQ(t.initialInterval(), 600u);
    heap.changeInterval(&t, 300, 5400);  // waited more than the new interval: due now
    EXPECT_EQ(t.when(), 5400u);
    heap.changeInterval(&t, 300, 9000);  // same interval: unchanged
    EXPECT_EQ(t.when(), 5400u);
    heap.changeInterval(&t, 500, 9000);  // already due: a whole interval from now
    EXPECT_EQ(t.when(), 9500u);

    heap.scaleInterval(&t, 0.5, 9000);
    EXPECT_EQ(t.initialInterval(), 250u);
    heap.scaleInterval(&t, 0.0001, 9000);
    EXPECT_EQ(t.initialInterval(), 1u);

    heap.remove(&t);
    heap.changeInterval(&t, 700, 9000);  // not queued: armed from now
    EXPECT_EQ(t.when(), 9700u);
    EXPECT_TRUE(t.isQueued());
    heap.remove(&t);
    EXPECT_EQ(tickAdd(kTickMax - 1, 5), kTickMax);
    EXPECT_EQ(tickSub(3, 5), 0u);
}

// Drives a heap like the loop does: jump to the next due time, fire.
void drive(ScopedFakeTickCount& clock, TimeoutHeap& heap, std::uint64_t until) {
    while (!heap.empty() && heap.top()->when() <= until) {
        clock.set(std::max(clock.now(), heap.top()->when()));
        heap.runDue(clock.now());
    }
}

class WorkTimer : public PeriodicTimeout {
public:
    WorkTimer(ScopedFakeTickCount& clock, std::function<std::uint64_t(int)> work) : _clock(clock), _work(work) {}
    void callback() override {
        starts.push_back(_clock.now());
        _clock.advance(_work(static_cast<int>(starts.size())));
    }
    std::vector<std::uint64_t> starts;

private:
    ScopedFakeTickCount& _clock;
    std::function<std::uint64_t(int)> _work;
};

TEST(PeriodicTimeoutTest, SlowCallbacksNeitherDriftNorBurst) {
    ScopedFakeTickCount clock(100000);
    {
        TimeoutHeap heap;
        WorkTimer t(clock, [](int) { return 300; });
        heap.add(&t, 1000, clock.now());
        drive(clock, heap, 100000 + 20500);
        ASSERT_GE(t.starts.size(), 19u);
        // Fires at a steady 1000 ms (the 170 ms firing slack may pull a
        // firing early, never late), with no drift over 20 periods.
        for (std::size_t i = 1; i < t.starts.size(); ++i) {
            EXPECT_GE(t.starts[i] - t.starts[i - 1], 830u) << i;
            EXPECT_LE(t.starts[i] - t.starts[i - 1], 1170u) << i;
        }
        EXPECT_LE(t.starts.back() - t.starts.front(), 1000u * (t.starts.size() - 1) + 170);
        heap.remove(&t);
    }
    {
        TimeoutHeap heap;
        // One callback takes 2500 ms, the others are quick.
        WorkTimer t(clock, [](int n) { return n == 3 ? 2500 : 10; });
        heap.add(&t, 1000, clock.now());
        drive(clock, heap, clock.now() + 10000);
        ASSERT_GE(t.starts.size(), 5u);
        // After the slow one, the missed periods are dropped: no burst of
        // back-to-back firings.
        for (std::size_t i = 3; i < t.starts.size(); ++i) EXPECT_GE(t.starts[i] - t.starts[i - 1], 100u) << i;
        EXPECT_LE(t.starts.size(), 10u);
        heap.remove(&t);
    }
}

TEST(TimeoutHeapTest, ClockJumpShiftsTimersAndCapsThemAtOneInterval) {
    ScopedFakeTickCount clock(0);
    Recorder rec;
    TimeoutHeap heap;
    TestTimer a(&rec, 1), b(&rec, 2), c(&rec, 3);
    const std::uint64_t t0 = 1000000;
    heap.add(&a, 1000, t0);
    heap.add(&b, 60000, t0);
    heap.add(&c, 30000, t0 - 20000);  // armed earlier: due at t0 + 10000

    heap.checkClockJump(t0, t0 + 1000 + 5000, 1000);  // within the threshold: nothing moves
    EXPECT_EQ(a.when(), t0 + 1000);

    const std::uint64_t now = t0 + 300000;  // five minutes lost in a 1000 ms wait
    heap.checkClockJump(t0, now, 1000);
    EXPECT_EQ(a.when(), now);
    EXPECT_EQ(b.when(), now + 59000);
    EXPECT_EQ(c.when(), now + 9000);
    EXPECT_EQ(heap.size(), 3u);
    clock.set(now);
    heap.runDue(now);
    EXPECT_EQ(rec.fired, (std::vector<int>{1}));
    heap.remove(&b);
    heap.remove(&c);
}

TEST(TimeoutHeapTest, FinishFiresZeroDelayTimersExactlyOnceAndKeepsOthers) {
    ScopedFakeTickCount clock(5000);
    Recorder rec;
    TimeoutHeap heap;
    TestTimer chained(&rec, 3);
    TestTimer z1(&rec, 1, [&] { heap.add(&chained, 0, clock.now()); });
    TestTimer z2(&rec, 2);
    TestTimer later(&rec, 4);
    heap.add(&later, 50000, 5000);
    heap.add(&z1, 0, 5000);
    heap.add(&z2, 0, 5000);
    heap.add(&z2, 0, 5000);  // armed twice: still one firing
    heap.finish();
    std::sort(rec.fired.begin(), rec.fired.end());
    EXPECT_EQ(rec.fired, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(heap.size(), 1u);
    EXPECT_TRUE(later.isQueued());
    heap.remove(&later);
}

}  // namespace
}  // namespace morvex
