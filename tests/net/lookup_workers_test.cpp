#include "net/lookup_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return done();
}

// A gate that jobs wait behind until it opens.
struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    void wait() {
        std::unique_lock<std::mutex> g(lock);
        opened.wait(g, [this] { return open; });
    }
    void release() {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        opened.notify_all();
    }
};

TEST(LookupWorkersTest, HangingJobsHoldOnlyTheirOwnThreadsUpToTheCapThenJobsQueue) {
    EmptyMainThread::ensureForTest();
    LookupWorkers pool(50ms);
    Gate gate;
    std::atomic<int> ran{0};
    // Six lookups that hang: the next one still runs at once.
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool.submit([&] { gate.wait(); ++ran; }));
    ASSERT_TRUE(pool.submit([&] { ++ran; }));
    EXPECT_TRUE(waitUntil([&] { return ran == 1; }));
    // With every thread held, more jobs wait in order for a free one.
    for (std::size_t i = 6; i < LookupWorkers::kMaxThreads; ++i) pool.submit([&] { gate.wait(); ++ran; });
    EXPECT_TRUE(waitUntil([&] { return pool.threads() == LookupWorkers::kMaxThreads; }));
    std::atomic<bool> queuedRan{false};
    ASSERT_TRUE(pool.submit([&] { queuedRan = true; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(queuedRan);
    EXPECT_EQ(pool.threads(), LookupWorkers::kMaxThreads);
    gate.release();
    EXPECT_TRUE(waitUntil([&] { return queuedRan.load(); }));
    EXPECT_TRUE(waitUntil([&] { return ran == static_cast<int>(LookupWorkers::kMaxThreads) + 1; }));
    // Idle threads end: an idle process keeps none.
    EXPECT_TRUE(waitUntil([&] { return pool.threads() == 0; }));
}

TEST(LookupWorkersTest, SequentialJobsReuseOneNamedThreadAndAThrowingJobDoesNotEndIt) {
    EmptyMainThread::ensureForTest();
    LookupWorkers pool(10s);
    std::atomic<int> ran{0};
    std::string name;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(pool.submit([&, i] {
            // The program's own thread: named in logs and crash reports.
            if (i == 0) name = Thread::current() ? Thread::current()->name() : "none";
            ++ran;
            if (i == 3) throw std::runtime_error("lookup failed");
        }));
        ASSERT_TRUE(waitUntil([&] { return ran == i + 1 && pool.idle() == pool.threads(); }));
    }
    EXPECT_EQ(pool.threads(), 1u);
    EXPECT_EQ(name, "NameLookup-1");
}

}  // namespace
}  // namespace morvex
