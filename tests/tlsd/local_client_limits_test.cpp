// What one local client can hold of the proxy: clients that connect and
// bring no valid request (nothing at all, a head that never ends, or refused
// requests sent again and again) are closed idleRequestTimeout() after their
// accept, not before, with the WARN line; and a client whose names never
// resolve holds only its share of the lookup threads. In-process and over
// plain TCP, with the time-out shortened through the virtual getter (the
// shipped value is 120 s) and the system lookup replaced.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <cstring>
#include <memory>
#include <string>

#include "net/in_thread_actor.h"
#include "net/socket_ops.h"
#include "net/tcp_outbound.h"
#include "net/timeout_heap.h"
#include "platform/error_codes.h"
#include "platform/winsock_startup.h"
#include "tlsd/async_fwd_channel_acceptor.h"
#include "tlsd/async_fwd_tcp_channel.h"
#include "tlsd/fwd_client_connection.h"
#include "tls/ssl_context.h"
#include "support/origin.h"
#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kIdleMs = 300;

// Every type has a context and a pool that nothing uses: the names these
// tests send never resolve.
struct TypeSettings {
    explicit TypeSettings(TcpOutboundLoop& loop) : pool(loop, &context) {}
    SslContext context;
    FwdClientConnectionPool pool;
};

class TestChannel : public AsyncFwdTcpChannel {
public:
    TestChannel(const PollableDescriptorRef& socket, TcpChannelLoop& loop, TcpOutboundLoop& outbound,
                TypeSettings& settings)
        : AsyncFwdTcpChannel(socket, SharedSslServerContext(), false, loop, outbound, "token"), _settings(settings) {}
    std::uint32_t idleRequestTimeout() const override { return kIdleMs; }
    const SslContext* clientContextFor(ClientRequestType) const override { return &_settings.context; }
    FwdClientConnectionPool* poolFor(ClientRequestType) const override { return &_settings.pool; }

private:
    TypeSettings& _settings;
};

class TestAcceptor : public AsyncFwdChannelAcceptor {
public:
    TestAcceptor(TcpChannelLoop& listening, TcpOutboundLoop& outbound, TypeSettings& settings)
        : AsyncFwdChannelAcceptor(listening, SharedSslServerContext(), false, outbound, "token"),
          _outbound(outbound),
          _settings(settings) {}
    TcpChannel* channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                               const SocketAddress&) override {
        return new TestChannel(socket, loop, _outbound, _settings);
    }

private:
    TcpOutboundLoop& _outbound;
    TypeSettings& _settings;
};

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

// The proxy's listening side and outbound loop, run in this process; the
// log goes to standard error (the fallback before configuration).
class LocalClientLimits : public ::testing::Test {
protected:
    void SetUp() override {
        EmptyMainThread::ensureForTest();
        platform::WSADATA wsa;
        platform::WSAStartup(platform::MAKEWORD(2, 2), &wsa);
        ::testing::internal::CaptureStderr();
        outboundThread = std::make_unique<ThreadFunction>([&] { outboundLoop.run(); }, "TestOutbound");
        EventLoop::WaitForEventLoopStarted(outboundLoop, *outboundThread);
        settings = std::make_unique<TypeSettings>(outboundLoop);
        acceptor = std::make_unique<TestAcceptor>(listeningLoop, outboundLoop, *settings);
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
        port = ntohs(bound.sin_port);
        acceptor->listen(listener);
        listeningThread = std::make_unique<ThreadFunction>([&] { listeningLoop.run(); }, "TestListening");
        EventLoop::WaitForEventLoopStarted(listeningLoop, *listeningThread);
    }

    void TearDown() override { stop(); }

    // Stops everything (once) and returns what was logged.
    std::string stop() {
        if (!acceptor) return {};
        InThreadFunction<void> stopListening([&] { acceptor->stopListening(); });
        listeningLoop.runInThread(&stopListening, true);
        for (TcpChannelLoop* loop : listeningLoop.subordinates()) loop->stop();
        listeningLoop.stop();
        listeningThread->join();
        acceptor.reset();
        outboundLoop.stop();
        outboundThread->join();
        settings.reset();
        return ::testing::internal::GetCapturedStderr();
    }

