// Local clients that connect and bring no valid request (nothing at all, a
// head that never ends, or refused requests sent again and again) are closed
// idleRequestTimeout() after their accept, not before, with the WARN line. In-process and over plain TCP, with the
// time-out shortened through the virtual getter; the shipped value is 120 s.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "net/in_thread_actor.h"
#include "net/socket_ops.h"
#include "net/tcp_outbound.h"
#include "net/timeout_heap.h"
#include "platform/winsock_startup.h"
#include "tlsd/async_fwd_channel_acceptor.h"
#include "tlsd/async_fwd_tcp_channel.h"
#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kIdleMs = 300;

class ShortIdleChannel : public AsyncFwdTcpChannel {
public:
    using AsyncFwdTcpChannel::AsyncFwdTcpChannel;
    std::uint32_t idleRequestTimeout() const override { return kIdleMs; }
};

class ShortIdleAcceptor : public AsyncFwdChannelAcceptor {
public:
    ShortIdleAcceptor(TcpChannelLoop& listening, TcpOutboundLoop& outbound)
        : AsyncFwdChannelAcceptor(listening, SharedSslServerContext(), false, outbound, "token"), _outbound(outbound) {}
    TcpChannel* channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                               const SocketAddress&) override {
        return new ShortIdleChannel(socket, SharedSslServerContext(), false, loop, _outbound, "token");
    }

private:
    TcpOutboundLoop& _outbound;
};

int connectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// How long until the proxy closed fd (end of stream or reset), or -1 ms
// when it stayed open for the whole of limit.
std::chrono::milliseconds closedAfter(int fd, Clock::time_point since, std::chrono::milliseconds limit) {
    for (auto deadline = since + limit; Clock::now() < deadline;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        char buf[256];
        if (::recv(fd, buf, sizeof buf, 0) <= 0) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
        }
    }
    return -1ms;
}

TEST(IdleRequestTimeout, ClientsWithoutAValidRequestAreClosedAndTheLineIsLogged) {
    EmptyMainThread::ensureForTest();
    platform::WSADATA wsa;
    platform::WSAStartup(platform::MAKEWORD(2, 2), &wsa);
    ::testing::internal::CaptureStderr();  // the log's fallback before configuration

    TcpOutboundLoop outboundLoop;
    TcpChannelLoop listeningLoop;
    auto outboundThread = std::make_unique<ThreadFunction>([&] { outboundLoop.run(); }, "TestOutbound");
    EventLoop::WaitForEventLoopStarted(outboundLoop, *outboundThread);
    auto acceptor = std::make_unique<ShortIdleAcceptor>(listeningLoop, outboundLoop);
    SocketAddress address;
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.length = sizeof(sockaddr_in);
    PollableDescriptorRef listener = bindAndListen(address, AF_INET, SOCK_STREAM, 16);
    ASSERT_TRUE(listener);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listener->socket(), reinterpret_cast<sockaddr*>(&bound), &len);
    acceptor->listen(listener);
    auto listeningThread = std::make_unique<ThreadFunction>([&] { listeningLoop.run(); }, "TestListening");
    EventLoop::WaitForEventLoopStarted(listeningLoop, *listeningThread);

    const std::uint16_t port = ntohs(bound.sin_port);
    auto started = Clock::now();
    int silent = connectTo(port);
    int partial = connectTo(port);
    ASSERT_GE(silent, 0);
    ASSERT_GE(partial, 0);
    // Half a request head, never finished.
    ASSERT_EQ(::send(partial, "GET / HTTP/1.1\r\nHost: a", 23, MSG_NOSIGNAL), 23);

    // A refused request every 100 ms: none of them extends the time-out.
    int dribbling = connectTo(port);
    ASSERT_GE(dribbling, 0);
    auto dribblingClosed = -1ms;
    for (auto deadline = started + 5s; Clock::now() < deadline && dribblingClosed < 0ms;) {
        ::send(dribbling, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
        dribblingClosed = closedAfter(dribbling, Clock::now(), 100ms);
        if (dribblingClosed >= 0ms) {
            dribblingClosed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        }
    }

    auto silentClosed = closedAfter(silent, started, 5s);
    auto partialClosed = closedAfter(partial, started, 5s);
    EXPECT_GE(silentClosed, std::chrono::milliseconds(kIdleMs));
    EXPECT_GE(partialClosed, std::chrono::milliseconds(kIdleMs));
    // Its deadline stays where the accept put it; the loop fires timers up
    // to its slack early once re-armed that close to them.
    EXPECT_GE(dribblingClosed, std::chrono::milliseconds(kIdleMs - TimeoutHeap::kFiringSlack));
    EXPECT_LT(dribblingClosed, std::chrono::milliseconds(2 * kIdleMs));
    ::close(silent);
    ::close(partial);
    ::close(dribbling);

    InThreadFunction<void> stopListening([&] { acceptor->stopListening(); });
    listeningLoop.runInThread(&stopListening, true);
    for (TcpChannelLoop* loop : listeningLoop.subordinates()) loop->stop();
    listeningLoop.stop();
    listeningThread->join();
    acceptor.reset();
    outboundLoop.stop();
    outboundThread->join();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(log, ::testing::HasSubstr("Closing connection from morvexd: no valid request within 300 ms"));
}

}  // namespace
}  // namespace morvex
