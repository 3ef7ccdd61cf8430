// The relay under the conditions a long-running daemon meets: destinations
// that keep connections alive and write in odd pieces, several requests on
// one connection, a daemon that reads slowly, descriptor exhaustion, idle
// local clients, and a parent that goes away.
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::NginxOrigin;
using test::ScriptedTlsOrigin;

constexpr const char* kServed = "served";

class RelayE2E : public ProxyE2E {
protected:
    void SetUp() override {
        ProxyE2E::SetUp();
        origin->setBody(kServed);
    }

    std::string requestTo(std::uint16_t originPort, const std::string& path) {
        return request("Morvexd", originPort, kToken, path);
    }
};

TEST_F(RelayE2E, KeptAliveAnswersInOddPiecesArriveWholePromptlyAndReleaseTheirConnections) {
    constexpr std::size_t kAnswers = 150;
    std::vector<std::string> answers;
    std::mt19937 generator(12);
    for (std::size_t i = 0; i < kAnswers; ++i) {
        std::string body = randomBytes(20000 + generator() % 50001, static_cast<unsigned>(i));
        answers.push_back("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    ScriptedTlsOrigin::Options options;
    options.behaviour = ScriptedTlsOrigin::Behaviour::KeepAlive;
    options.pieces = {1, 1400, 5000, 9000, 16384, 777};
    options.slowPause = 1ms;
    options.answerFor = [&](std::size_t i) { return answers.at(i % kAnswers); };
    ScriptedTlsOrigin keptAlive(options);
    startProxy();
    const std::size_t baseline = descriptorCount(proxy->pid());
    {
        FaultClient client(port);
        ASSERT_TRUE(client.connected());
        for (std::size_t i = 0; i < kAnswers; ++i) {
            ASSERT_TRUE(client.send(requestTo(keptAlive.port(), "/" + std::to_string(i))));
            // Nothing more comes from the destination to prompt a late piece:
            // the whole answer must arrive on its own, well before any time-out.
            std::string got = client.read(answers[i].size(), 5s);
            ASSERT_EQ(got.size(), answers[i].size()) << "answer " << i;
            ASSERT_TRUE(got == answers[i]) << "answer " << i << " differs";
        }
    }
    // The proxy ended every destination connection itself once its answer
    // was whole: the origin saw each one closed, promptly.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (keptAlive.peerClosedCount() < kAnswers && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(keptAlive.peerClosedCount(), kAnswers);
    EXPECT_LT(keptAlive.longestLinger(), 2s);
    std::this_thread::sleep_for(1s);
    EXPECT_LE(descriptorCount(proxy->pid()), baseline);
    EXPECT_THAT(log(), Not(HasSubstr("Read Timeout")));
}

TEST_F(RelayE2E, AnAnswerSentInOneBurstReachesALateReaderWithoutTheDestinationsClose) {
    // Whole records at once: the proxy reads several ahead into its TLS
    // session, and when the daemon catches up nothing on the socket is left
    // to announce them. They must still go out while the destination keeps
    // the connection open and silent.
    const std::string body = randomBytes(4 << 20, 7);
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ScriptedTlsOrigin::Options options;
    options.behaviour = ScriptedTlsOrigin::Behaviour::KeepAlive;
    options.pieces = {16384};
    options.slowPause = 0ms;
    options.answerFor = [&](std::size_t) { return answer; };
    ScriptedTlsOrigin keptAlive(options);
    startProxy();
    FaultClient client(port);
    ASSERT_TRUE(client.connected());
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(client.send(requestTo(keptAlive.port(), "/burst")));
        std::this_thread::sleep_for(400ms);  // the relay pauses at its high mark meanwhile
        std::string got = client.read(answer.size(), 5s);
        ASSERT_EQ(got.size(), answer.size()) << "answer " << i;
        ASSERT_TRUE(got == answer) << "answer " << i << " differs";
    }
}

TEST_F(RelayE2E, AnswersOnOneConnectionArriveWholeAndInRequestOrder) {
    NginxOrigin nginx({.files = {{"large.bin", 4 << 20}, {"small.bin", 1024}}});
    startProxy();
    FaultClient client(port);
    ASSERT_TRUE(client.connected());
    // The second, quick answer must wait behind the first, slow one.
    ASSERT_TRUE(client.send(requestTo(nginx.port(), "/large.bin")));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(client.send(requestTo(nginx.port(), "/small.bin")));
    std::string first = client.readAnswer(20s);
    std::string second = client.readAnswer(20s);
    EXPECT_EQ(NginxOrigin::sha256Hex(bodyOf(first)),
              NginxOrigin::sha256Hex(NginxOrigin::fileContent("large.bin", 4 << 20)));
    EXPECT_TRUE(bodyOf(second) == NginxOrigin::fileContent("small.bin", 1024));
    EXPECT_TRUE(client.silentFor(300ms));
}

TEST_F(RelayE2E, ASlowReaderHoldsTheDestinationBackAndMemoryComesBack) {
    constexpr std::size_t kSize = 50 << 20;
    NginxOrigin nginx({.files = {{"huge.bin", kSize}, {"small.bin", 1024}}});
    startProxy();
    FaultClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(requestTo(nginx.port(), "/small.bin")));
    ASSERT_FALSE(client.readAnswer(10s).empty());
    const std::size_t baseline = rssKiB(proxy->pid());

    ASSERT_TRUE(client.send(requestTo(nginx.port(), "/huge.bin")));
    std::this_thread::sleep_for(3s);  // the daemon reads nothing meanwhile
    const std::size_t held = rssKiB(proxy->pid());
    if (kRssBoundsApply) {
        EXPECT_LE(held, baseline + 16 * 1024) << "baseline " << baseline << " KiB";
    }

    std::string answer = client.readAnswer(60s);
    EXPECT_EQ(NginxOrigin::sha256Hex(bodyOf(answer)),
              NginxOrigin::sha256Hex(NginxOrigin::fileContent("huge.bin", kSize)));
    std::this_thread::sleep_for(500ms);
    if (kRssBoundsApply) {
        EXPECT_LE(rssKiB(proxy->pid()), baseline + 8 * 1024) << "baseline " << baseline << " KiB, held " << held;
    }
}

