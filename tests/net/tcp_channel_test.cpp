#include "net/tcp_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "channel_test_support.h"
#include "net/socket_ops.h"
#include "net/tcp_channel_acceptor.h"
#include "net/tcp_channel_loop.h"

namespace morvex {
namespace {

using namespace nettest;

// What the test channels saw, shared with the test thread.
struct Record {
    std::mutex m;
    std::string data;
    std::vector<SocketError> errors;
    std::vector<TcpChannelLoop*> loops;
    std::string sni;
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> established{0};

    // Behaviour of the channels.
    bool useSsl = false;
    bool echo = false;
    std::size_t greetingBytes = 0;  // queued when the connection is established
    std::uint32_t writeTimeoutMs = 240000;
    std::uint32_t handshakeTimeoutMs = 60000;
    std::uint32_t closeTimeoutMs = 20000;
    std::uint32_t inflightLimit = 0;  // 0: the acceptor's own rule

    std::vector<SocketError> errorsCopy() {
        std::lock_guard<std::mutex> g(m);
        return errors;
    }
};

class TestChannel : public TcpChannel {
public:
    TestChannel(Record& r, const SharedSslServerContext& ctx) : TcpChannel(ctx, r.useSsl), _r(r) {}
    ~TestChannel() override { ++_r.destroyed; }

    void connectionEstablished(TcpAsyncDataBuffer&) override {
        {
            std::lock_guard<std::mutex> g(_r.m);
            _r.sni = sslSession().targetHost();
        }
        ++_r.established;
        if (_r.greetingBytes) {
            std::string big(_r.greetingBytes, 'g');
            queueOutput(big.data(), big.size());
        }
    }
    void dataAvailable(TcpAsyncDataBuffer& d) override {
        std::string chunk(d.readable(), '\0');
        d.peek(chunk.data(), chunk.size());
        d.consume(chunk.size());
        {
            std::lock_guard<std::mutex> g(_r.m);
            _r.data += chunk;
        }
        if (_r.echo) queueOutput(chunk.data(), chunk.size());
    }
    void onError(const SocketError& e) override {
        std::lock_guard<std::mutex> g(_r.m);
        _r.errors.push_back(e);
    }
    std::uint32_t writeTimeout() const override { return _r.writeTimeoutMs; }
    std::uint32_t sslHandshakeTimeout() const override { return _r.handshakeTimeoutMs; }
    std::uint32_t closeTimeout() const override { return _r.closeTimeoutMs; }

private:
    Record& _r;
};

class TestAcceptor : public TcpChannelAcceptor {
public:
    TestAcceptor(TcpChannelLoop& loop, Record& r, SharedSslServerContext ctx)
        : TcpChannelAcceptor(loop), _r(r), _ctx(std::move(ctx)) {}
    TcpChannel* channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef&, const SocketAddress&) override {
        {
            std::lock_guard<std::mutex> g(_r.m);
            _r.loops.push_back(&loop);
        }
        ++_r.created;
        return new TestChannel(_r, _ctx);
    }
    std::uint64_t reenableDelayMs() const override { return 20; }
    bool tooManyInFlight(std::uint32_t n) override {
        return _r.inflightLimit ? n >= _r.inflightLimit : TcpChannelAcceptor::tooManyInFlight(n);
    }

private:
    Record& _r;
    SharedSslServerContext _ctx;
};

class TcpChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initRuntime(); }

    // Starts the listening loop (with n subordinate loops) and the acceptor.
    void start(std::size_t subordinates = 0) {
        for (std::size_t i = 0; i < subordinates; ++i) {
            subLoops.push_back(std::make_unique<TcpChannelLoop>());
            listenLoop.addSubordinate(subLoops.back().get());
            subThreads.push_back(std::make_unique<LoopThread>(*subLoops.back(), "TestIoThread"));
        }
        if (rec.useSsl) ctx = makeServerContext(tls);
        acceptor = std::make_unique<TestAcceptor>(listenLoop, rec, ctx);
        listenSock = listenLoopback(&port);
        ASSERT_TRUE(listenSock);
        listenThread = std::make_unique<LoopThread>(listenLoop, "TestListenThread");
        listenThread->onLoop([&] { acceptor->listen(listenSock); });
    }

    void TearDown() override {
        for (std::size_t i = 0; i < subLoops.size(); ++i) deleteChannels(*subThreads[i], *subLoops[i]);
        if (listenThread) {
            deleteChannels(*listenThread, listenLoop);
            listenThread->onLoop([&] { acceptor->stopListening(); });
        }
        subThreads.clear();
        listenThread.reset();
        acceptor.reset();
    }

    static void deleteChannels(LoopThread& t, TcpChannelLoop& loop) {
        t.onLoop([&] {
            while (TcpChannel* c = loop.firstChannel()) delete c;
        });
    }

    template <typename T>
    T onListenLoop(std::function<T()> fn) {
        T v{};
        listenThread->onLoop([&] { v = fn(); });
        return v;
    }

    TlsMaterial tls;
    SharedSslServerContext ctx;
    Record rec;
    TcpChannelLoop listenLoop;
    std::vector<std::unique_ptr<TcpChannelLoop>> subLoops;
    std::vector<std::unique_ptr<LoopThread>> subThreads;
    std::unique_ptr<TestAcceptor> acceptor;
    std::unique_ptr<LoopThread> listenThread;
    PollableDescriptorRef listenSock;
    std::uint16_t port = 0;
};

