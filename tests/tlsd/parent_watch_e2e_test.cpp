// The proxy follows the process that started it: not the thread that forked,
// and not a process that is gone before the proxy even runs.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstdio>
#include <chrono>
#include <string>
#include <thread>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

constexpr const char* kShutDown = "Shutting down TLSProxyInstance";

// Parents written in Python: argv[1] the proxy, argv[2] the start-up
// document, argv[3] a file that receives the proxy's pid. This one's thread
// ends once the file argv[4] exists (the proxy has started), then the
// process writes argv[5] and lives on.
constexpr const char* kParentWhoseThreadEnds =
    "import os, subprocess, sys, threading, time\n"
    "def start():\n"
    "    p = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE)\n"
    "    p.stdin.write(sys.argv[2].encode()); p.stdin.close()\n"
    "    open(sys.argv[3], 'w').write(str(p.pid))\n"
    "    while not os.path.exists(sys.argv[4]): time.sleep(0.01)\n"
    "t = threading.Thread(target=start); t.start(); t.join()\n"
    "open(sys.argv[5], 'w').write('ended')\n"
    "time.sleep(120)\n";
// Forks, then exits before the child becomes the proxy; the child writes
// its pid, the parent it was given instead, and whether it shares process
// 1's session, then lets go of the parent's output so that the parent's end
// is seen at once.
constexpr const char* kParentGoneBeforeStart =
    "import os, sys, time\n"
    "me = os.getpid()\n"
    "r, w = os.pipe()\n"
    "if os.fork() == 0:\n"
    "    os.close(w)\n"
    "    while os.getppid() == me: time.sleep(0.01)\n"
    "    same = int(os.getsid(0) == os.getsid(1))\n"
    "    open(sys.argv[3], 'w').write('%d %d %d' % (os.getpid(), os.getppid(), same))\n"
    "    os.dup2(r, 0)\n"
    "    null = os.open(os.devnull, os.O_WRONLY); os.dup2(null, 1); os.dup2(null, 2)\n"
    "    os.execv(sys.argv[1], [sys.argv[1]])\n"
    "os.write(w, sys.argv[2].encode()); os.close(w)\n"
    "os._exit(0)\n";

class ParentWatchE2E : public ProxyE2E {
protected:
    std::unique_ptr<ChildProcess> startParent(const char* script) {
        port = freePort();
        test::ProcessOptions o = proxyOptions(port);
        std::string document = o.stdinData;
        o.program = "/usr/bin/python3";
        o.args = {"-c", script, MORVEX_TLSD_BINARY, document, pidFile, goFile, threadEndedFile};
        o.stdinData.clear();
        return std::make_unique<ChildProcess>(o);
    }
    // The first number in the pid file, once written.
    pid_t proxyPid() {
        std::string text;
        for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
            text = readWholeFile(pidFile);
            if (!text.empty()) return static_cast<pid_t>(std::stol(text));
            std::this_thread::sleep_for(10ms);
        }
        return 0;
    }
    std::string pidFile = home.path() + "/proxy.pid";
    std::string goFile = home.path() + "/go";
    std::string threadEndedFile = home.path() + "/thread-ended";
};

TEST_F(ParentWatchE2E, AParentWhoseStartingThreadEndsKeepsItsProxyUntilTheProcessEnds) {
    // This process adopts the proxy when its parent dies, so it can read
    // the proxy's exit status.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    auto parent = startParent(kParentWhoseThreadEnds);
    ASSERT_TRUE(waitForLog(kStarted, 30s)) << log();
    const pid_t proxy = proxyPid();
    ASSERT_GT(proxy, 0);
    // The thread that forked ends now; the proxy must still serve.
    home.file("go", "");
    for (auto end = std::chrono::steady_clock::now() + 20s;
         readWholeFile(threadEndedFile).empty() && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(readWholeFile(threadEndedFile), "ended");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(::kill(proxy, 0), 0);
    EXPECT_EQ(log().find(kShutDown), std::string::npos) << log();

    parent->sendSignal(SIGKILL);
    parent->wait(10s);
    int status = 0;
    pid_t reaped = 0;
    for (auto end = std::chrono::steady_clock::now() + 20s; reaped == 0 && std::chrono::steady_clock::now() < end;) {
        reaped = ::waitpid(proxy, &status, WNOHANG);
        if (reaped == 0) std::this_thread::sleep_for(50ms);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(reaped, proxy) << log();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(log(), HasSubstr(kShutDown));
}

TEST_F(ParentWatchE2E, AParentGoneBeforeTheProxyRunsStopsItOnceStarted) {
    auto parent = startParent(kParentGoneBeforeStart);
    parent->wait(10s);
    const pid_t proxy = proxyPid();
    ASSERT_GT(proxy, 0);
    const std::string ids = readWholeFile(pidFile);
    pid_t pid = 0, adopter = 0;
    int sameSession = 0;
    ASSERT_EQ(std::sscanf(ids.c_str(), "%d %d %d", &pid, &adopter, &sameSession), 3) << ids;
    if (adopter != 1 || sameSession) {
        // Adopted by a sub-reaper, or by a process 1 whose session it shares
        // (a container whose first process runs the tests): both look like a
        // parent that started the proxy, so it is stopped here instead.
        ::kill(proxy, SIGKILL);
        GTEST_SKIP() << "adopted by a parent the watch takes as its own (pid, parent, same session): " << ids;
    }
    EXPECT_TRUE(waitForLog("The process that started the TLS proxy has gone, stopping", 30s)) << log();
    EXPECT_TRUE(waitForLog(kShutDown, 20s)) << log();
    // Process 1 reaps it (or keeps the zombie): either way it no longer runs.
    bool ended = false;
    for (auto end = std::chrono::steady_clock::now() + 20s; !ended && std::chrono::steady_clock::now() < end;) {
        const std::string stat = readWholeFile("/proc/" + std::to_string(proxy) + "/stat");
        ended = stat.empty() || stat.find(") Z ") != std::string::npos;
        if (!ended) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(ended) << log();
    if (!ended) ::kill(proxy, SIGKILL);  // leave nothing running behind a failure
}

}  // namespace
}  // namespace morvex
