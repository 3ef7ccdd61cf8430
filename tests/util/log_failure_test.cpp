// The log under hostile conditions: a standard error that nobody reads, a
// log file that fails, suppressed messages with nothing after them, signals
// that end the process, and the thread that writes batched lines.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "util/log_config.h"
#include "util/log_facility.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using test::readWholeFile;
using ::testing::HasSubstr;
using ::testing::Not;

Logger& failureLog() {
    static Logger s_log("FailureTest");
    return s_log;
}

// Descriptor 2 on a pipe whose reader exists but reads only when asked.
class UnreadStandardError {
public:
    UnreadStandardError() {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) std::abort();
        _read = p[0];
        ::fcntl(_read, F_SETFL, O_NONBLOCK);
        _saved = ::dup(STDERR_FILENO);
        ::dup2(p[1], STDERR_FILENO);
        ::close(p[1]);
    }
    ~UnreadStandardError() {
        ::dup2(_saved, STDERR_FILENO);
        ::close(_saved);
        ::close(_read);
    }
    // Everything waiting in the pipe.
    std::string drain() {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = ::read(_read, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
        return out;
    }

private:
    int _read;
    int _saved;
};

// Lines of a failing log file go to standard error. With nobody reading it,
// logging threads and the stop path still go on; what did not fit is counted
// and told once standard error is read again.
TEST(LogFailure, StandardErrorThatNobodyReadsNeverStopsLogging) {
    test::ScratchDir dir;
    failureLog();
    UnreadStandardError err;
    constexpr int kThreads = 4;
    constexpr int kLines = 1000;
    std::atomic<int> finished{0};
    {
        test::ScopedLogConfig config(dir.file("log.cfg"),
                                     "rootCategory=INFO, A1\n"
                                     "appender.A1.fileName=/dev/full\n"
                                     "appender.A1.layout.ConversionPattern=%p %c %m%n\n");
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &finished] {
                const std::string pad(100, 'x');
                for (int i = 0; i < kLines; ++i) failureLog().error("line %d of thread %d %s", i, t, pad.c_str());
                finished.fetch_add(1);
            });
        }
        const bool done = test::eventually([&] { return finished.load() == kThreads; }, 20s);
        // Frees threads that wait on the pipe, so that a failure ends.
        while (finished.load() != kThreads) {
            err.drain();
            std::this_thread::sleep_for(1ms);
        }
        for (std::thread& t : threads) t.join();
        EXPECT_TRUE(done) << "logging waits for standard error to be read";
        // The stop path: pending lines and summaries are written (here:
        // dropped) without waiting either.
        LogFacility::instance().flushAll();
    }
    const std::string before = err.drain();
    EXPECT_THAT(before, HasSubstr("Error writing to \"/dev/full\": No space left on device"));
    failureLog().error("read again");
    const std::string after = err.drain();
    EXPECT_THAT(after, ::testing::MatchesRegex("WARN - [0-9]+ lines for standard error were dropped: it was not being "
                                               "read\r\nERROR - read again\r\n"));
}

// A suppression summary is written when its interval has passed, with no
// later message of its kind, and at stop; its line break is a real CR LF.
TEST(LogFailure, SuppressionSummariesAreWrittenWhenDueAndAtStop) {
    EmptyMainThread::ensureForTest();
    test::ScratchDir dir;
    const std::string out = dir.file("out.log");
    test::ScopedLogConfig config(dir.file("log.cfg"),
                                 "rootCategory=INFO, A1\n"
                                 "appender.A1.fileName=" +
                                     out +
                                     "\n"
                                     "appender.A1.layout.ConversionPattern=%p %m%n\n");
    {
        Logger timed("SummaryTimed", true, 1, 2);
        for (int i = 0; i < 5; ++i) timed.warn("refused %d", i);
        EXPECT_TRUE(test::eventually(
            [&] { return readWholeFile(out).find("similar messages suppressed") != std::string::npos; }, 10s))
            << readWholeFile(out);
        EXPECT_THAT(readWholeFile(out), HasSubstr("WARN refused 0\r\nWARN refused 1\r\nWARN refused 0\r\n\t\t\t\t3 "
                                                  "similar messages suppressed.  First occurred at: "));
    }
    Logger stopped("SummaryAtStop", true, 60, 1);
    stopped.warn("bad token from %s", "a");
    stopped.warn("bad token from %s", "b");
    stopped.warn("bad token from %s", "c");
    LogFacility::instance().flushAll();
    EXPECT_THAT(readWholeFile(out), HasSubstr("WARN bad token from a\r\nWARN bad token from a\r\n\t\t\t\t2 similar "
                                              "messages suppressed."));
    EXPECT_THAT(readWholeFile(out), Not(HasSubstr("\\r\\n")));
}