TEST_F(TcpChannelTest, PeerCloseEndsWithKindTwoOnTheListeningLoop) {
    start(0);
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    writeAll(fd, "hello");
    ::close(fd);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
    EXPECT_EQ(rec.data, "hello");
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::closedByPeer());
    ASSERT_EQ(rec.loops.size(), 1u);
    EXPECT_EQ(rec.loops[0], &listenLoop);
    // The destruction notice brings the active count back down.
    EXPECT_TRUE(eventually([&] { return onListenLoop<std::uint32_t>([&] { return acceptor->activeCount(); }) == 0; }));
    EXPECT_EQ(onListenLoop<std::size_t>([&] { return listenLoop.channelCount(); }), 0u);
}

TEST_F(TcpChannelTest, SuccessiveConnectionsGoToSuccessiveSubordinateLoops) {
    start(6);
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) {
        fds.push_back(connectLoopback(port));
        ASSERT_TRUE(eventually([&] { return rec.created == i + 1; }));
    }
    std::vector<std::size_t> idx;
    for (TcpChannelLoop* l : rec.loops) {
        auto it = std::find_if(subLoops.begin(), subLoops.end(), [&](auto& p) { return p.get() == l; });
        ASSERT_NE(it, subLoops.end()) << "channel created on a loop that is not subordinate";
        idx.push_back(static_cast<std::size_t>(it - subLoops.begin()));
    }
    for (std::size_t i = 1; i < idx.size(); ++i) EXPECT_EQ(idx[i], (idx[i - 1] + 1) % 6) << "connection " << i;
    // Every hand-over came back, and nothing disabled the acceptor.
    EXPECT_TRUE(eventually(
        [&] { return onListenLoop<std::uint32_t>([&] { return acceptor->inflightSubordinateAccepts(); }) == 0; }));
    EXPECT_EQ(onListenLoop<std::uint32_t>([&] { return acceptor->disabledReasons(); }), 0u);
    for (int fd : fds) ::close(fd);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 8; }));
    EXPECT_TRUE(eventually([&] { return onListenLoop<std::uint32_t>([&] { return acceptor->activeCount(); }) == 0; }));
}

