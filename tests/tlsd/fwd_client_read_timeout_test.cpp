// A destination that takes the request and never answers: the outbound
// connection ends on its read time-out with its WARN line, and the next
// answer of the same inbound connection, held behind it, then goes out.
// The time-out is shortened through outboundReadTimeoutMs(); the shipped
// 40 s is covered by the slow fault test.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/loop_test_support.h"
#include "net/tcp_outbound.h"
#include "platform/winsock_startup.h"
#include "support/origin.h"
#include "tlsd/channel_response_relay.h"
#include "tlsd/fwd_client_connection.h"
#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ShortTimeoutConnection : public FwdClientConnection {
public:
    ShortTimeoutConnection(FwdClientConnectionPool& pool, TcpOutboundLoop& loop, std::uint16_t port,
                           std::uint32_t timeoutMs, std::atomic<int>& deleted)
        : FwdClientConnection(pool, loop, htonl(INADDR_LOOPBACK), port, "127.0.0.1"),
          _timeoutMs(timeoutMs),
          _deleted(deleted) {
        setDestination("127.0.0.1", port);
    }
    ~ShortTimeoutConnection() override { ++_deleted; }
    std::uint32_t outboundReadTimeoutMs() const override { return _timeoutMs; }

private:
    std::uint32_t _timeoutMs;
    std::atomic<int>& _deleted;
};

// A plain destination on loopback: accepts, keeps what it reads, answers
// only when told to.
struct Destination {
    Destination() : listener(test::listenOnAnyLoopbackPort(port, 4, "destination")) {}
    ~Destination() {
        if (peer >= 0) ::close(peer);
        ::close(listener);
    }
    void accept() { peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
    // True once the proxy's side has closed (end of stream) within timeout.
    bool closedWithin(std::chrono::milliseconds timeout) {
        for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            ssize_t n = ::recv(peer, buf, sizeof buf, 0);
            if (n <= 0) return true;
            received.append(buf, static_cast<std::size_t>(n));
        }
        return false;
    }
    std::uint16_t port = 0;
    int listener = -1;
    int peer = -1;
    std::string received;
};

TEST(FwdClientConnectionReadTimeout, ASilentDestinationEndsOnTimeAndTheNextAnswerGoesOut) {
    EmptyMainThread::ensureForTest();
    platform::WSADATA wsa;
    platform::WSAStartup(platform::MAKEWORD(2, 2), &wsa);
    TcpOutboundLoop outboundLoop;
    EventLoop channelLoop;
    test::LoopThread outboundThread(outboundLoop, "TestOutbound");
    test::LoopThread channelThread(channelLoop, "TestChannel");
    FwdClientConnectionPool pool(outboundLoop, nullptr);
    auto relay = std::make_shared<ChannelResponseRelay>(channelLoop, &outboundLoop, nullptr);

    constexpr std::uint32_t kTimeoutMs = 400;
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    Destination silent, answering;
    std::atomic<int> deleted{0};
    ::testing::internal::CaptureStderr();  // the log's fallback before configuration
    auto started = Clock::now();
    auto* first = new ShortTimeoutConnection(pool, outboundLoop, silent.port, kTimeoutMs, deleted);
    ASSERT_TRUE(first->start(request, relay));
    silent.accept();
    auto* second = new ShortTimeoutConnection(pool, outboundLoop, answering.port, kTimeoutMs, deleted);
    ASSERT_TRUE(second->start(request, relay));
    answering.accept();
    // The second destination answers at once and keeps its connection; its
    // answer waits behind the first, silent one.
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    ASSERT_EQ(::send(answering.peer, answer.data(), answer.size(), MSG_NOSIGNAL), static_cast<ssize_t>(answer.size()));

    ASSERT_TRUE(silent.closedWithin(10s));
    auto silentEnded = Clock::now();
    // Once the silent one is gone the second answer is whole and its
    // connection is released.
    ASSERT_TRUE(answering.closedWithin(10s));
    for (auto deadline = Clock::now() + 5s; deleted < 2 && Clock::now() < deadline;) std::this_thread::sleep_for(10ms);
    std::string log = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(deleted, 2);
    EXPECT_GE(silentEnded - started, std::chrono::milliseconds(kTimeoutMs));
    EXPECT_EQ(silent.received, request);
    EXPECT_EQ(answering.received, request);
    EXPECT_THAT(log, ::testing::HasSubstr("Outbound connection to destination server=127.0.0.1:" +
                                          std::to_string(silent.port) + " failed after"));
    EXPECT_THAT(log, ::testing::HasSubstr("Read Timeout"));
    // Each ends with its completion line, in the order they ended.
    std::size_t timedOut = log.find(" outcome=read-timeout");
    std::size_t complete =
        log.find(" status=200 sent=" + std::to_string(request.size()) + " relayed=" + std::to_string(answer.size()));
    EXPECT_NE(timedOut, std::string::npos) << log;
    EXPECT_NE(complete, std::string::npos) << log;
    EXPECT_LT(timedOut, complete) << log;
    EXPECT_THAT(log, ::testing::HasSubstr(" outcome=complete"));
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("server=127.0.0.1:" + std::to_string(answering.port))));
    // The relay's queue belongs to the outbound thread, its channel link to
    // the channel's thread.
    std::size_t queued = 1;
    InThreadFunction<void> readQueue([&] { queued = relay->queued(); });
    outboundLoop.runInThread(&readQueue, true);
    EXPECT_EQ(queued, 0u);
    // Runs after the hand-over posted to the channel's loop, which counts
    // the bytes as written (no channel).
    InThreadFunction<void> detach([&] { relay->detach(); });
    channelLoop.runInThread(&detach, true);
    EXPECT_EQ(relay->inFlight(), 0u);
}

}  // namespace
}  // namespace morvex
