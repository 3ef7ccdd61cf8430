#include "platform/sync.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/os_thread.h"
#include "platform/tick_count.h"

namespace morvex::platform {
namespace {

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CriticalSection cs;
    cs.enter();
    cs.enter();
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = cs.tryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
    cs.leave();
    std::thread([&] { otherGotIt = cs.tryEnter(); }).join();
    EXPECT_FALSE(otherGotIt) << "still held once";
    cs.leave();
    std::thread([&] {
        otherGotIt = cs.tryEnter();
        if (otherGotIt) cs.leave();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(CriticalSection, DescribesItsFirstFortyBytesInHex) {
    CriticalSection cs;
    std::string text = cs.describe();
    ASSERT_EQ(0u, text.rfind("CriticalSectionMutexImpl:{", 0));
    ASSERT_EQ('}', text.back());
    std::string hex = text.substr(26, text.size() - 27);
    EXPECT_EQ(2 * std::min<std::size_t>(40, sizeof(CriticalSection)), hex.size());
    EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789abcdef"));
    char small[30];
    EXPECT_EQ(29u, cs.describe(small, sizeof small));
}

TEST(ConditionVariable, TimedWaitExpiresWithTimeoutCodeAndWakesWhenSignalled) {
    CriticalSection cs;
    ConditionVariable cv;
    CriticalSectionGuard guard(cs);
    SetLastError(0);
    EXPECT_FALSE(cv.sleep(cs, 10));
    EXPECT_EQ(ERROR_TIMEOUT, GetLastError());

    bool flag = false;
    std::thread waker([&] {
        CriticalSectionGuard g(cs);
        flag = true;
        cv.wakeAll();
    });
    while (!flag) ASSERT_TRUE(cv.sleep(cs, 5000) || flag);
    EXPECT_TRUE(cs.tryEnter()) << "held again after the wait";
    cs.leave();
    cs.leave();
    waker.join();
    cs.enter();
}

TEST(OsThread, ReportsTheNewThreadsIdAndJoins) {
    struct Shared {
        std::uint32_t seenId = 0;
        char name[32] = {};
        CriticalSection cs;
        ConditionVariable cv;
        bool release = false;
    } shared;
    std::uint32_t id = 0;
    HANDLE h = BeginThreadEx(
        256 * 1024,
        [](void* arg) -> unsigned {
            auto* s = static_cast<Shared*>(arg);
            s->seenId = GetCurrentThreadId();
            SetCurrentThreadName("AVeryLongThreadNameIndeed");
            pthread_getname_np(pthread_self(), s->name, sizeof s->name);
            CriticalSectionGuard g(s->cs);
            while (!s->release) s->cv.sleep(s->cs, INFINITE);
            return 0;
        },
        &shared, &id);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 10));
    {
        CriticalSectionGuard g(shared.cs);
        shared.release = true;
        shared.cv.wakeAll();
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE)) << "waiting again on an ended thread";
    EXPECT_EQ(id, shared.seenId);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_STREQ("AVeryLongThread", shared.name);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(OsThreadDeathTest, QuickExitEndsAtOnceWithTheStatus) {
    EXPECT_EXIT(QuickExit(3), ::testing::ExitedWithCode(3), "");
}

TEST(TickCount, FakeClockMovesOnlyWhenToldAndRestoresTheRealOne) {
    std::uint64_t real = GetTickCount64();
    {
        ScopedFakeTickCount fake(5000);
        EXPECT_EQ(5000u, GetTickCount64());
        fake.advance(40000);
        EXPECT_EQ(45000u, GetTickCount64());
        fake.set(7);
        EXPECT_EQ(7u, GetTickCount64());
    }
    std::uint64_t after = GetTickCount64();
    EXPECT_GE(after, real);
    EXPECT_LT(after - real, 10000u);
}

}  // namespace
}  // namespace morvex::platform