// SIGHUP, SIGQUIT, SIGTERM and SIGINT end the process as before, but the
// batched lines are written first. Each runs in a child whose flusher
// thread does not exist (threads do not survive fork), so only the signal
// can write the line.
TEST(LogFailure, SignalsThatEndTheProcessWriteTheBatchFirst) {
    EmptyMainThread::ensureForTest();
    test::ScratchDir dir;
    const std::string out = dir.file("var/log/morvex/tlsproxy.log");
    test::writeWholeFile(dir.file("log-tlsproxy.cfg"),
                         "rootCategory=INFO, A1\n"
                         "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/tlsproxy.log\n"
                         "appender.A1.layout.ConversionPattern=%m%n\n");
    {
        // The flusher thread runs in this process before the fork.
        test::ScopedLogConfig config(dir.file("start.cfg"),
                                     "rootCategory=INFO, A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("start.log") + "\n");
        failureLog().info("start");
    }
    // Let the flusher finish its pass for "start": a child forked while it
    // held a lock would wait for it forever.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * LogAppender::kFlushDelayMs));
    for (int sig : {SIGHUP, SIGQUIT, SIGTERM, SIGINT}) {
        int status = 0;
        // A child stuck on such a lock (fork copies a lock held by another
        // thread; the proxy never forks) is killed and forked again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::filesystem::remove(out);
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                struct rlimit noCore = {0, 0};
                ::setrlimit(RLIMIT_CORE, &noCore);
                for (int s : {SIGHUP, SIGQUIT, SIGTERM, SIGINT}) std::signal(s, SIG_DFL);
                ::setenv("MORVEX_HOME", dir.path().c_str(), 1);
                ::setenv("MORVEX_ETC", dir.path().c_str(), 1);
                startLogging("log-tlsproxy.cfg", true);
                failureLog().info("the last line before signal %d", sig);
                ::raise(sig);
                ::_exit(0);
            }
            pid_t reaped = 0;
            test::eventually([&] { return (reaped = ::waitpid(child, &status, WNOHANG)) != 0; }, 20s);
            if (reaped == child) break;
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            status = 0;
        }
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig << ", status " << status;
        EXPECT_EQ("the last line before signal " + std::to_string(sig) + "\r\n", readWholeFile(out))
            << "signal " << sig;
    }
}

// The thread that writes batched lines is one of the thread layer's: it has
// its name for log lines and crash reports.
TEST(LogFailure, FlusherIsAThreadOfTheThreadLayer) {
    EmptyMainThread::ensureForTest();
    test::ScratchDir dir;
    test::ScopedLogConfig config(dir.file("log.cfg"),
                                 "rootCategory=INFO, A1\n"
                                 "appender.A1.fileName=" +
                                     dir.file("out.log") + "\n");
    failureLog().info("batched");
    // It enters the registry once it runs.
    Thread* flusher = nullptr;
    EXPECT_TRUE(
        test::eventually([&] { return (flusher = Thread::findRunningThreadByName("LogFlusher")) != nullptr; }, 5s));
    ASSERT_NE(nullptr, flusher);
    EXPECT_NE(0u, flusher->osThreadId());
}

}  // namespace
}  // namespace morvex
