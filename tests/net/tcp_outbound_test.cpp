#include "net/tcp_outbound.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "channel_test_support.h"
#include "net/tcp_client_connection.h"

namespace morvex {
namespace {

using namespace nettest;

struct OutRecord {
    std::mutex m;
    std::string data;
    std::vector<SocketError> errors;
    std::atomic<int> made{0};
    std::atomic<int> writesDone{0};
    std::atomic<int> drains{0};
    std::atomic<int> deleted{0};
    std::atomic<int> finalState{-1};
    std::size_t maxTake = SIZE_MAX;  // bytes consumed per data-available call
    bool holdBack = false;           // pause on data instead of taking it
    std::atomic<int> steps{0};       // state steps run by the loop

    std::vector<SocketError> errorsCopy() {
        std::lock_guard<std::mutex> g(m);
        return errors;
    }
    std::string dataCopy() {
        std::lock_guard<std::mutex> g(m);
        return data;
    }
};

class TestConnection : public TcpClientConnection {
public:
    TestConnection(OutRecord& r, TcpClientConnectionPool& pool, bool useSsl, std::uint16_t port)
        : TcpClientConnection(pool, pool.loop(), useSsl, htonl(INADDR_LOOPBACK), port, "localhost"), _r(r) {}
    ~TestConnection() override {
        _r.finalState = state();
        ++_r.deleted;
    }
    void connectionMade() override { ++_r.made; }
    // Takes the first contiguous piece only, as a relay does.
    void dataAvailable(Ring& ring) override {
        if (_r.holdBack) {
            setPaused(true);
            return;
        }
        std::size_t n = std::min(ring.contiguousReadable(), _r.maxTake);
        std::lock_guard<std::mutex> g(_r.m);
        _r.data.append(ring.readPtr(), n);
        ring.consume(n);
    }
    void asyncWriteComplete() override { ++_r.writesDone; }
    void onError(const SocketError& e) override {
        std::lock_guard<std::mutex> g(_r.m);
        _r.errors.push_back(e);
    }
    void aboutToDrainAfterUnexpectedClose() override { ++_r.drains; }
    bool handleEvents(const PollableDescriptorRef& ipd) override {
        ++_r.steps;
        return TcpClientConnection::handleEvents(ipd);
    }

private:
    OutRecord& _r;
};

class TcpOutboundTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initRuntime(); }
    void SetUp() override {
        clientCtx = makeClientContext();
        ASSERT_TRUE(clientCtx);
        plainPool = std::make_unique<TcpClientConnectionPool>(loop, nullptr, 55000);
        tlsPool = std::make_unique<TcpClientConnectionPool>(loop, clientCtx.get(), 55000);
        loopThread = std::make_unique<LoopThread>(loop, "TestOutboundThread");
    }
    void TearDown() override {
        if (server.joinable()) server.join();
        loopThread.reset();
    }

    TcpOutboundLoop loop;
    std::unique_ptr<SslContext> clientCtx;
    std::unique_ptr<TcpClientConnectionPool> plainPool;
    std::unique_ptr<TcpClientConnectionPool> tlsPool;
    std::unique_ptr<LoopThread> loopThread;
    OutRecord rec;
    std::thread server;
};

TEST_F(TcpOutboundTest, ConnectToClosedPortFailsOnceWithWinsockCode) {
    auto* c = new TestConnection(rec, *plainPool, false, closedPort());
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError(SocketError::kWinsock, platform::WSAECONNREFUSED));
    EXPECT_EQ(rec.finalState, TcpOutbound::kFailedConnecting);
    EXPECT_EQ(rec.made, 0);
}

TEST_F(TcpOutboundTest, SilentTlsServerEndsWithConnectTimeout) {
    std::uint16_t port;
    int lfd = plainListener(&port);  // accepts (backlog) but never answers
    auto* c = new TestConnection(rec, *tlsPool, true, port);
    c->setConnectTimeout(50);
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0].text(), "Connect Timeout");
    EXPECT_EQ(rec.finalState, TcpOutbound::kFailedConnecting);
    ::close(lfd);
}

TEST_F(TcpOutboundTest, PeerSendsAndClosesEveryByteDeliveredInOrderThenKindTwo) {
    std::string payload(20000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    std::uint16_t port;
    int lfd = plainListener(&port);
    server = std::thread([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        writeAll(fd, payload);
        ::close(fd);
        ::close(lfd);
    });
    rec.maxTake = 1000;  // leaves bytes in the ring when the close is seen
    auto* c = new TestConnection(rec, *plainPool, false, port);
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    server.join();
    EXPECT_TRUE(rec.dataCopy() == payload) << "got " << rec.dataCopy().size() << " bytes";
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::closedByPeer());
    EXPECT_EQ(rec.drains, 1);
    EXPECT_EQ(rec.finalState, TcpOutbound::kFailedOpen);
}