    TcpOutboundLoop outboundLoop;
    TcpChannelLoop listeningLoop;
    std::unique_ptr<ThreadFunction> outboundThread;
    std::unique_ptr<ThreadFunction> listeningThread;
    std::unique_ptr<TypeSettings> settings;
    std::unique_ptr<TestAcceptor> acceptor;
    std::uint16_t port = 0;
};

TEST_F(LocalClientLimits, ClientsWithoutAValidRequestAreClosedAfterTheIdleTimeOut) {
    auto started = Clock::now();
    int silent = test::connectLoopback(port);
    int partial = test::connectLoopback(port);
    ASSERT_GE(silent, 0);
    ASSERT_GE(partial, 0);
    // Half a request head, never finished.
    ASSERT_EQ(::send(partial, "GET / HTTP/1.1\r\nHost: a", 23, MSG_NOSIGNAL), 23);

    // A refused request every 100 ms: none of them extends the time-out.
    int dribbling = test::connectLoopback(port);
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

    std::string log = stop();
    EXPECT_THAT(log, ::testing::HasSubstr("Closing connection from morvexd: no valid request within 300 ms"));
}

// One connection sends a burst of names whose lookups never end; another
// connection's name must still be looked up while they hang. Every lookup
// fails in the end, so nothing connects; the hanging ones end just as the
// proxy stops.
TEST_F(LocalClientLimits, ANameOfAnotherConnectionIsLookedUpWhileOneConnectionsNamesHang) {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    int hanging = 0, mostHanging = 0;
    bool otherAsked = false;
    NameResolver::instance().setSystemLookup([&](const std::string& host, NameResolver::AddressList&) {
        std::unique_lock<std::mutex> l(lock);
        if (host.ends_with(".hangs.invalid")) {
            mostHanging = std::max(mostHanging, ++hanging);
            changed.notify_all();
            changed.wait_for(l, 30s, [&] { return released; });
            --hanging;
        } else {
            otherAsked = true;
            changed.notify_all();
        }
        return static_cast<int>(platform::WSAHOST_NOT_FOUND);
    });
    auto request = [](const std::string& host) {
        return "GET / HTTP/1.1\r\nHost: " + host +
               ":443\r\nx-morvex-request-type: Telemetry\r\nx-morvex-tlsproxy-token: token\r\n\r\n";
    };
    int slow = test::connectLoopback(port);
    ASSERT_GE(slow, 0);
    std::string burst;
    for (int i = 0; i < 40; ++i) burst += request("n" + std::to_string(i) + ".hangs.invalid");
    ASSERT_EQ(::send(slow, burst.data(), burst.size(), MSG_NOSIGNAL), static_cast<ssize_t>(burst.size()));
    {
        std::unique_lock<std::mutex> l(lock);
        const int share = static_cast<int>(AsyncFwdTcpChannel::kMaxLookupsPerConnection);
        ASSERT_TRUE(changed.wait_for(l, 10s, [&] { return hanging >= share; }));
        // The channel takes a burst over several passes: give it time to
        // take more than its share, which it must not.
        changed.wait_for(l, 1s, [&] { return hanging > share; });
    }
    int other = test::connectLoopback(port);
    ASSERT_GE(other, 0);
    const std::string one = request("other.test");
    ASSERT_EQ(::send(other, one.data(), one.size(), MSG_NOSIGNAL), static_cast<ssize_t>(one.size()));
    bool asked = false;
    {
        std::unique_lock<std::mutex> l(lock);
        asked = changed.wait_for(l, 10s, [&] { return otherAsked; });
        EXPECT_LE(mostHanging, static_cast<int>(AsyncFwdTcpChannel::kMaxLookupsPerConnection));
        released = true;
        changed.notify_all();
    }
    EXPECT_TRUE(asked) << "the other connection's name waited behind " << mostHanging << " hanging lookups";
    ::close(slow);
    ::close(other);
    // Lookups still ending while everything stops must not reach the
    // loops being torn down.
    stop();
    NameResolver::instance().setSystemLookup(nullptr);
}

}  // namespace
}  // namespace morvex