// Accept failures, injected as the listening handle's pending error (which
// the next accept reports first).
TEST_F(TcpChannelTest, AcceptFailuresPauseSkipOrStopListening) {
    start(0);
    auto failNextAccept = [&](int code) { listenThread->onLoop([&] { listenSock->setLastError(code); }); };
    auto listening = [&] { return onListenLoop<bool>([&] { return acceptor->isListening(); }); };

    // Aborted or reset: the next accept follows at once.
    failNextAccept(platform::WSAECONNRESET);
    int a = connectLoopback(port);
    ASSERT_TRUE(eventually([&] { return rec.created == 1; }));

    // Out of descriptors: pauses (reason 1), then the timer re-enables it and
    // the waiting connection is taken.
    ::testing::internal::CaptureStderr();
    failNextAccept(platform::WSAEMFILE);
    int b = connectLoopback(port);
    ASSERT_TRUE(eventually([&] { return rec.created == 2; }));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Temporary error on accept socket, pausing: Too many open sockets."), std::string::npos) << err;
    EXPECT_TRUE(eventually(listening));

    // Anything else stops accepting for good.
    ::testing::internal::CaptureStderr();
    failNextAccept(platform::WSAEINVAL);
    int c = connectLoopback(port);
    EXPECT_TRUE(eventually([&] { return !listening(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Fatal error on accept socket: An invalid argument was supplied."), std::string::npos) << err;
    EXPECT_EQ(rec.created, 2);
    for (int fd : {a, b, c}) ::close(fd);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 2; }));
}

TEST_F(TcpChannelTest, TooManyHandOversInFlightPausesAcceptingUntilOneReturns) {
    rec.inflightLimit = 1;
    start(1);
    std::atomic<bool> release{false}, blockerDone{false};
    InThreadFunction<void> blocker([&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        blockerDone = true;
    });
    ASSERT_TRUE(subLoops[0]->postNowait(&blocker));
    int a = connectLoopback(port);
    int b = connectLoopback(port);  // completes in the kernel's backlog
    ASSERT_TRUE(eventually([&] {
        return onListenLoop<std::uint32_t>([&] { return acceptor->disabledReasons(); }) ==
               TcpChannelAcceptor::kTooManyInFlight;
    }));
    EXPECT_EQ(onListenLoop<std::uint32_t>([&] { return acceptor->inflightSubordinateAccepts(); }), 1u);
    EXPECT_FALSE(onListenLoop<bool>([&] { return acceptor->isListening(); }));
    EXPECT_EQ(rec.created, 0);
    // The returning hand-over clears the reason and accepting resumes.
    release = true;
    ASSERT_TRUE(eventually([&] { return rec.created == 2; }));
    ASSERT_TRUE(eventually([&] { return blockerDone.load(); }));
    EXPECT_TRUE(eventually([&] { return onListenLoop<bool>([&] { return acceptor->isListening(); }); }));
    EXPECT_EQ(onListenLoop<std::uint32_t>([&] { return acceptor->disabledReasons(); }), 0u);
    ::close(a);
    ::close(b);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 2; }));
}

TEST_F(TcpChannelTest, PlainEchoThenIdleChannelHasNoTimer) {
    rec.echo = true;
    start(1);
    int fd = connectLoopback(port);
    writeAll(fd, "abc");
    EXPECT_EQ(readAll(fd, 3), "abc");
    // Output is done and the read time-out is 0: no timer may be armed.
    bool queued = true;
    std::uint32_t r = 1, w = 0;
    subThreads[0]->onLoop([&] {
        TcpChannel* c = subLoops[0]->firstChannel();
        ASSERT_NE(c, nullptr);
        queued = c->ioTimeout().isQueued();
        r = c->currentReadTimeout();
        w = c->currentWriteTimeout();
    });
    EXPECT_FALSE(queued);
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(w, 240000u);
    EXPECT_TRUE(rec.errorsCopy().empty());
    ::close(fd);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
}

TEST_F(TcpChannelTest, PlainWriteThatStallsEndsWithWriteTimeout) {
    rec.greetingBytes = 48u << 20;  // more than loopback buffers hold
    rec.writeTimeoutMs = 100;
    start(1);
    int fd = connectLoopback(port);  // never reads
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::timeout(SocketError::kWriteTimeout));
    ::close(fd);
}