TEST_F(TcpOutboundTest, PlainRequestFromSeveralSegmentsAndAnswer) {
    const std::string a = "GET / HTTP/1.1\r\n", b = "Host: localhost\r\n\r\n";
    SendList request{{static_cast<std::uint32_t>(a.size()), a.data()},
                     {static_cast<std::uint32_t>(b.size()), b.data()}};
    std::uint16_t port;
    int lfd = plainListener(&port);
    std::string seen;
    server = std::thread([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        seen = readAll(fd, a.size() + b.size());
        writeAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
        ::close(fd);
        ::close(lfd);
    });
    auto* c = new TestConnection(rec, *plainPool, false, port);
    c->setAsyncWriteData(request);
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    server.join();
    EXPECT_EQ(seen, a + b);
    EXPECT_EQ(rec.dataCopy(), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(rec.made, 1);
    EXPECT_EQ(rec.writesDone, 1);
}

TEST_F(TcpOutboundTest, TlsExchangeWithSniAndOrderlyTermination) {
    TlsMaterial material;
    const std::string req = "GET /x HTTP/1.1\r\nHost: echo.example\r\n\r\n";
    SendList request{{static_cast<std::uint32_t>(req.size()), req.data()}};
    std::uint16_t port;
    int lfd = plainListener(&port);
    std::string seen, sni;
    std::atomic<bool> gotCloseNotice{false};
    server = std::thread([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        auto tls = BlockingTls::accept(fd, material);
        if (tls) {
            sni = tls->sni();
            seen = tls->read(req.size());
            tls->write("answer");
            char b;
            int r = SSL_read(tls->ssl(), &b, 1);
            gotCloseNotice = r == 0 && SSL_get_error(tls->ssl(), r) == SSL_ERROR_ZERO_RETURN;
        }
        ::close(fd);
        ::close(lfd);
    });
    auto* c = new TestConnection(rec, *tlsPool, true, port);
    c->setSni("echo.example");
    c->setAsyncWriteData(request);
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(eventually([&] { return rec.dataCopy() == "answer"; }));
    c->terminateExternally(false);  // orderly: our close notice goes out
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    server.join();
    EXPECT_EQ(sni, "echo.example");
    EXPECT_EQ(seen, req);
    EXPECT_TRUE(gotCloseNotice);
    EXPECT_EQ(rec.finalState, TcpOutbound::kTerminated);
    EXPECT_TRUE(rec.errorsCopy().empty());
}

// CPU time used so far by the thread whose clock this is.
double threadCpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(TcpOutboundTest, APausedConnectionWhosePeerClosedCostsNothingUntilResumed) {
    std::uint16_t port;
    int lfd = plainListener(&port);
    server = std::thread([&] {
        int fd = ::accept(lfd, nullptr, nullptr);
        writeAll(fd, "held answer");
        ::close(fd);
        ::close(lfd);
    });
    rec.holdBack = true;  // as an answer held behind an earlier one
    auto* c = new TestConnection(rec, *plainPool, false, port);
    ASSERT_TRUE(c->connect());
    server.join();
    clockid_t loopClock{};
    loopThread->onLoop([&] { pthread_getcpuclockid(pthread_self(), &loopClock); });
    ASSERT_TRUE(eventually([&] { return c->paused(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the close has arrived

    const int stepsBefore = rec.steps;
    const double cpuBefore = threadCpuSeconds(loopClock);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu = threadCpuSeconds(loopClock) - cpuBefore;
    std::cout << "paused and closed: loop CPU " << cpu << " s and " << rec.steps - stepsBefore
              << " steps in 500 ms\n";
    EXPECT_LT(cpu, 0.02) << "loop CPU while the only connection is paused";
    EXPECT_LE(rec.steps - stepsBefore, 1);
    EXPECT_EQ(rec.deleted, 0);

    rec.holdBack = false;
    loopThread->onLoop([&] { c->setPaused(false); });
    ASSERT_TRUE(eventually([&] { return rec.deleted == 1; }));
    EXPECT_EQ(rec.dataCopy(), "held answer");
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::closedByPeer());
}

TEST_F(TcpOutboundTest, ConnectFailsWhenTheLoopDoesNotRun) {
    loopThread.reset();
    TestConnection c(rec, *plainPool, false, closedPort());
    EXPECT_FALSE(c.connect());
    EXPECT_TRUE(rec.errorsCopy().empty());
}

TEST(TcpClientConnectionKeyTest, KeyMixesAddressPortAndTlsHost) {
    std::uint32_t a = htonl(0x0A000001);
    std::uint32_t plain = TcpClientConnection::makeKey(a, 443, false, "x.example");
    EXPECT_EQ(plain, ~(a ^ 443u));
    EXPECT_EQ(plain, TcpClientConnection::makeKey(a, 443, false, "other.example"));  // host ignored
    EXPECT_NE(TcpClientConnection::makeKey(a, 443, true, "x.example"),
              TcpClientConnection::makeKey(a, 443, true, "y.example"));
}

}  // namespace
}  // namespace morvex