TEST_F(RelayE2E, RunningOutOfDescriptorsEndsConnectionsNotTheProcess) {
    port = freePort();
    test::ProcessOptions o = proxyOptions(port);
    o.program = "/usr/bin/prlimit";
    o.args = {"--nofile=128:128", MORVEX_TLSD_BINARY};
    proxy = std::make_unique<ChildProcess>(o);
    ASSERT_TRUE(waitForLog(kStarted, 30s)) << log();
    EXPECT_TRUE(waitForLog("Open descriptor limit: 128"));

    // Requests whose destinations hold their answers keep outbound
    // connections open while a burst of clients takes the rest.
    origin->hold(true);
    std::vector<std::unique_ptr<FaultClient>> clients;
    for (int i = 0; i < 25; ++i) {
        auto client = std::make_unique<FaultClient>(port);
        if (client->connected()) client->send(request("Morvexd", origin->port()));
        clients.push_back(std::move(client));
    }
    std::vector<int> burst;
    for (int i = 0; i < 300; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        burst.push_back(fd);
    }
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(proxy->running());
    for (int fd : burst) ::close(fd);
    clients.clear();
    origin->hold(false);

    // Descriptors come back and the next request is served.
    std::string body;
    for (auto deadline = std::chrono::steady_clock::now() + 40s; std::chrono::steady_clock::now() < deadline;) {
        body = curl("Morvexd", origin->port(), "/").out;
        if (body == std::string(kServed)) break;
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(body, std::string(kServed));
    EXPECT_TRUE(proxy->running());
}

TEST_F(RelayE2E, IdleLocalClientsDoNotLockTheDaemonOut) {
    startProxy();
    std::vector<std::unique_ptr<FaultClient>> idle;
    for (int i = 0; i < 500; ++i) idle.push_back(std::make_unique<FaultClient>(port));
    EXPECT_EQ(std::count_if(idle.begin(), idle.end(), [](const auto& c) { return c->connected(); }), 500);
    EXPECT_EQ(curl("Morvexd", origin->port(), "/").out, std::string(kServed));
}

TEST_F(RelayE2E, FailedDestinationsAndLongRefusalsLeaveBoundedLines) {
    startProxy();
    std::uint16_t closed = freePort();
    FaultClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(request("Morvexd", closed)));
    EXPECT_TRUE(
        waitForLog("Outbound connection to destination server=localhost:" + std::to_string(closed) + " failed after"));
    std::string token(8000, 't');  // one TLS record, one delivery
    ASSERT_TRUE(client.send(request("Morvexd", origin->port(), token)));
    ASSERT_TRUE(waitForLog("(8000 bytes)")) << log();
    std::string text = log();
    std::size_t at = text.find("Wrong token found");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(text.find('\n', at) - at, 1024u);
}

TEST_F(RelayE2E, TheProxyStopsInOrderWhenItsParentGoes) {
    // This process adopts the proxy when its parent dies, so it can read
    // the proxy's exit status.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    port = freePort();
    test::ProcessOptions o = proxyOptions(port);
    std::string document = o.stdinData;
    o.program = "/usr/bin/python3";
    o.args = {"-c",
              "import os, subprocess, sys, time\n"
              "p = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE)\n"
              "p.stdin.write(sys.argv[2].encode()); p.stdin.close()\n"
              "print(p.pid, flush=True)\n"
              "time.sleep(120)\n",
              MORVEX_TLSD_BINARY, document};
    o.stdinData.clear();
    auto parent = std::make_unique<ChildProcess>(o);
    ASSERT_TRUE(waitForLog(kStarted, 30s)) << log();
    std::this_thread::sleep_for(200ms);
    parent->sendSignal(SIGKILL);
    test::ProcessResult parentResult = parent->wait(10s);
    pid_t proxyPid = static_cast<pid_t>(std::stol(parentResult.out));
    int status = 0;
    pid_t reaped = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         reaped == 0 && std::chrono::steady_clock::now() < deadline;) {
        reaped = ::waitpid(proxyPid, &status, WNOHANG);
        if (reaped == 0) std::this_thread::sleep_for(50ms);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(reaped, proxyPid) << log();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(log(), HasSubstr("Shutting down TLSProxyInstance"));
}

}  // namespace
}  // namespace morvex