TEST_F(TcpChannelTest, TlsWriteThatStallsClosesGracefullyWithoutError) {
    rec.useSsl = true;
    rec.greetingBytes = 48u << 20;
    rec.writeTimeoutMs = 100;
    rec.closeTimeoutMs = 100;
    start(1);
    int fd = connectLoopback(port);
    auto client = BlockingTls::connect(fd, "");
    ASSERT_TRUE(client);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
    // The time-out started the orderly close, and the close's own time-out
    // ended it: nothing is reported while closing.
    EXPECT_TRUE(rec.errorsCopy().empty());
    client.reset();
    ::close(fd);
}

TEST_F(TcpChannelTest, TlsPeerThatNeverHandshakesIsTimedOut) {
    rec.useSsl = true;
    rec.handshakeTimeoutMs = 100;
    start(0);
    int fd = connectLoopback(port);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::timeout(SocketError::kReadTimeout));
    EXPECT_EQ(rec.established, 0);
    // The channel closed its socket: the peer sees the end of the stream.
    EXPECT_EQ(readAll(fd, 1, std::chrono::seconds(2)), "");
    ::close(fd);
}

TEST_F(TcpChannelTest, TlsEchoWithSniThenPeerCloseNotice) {
    rec.useSsl = true;
    rec.echo = true;
    start(1);
    int fd = connectLoopback(port);
    auto client = BlockingTls::connect(fd, "echo.example");
    ASSERT_TRUE(client);
    std::string big(100000, 'x');  // spans several TLS records and ring wraps
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(client->write("ping"));
    EXPECT_EQ(client->read(4), "ping");
    ASSERT_TRUE(client->write(big));
    EXPECT_EQ(client->read(big.size()), big);
    EXPECT_EQ(rec.sni, "echo.example");
    EXPECT_EQ(rec.established, 1);
    // Our close notice: the channel reports kind 2 and answers with its own.
    SSL_shutdown(client->ssl());
    char b;
    EXPECT_EQ(SSL_read(client->ssl(), &b, 1), 0);
    EXPECT_EQ(SSL_get_error(client->ssl(), 0), SSL_ERROR_ZERO_RETURN);
    ASSERT_TRUE(eventually([&] { return rec.destroyed == 1; }));
    ASSERT_EQ(rec.errorsCopy().size(), 1u);
    EXPECT_EQ(rec.errorsCopy()[0], SocketError::closedByPeer());
    client.reset();
    ::close(fd);
}

TEST(ListenBacklogTest, EnvironmentOverrideIsReadOnceAndLogged) {
    EXPECT_EQ(parseListenBacklog("16"), 16u);
    EXPECT_EQ(parseListenBacklog(nullptr), std::nullopt);
    EXPECT_EQ(parseListenBacklog(""), std::nullopt);
    EXPECT_EQ(parseListenBacklog("abc"), std::nullopt);
    EXPECT_EQ(parseListenBacklog("16x"), std::nullopt);
    EXPECT_EQ(parseListenBacklog("-1"), std::nullopt);

    ::setenv("MORVEX_LISTEN_BACKLOG", "16", 1);
    resetListenBacklogForTest();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(effectiveListenBacklog(0x7FFFFFFF), 16);
    ::setenv("MORVEX_LISTEN_BACKLOG", "99", 1);  // read once: later changes do not count
    EXPECT_EQ(effectiveListenBacklog(5), 16);
    std::string err = ::testing::internal::GetCapturedStderr();
    const std::string line = "Backlog parameter changed to value=16 for invoking listen() system call";
    std::size_t first = err.find(line);
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find(line, first + 1), std::string::npos) << "logged twice: " << err;

    for (const char* v : {"", "lots"}) {
        ::setenv("MORVEX_LISTEN_BACKLOG", v, 1);
        resetListenBacklogForTest();
        EXPECT_EQ(effectiveListenBacklog(123), 123) << "value '" << v << "'";
    }
    ::unsetenv("MORVEX_LISTEN_BACKLOG");
    resetListenBacklogForTest();
    EXPECT_EQ(effectiveListenBacklog(123), 123);
}

}  // namespace
}  // namespace morvex
