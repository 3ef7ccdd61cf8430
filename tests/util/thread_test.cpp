// Threads: naming, the start handshake, the registry, scoped objects,
// TerminateException, the process-wide queries and crash-log notations.
//
// MainThread exists once per process: tests that need it share one made by
// EmptyMainThread::ensureForTest(); what must happen before it exists runs in
// a fresh child process (death-test style "threadsafe" re-runs the program).
#include "util/thread.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace morvex {
namespace {

// A one-shot gate a thread body can block on.
class Gate {
public:
    void open() {
        platform::CriticalSectionGuard g(_cs);
        _open = true;
        _cv.wakeAll();
    }
    void wait() {
        platform::CriticalSectionGuard g(_cs);
        while (!_open) Thread::conditionWait(_cv, _cs);
    }

private:
    platform::CriticalSection _cs;
    platform::ConditionVariable _cv;
    bool _open = false;
};

std::vector<std::string> namesOfRunningThreads() {
    struct Collect : Thread::iterate_running_threads_callback {
        std::vector<std::string> names;
        void callback(Thread& t) override { names.push_back(t.name()); }
    } collect;
    Thread::iterateRunningThreads(collect);
    return collect.names;
}

bool isRunning(const std::string& name) {
    for (const auto& n : namesOfRunningThreads())
        if (n == name) return true;
    return false;
}

class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { EmptyMainThread::ensureForTest(); }
};

TEST_F(ThreadTest, NamesLoseBlanksAndRunningThreadsAreFoundNewestFirst) {
    Gate release, started1, started2;
    ThreadFunction first(
        [&] {
            started1.open();
            release.wait();
        },
        "Io Thread %d", 3);
    ThreadFunction second(
        [&] {
            started2.open();
            release.wait();
        },
        64 * 1024, "Io  Thread %s", "B");
    EXPECT_EQ("IoThread3", first.name());
    EXPECT_EQ("IoThreadB", second.name());
    EXPECT_EQ(nullptr, Thread::findRunningThreadByName("IoThread3")) << "listed before start";

    first.start();
    started1.wait();
    second.start();
    started2.wait();
    EXPECT_EQ(&first, Thread::findRunningThreadByName("IoThread3"));
    EXPECT_EQ(&second, Thread::findRunningThread([](const Thread& t) { return t.name().ends_with("B"); }));
    std::vector<std::string> names = namesOfRunningThreads();
    auto a = std::find(names.begin(), names.end(), "IoThread3"), b = std::find(names.begin(), names.end(), "IoThreadB");
    ASSERT_TRUE(a != names.end() && b != names.end());
    EXPECT_LT(b, a) << "newest first";

    // A thread being joined is no longer "running", although it still runs.
    std::thread joiner([&] { first.join(); });
    while (first.didJoin() != 1) std::this_thread::yield();
    EXPECT_FALSE(isRunning("IoThread3"));
    EXPECT_TRUE(isRunning("IoThreadB"));
    release.open();
    joiner.join();
    second.join();
    EXPECT_FALSE(isRunning("IoThreadB"));
}

// The OS keeps 15 bytes of a thread's name: long names are abbreviated so
// that numbered threads stay apart in ps, top -H and debuggers, while the
// Thread keeps its full name for logs and crash reports.
TEST_F(ThreadTest, OsNamesFitFifteenBytesAndKeepTheIndex) {
    const struct {
        const char* name;
        const char* os;
    } cases[] = {
        {"TlsProxyDedicatedIoThread-0", "TlsProxyIo-0"},
        {"TlsProxyDedicatedIoThread-5", "TlsProxyIo-5"},
        {"OutboundConnectionThread", "OutboundConn"},
        {"ExtraEventWaiter", "ExtraEventWait"},
        {"Short-1", "Short-1"},
        {"ExactlyFifteen1", "ExactlyFifteen1"},
        {"Averyveryverylongsingleword-12", "Aver-12"},
        {"1234567890123456789", "567890123456789"},
    };
    for (const auto& c : cases) {
        const std::string os = Thread::osThreadName(c.name);
        EXPECT_EQ(c.os, os) << c.name;
        EXPECT_LE(os.size(), Thread::kMaxOsThreadName) << c.name;
    }

    std::string seen;
    ThreadFunction t(
        [&] {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            seen = name;
        },
        "TlsProxyDedicatedIoThread-%d", 3);
    t.start();
    t.join();
    EXPECT_EQ("TlsProxyIo-3", seen);
    EXPECT_EQ("TlsProxyDedicatedIoThread-3", t.name());
}

TEST(ThreadNameDeathTest, TheMainThreadKeepsTheProcessName) {
    // A fresh process: the MainThread is built there and the process's own
    // name (what ps and pgrep -x see) must survive it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char before[32] = {};
            char after[32] = {};
            pthread_getname_np(pthread_self(), before, sizeof before);
            EmptyMainThread::ensureForTest();
            pthread_getname_np(pthread_self(), after, sizeof after);
            std::exit(std::strcmp(before, after) == 0 && std::strcmp(after, "MainThread") != 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ThreadTest, AThreadGivenUpBeforeStartNeverRunsAndIsNeverListed) {
    const std::uint32_t before = Thread::threadsActive();
    std::atomic<bool> ran{false};
    {
        ThreadFunction never([&] { ran = true; }, "Never");
        EXPECT_EQ(before + 1, Thread::threadsActive());
        EXPECT_NE(0u, never.token());
        EXPECT_FALSE(isRunning("Never"));
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(before, Thread::threadsActive());

    ThreadFunction cancelled([&] { ran = true; }, "Cancelled");
    cancelled.joinOrCancel();
    EXPECT_FALSE(ran);
    EXPECT_EQ(1u, cancelled.didJoin());

    ThreadFunction unlisted([&] { ran = isRunning("Unlisted"); }, "Unlisted");
    unlisted.unlist();
    unlisted.start();
    unlisted.join();
    EXPECT_FALSE(ran) << "an unlisted thread is not in the registry";
}

// Records the life of the scoped objects made for threads named "Scoped*".
std::mutex g_eventsMutex;
std::vector<std::string> g_events;
void note(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    g_events.push_back(what);
}

struct Recorder : Thread::ThreadScopedObject {
    explicit Recorder(std::string tag) : _tag(std::move(tag)) { note("create " + _tag); }
    ~Recorder() override { note("destroy " + _tag); }
    std::string _tag;
};

void registerRecordersOnce() {
    static bool done = [] {
        for (const char* tag : {"A", "B"}) {
            Thread::registerThreadScopedObjectFactory([tag]() -> Thread::ThreadScopedObject* {
                if (std::string(Thread::currentThreadName()).rfind("Scoped", 0) != 0)
                    return new Thread::ThreadScopedObject;
                return new Recorder(tag);
            });
        }
        return true;
    }();
    (void)done;
}

TEST_F(ThreadTest, TerminateExceptionEndsOnlyThatThreadAfterItsScopedObjects) {
    registerRecordersOnce();
    g_events.clear();
    ThreadFunction quitter(
        [] {
            note("main");
            throw Thread::TerminateException("done early");
        },
        "ScopedQuitter");
    quitter.start();
    quitter.join();
    EXPECT_EQ((std::vector<std::string>{"create A", "create B", "main", "destroy A", "destroy B"}), g_events);

    std::atomic<bool> survived{false};
    ThreadFunction other([&] { survived = true; }, "Other");
    other.start();
    other.join();
    EXPECT_TRUE(survived);
}

TEST_F(ThreadTest, QueriesOnOwnForeignAndMainThreads) {
    EXPECT_TRUE(Thread::isMainThread());
    EXPECT_STREQ("MainThread", Thread::currentThreadName());
    ASSERT_NE(nullptr, Thread::current());
    EXPECT_TRUE(Thread::current()->isMainThreadObject());

    struct Seen {
        std::string name;
        bool main = true;
        Thread* self = nullptr;
        std::uint32_t osId = 0, realId = 0;
    };
    Seen own, foreign;
    ThreadFunction t(
        [&] {
            own = {Thread::currentThreadName(), Thread::isMainThread(), Thread::current(), Thread::currentOsThreadId(),
                   static_cast<std::uint32_t>(::syscall(SYS_gettid))};
        },
        "Queried");
    t.start();
    t.join();
    EXPECT_EQ("Queried", own.name);
    EXPECT_FALSE(own.main);
    EXPECT_EQ(&t, own.self);
    EXPECT_EQ(own.realId, own.osId);
    EXPECT_EQ(own.realId, t.osThreadId());

    std::thread([&] {
        foreign = {Thread::currentThreadName(), Thread::isMainThread(), Thread::current(), Thread::currentOsThreadId(),
                   static_cast<std::uint32_t>(::syscall(SYS_gettid))};
    }).join();
    EXPECT_EQ("Unknown Thread", foreign.name);
    EXPECT_FALSE(foreign.main);
    EXPECT_EQ(nullptr, foreign.self);
    EXPECT_EQ(foreign.realId, foreign.osId);
}

TEST_F(ThreadTest, TimedConditionWaitRunsOutWithoutBeingAnError) {
    platform::CriticalSection cs;
    platform::ConditionVariable cv;
    platform::CriticalSectionGuard g(cs);
    EXPECT_FALSE(Thread::conditionWait(cv, cs, 5));
    EXPECT_EQ(platform::ERROR_TIMEOUT, platform::GetLastError());
}

struct TestNotation : ScopedPerThreadCrashLogNotation {
    void describe(CrashLogOutput& out) const noexcept override { out.write("TestNotation\r\n"); }
};

TEST_F(ThreadTest, NotationListsEndWithTheThreadsOwnDescription) {
    char text[1024];
    std::uint32_t printed = 0;
    Gate done;
    ThreadFunction t(
        [&] {
            TestNotation outer;
            {
                TestNotation inner;
                BufferCrashLogOutput out(text, sizeof text);
                printed = crash_log::printNotations(crash_log::currentNotations(), out);
            }
            done.open();
        },
        "Noted");
    t.start();
    done.wait();  // printed before anyone joins
    t.join();
    EXPECT_EQ(3u, printed);
    std::string expected =
        "TestNotation\r\nTestNotation\r\nThread: \"Noted\", did_join=0, ready_to_run=Y, "
        "main_thread=N, token=" +
        std::to_string(t.token()) + "\r\nMutexByte: MutexByte-waiting={none}\r\n";
    EXPECT_EQ(expected, text);

    // The main thread's list is the process-wide one; a foreign thread has none.
    BufferCrashLogOutput out(text, sizeof text);
    crash_log::printNotations(crash_log::currentNotations(), out);
    EXPECT_NE(nullptr, std::strstr(text, "Thread: \"MainThread\", did_join=1, ready_to_run=Y, main_thread=Y"));
    bool foreignHasList = true;
    std::thread([&] {
        TestNotation ignored;
        foreignHasList = crash_log::currentNotations() != nullptr;
    }).join();
    EXPECT_FALSE(foreignHasList);
}

TEST_F(ThreadTest, CrashPrintingStaysWithinItsLimits) {
    // A list longer than the limit is cut with a note.
    std::string text(200000, '\0');
    std::uint32_t printed = 0;
    ThreadFunction t(
        [&] {
            std::vector<std::unique_ptr<TestNotation>> many;
            for (std::uint32_t i = 0; i < crash_log::kMaxNotationsPerList + 5; ++i)
                many.push_back(std::make_unique<TestNotation>());
            BufferCrashLogOutput out(text.data(), text.size());
            printed = crash_log::printNotations(crash_log::currentNotations(), out);
            while (!many.empty()) many.pop_back();  // newest first
        },
        "Many");
    t.start();
    t.join();
    EXPECT_EQ(crash_log::kMaxNotationsPerList, printed);
    EXPECT_NE(std::string::npos, text.find("Max crashlog notation count exceeded (1024), probably linked list of "
                                           "notations corrupted. breaking out.\r\n"));

    // A hex dump never reads past the end of its page.
    const long page = ::sysconf(_SC_PAGESIZE);
    void* mem = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, mem);
    ASSERT_EQ(0, ::mprotect(static_cast<char*>(mem) + page, page, PROT_NONE));
    unsigned char* tail = static_cast<unsigned char*>(mem) + page - 20;
    for (int i = 0; i < 20; ++i) tail[i] = static_cast<unsigned char>(0xA0 + i);
    char dump[1024];
    BufferCrashLogOutput out(dump, sizeof dump);
    out.hexDump("Some object", tail, 512);
    std::string d = dump;
    EXPECT_EQ(0u, d.find("Some object\r\n"));
    EXPECT_NE(std::string::npos, d.find(" a0 a1 a2"));
    EXPECT_NE(std::string::npos, d.find(" b0 b1 b2 b3\r\n")) << d;
    EXPECT_EQ(3u, static_cast<std::size_t>(std::count(d.begin(), d.end(), '\n'))) << "title and 20 bytes";
    ::munmap(mem, 2 * page);
}

TEST(ThreadDeathTest, BeforeAndAtTheMainThreadsCreation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = Thread::threadsActive() == 1 && std::string(Thread::currentThreadName()) == "MainThread" &&
                      Thread::isMainThread() && Thread::current() == nullptr;
            try {
                ThreadFunction early([] {}, "Early");
                ok = false;
            } catch (const ThreadException& e) {
                ok = ok && std::string(e.what()) == "Thread created before main thread!";
            }
            ok = ok && Thread::threadsActive() == 1;
            EmptyMainThread mainThread;
            ok = ok && Thread::threadsActive() == 1 && Thread::current() == &mainThread;
            try {
                EmptyMainThread twice;
                ok = false;
            } catch (const ThreadException& e) {
                ok = ok && std::string(e.what()) == "Main Thread created twice!";
            }
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ThreadDeathTest, FatalThreadErrorAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            EmptyMainThread::ensureForTest();
            Thread::fatalThreadError("WaitForSingleObject", platform::WSAEINVAL);
        },
        "");
}

}  // namespace
}  // namespace morvex
