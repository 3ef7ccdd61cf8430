// Outbound TLS session reuse over real loopback TLS: an origin that shares
// one server context across its listeners reports, per connection, whether
// the client offered a session and whether it was resumed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/tls1.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "channel_test_support.h"
#include "net/in_thread_actor.h"
#include "net/tcp_client_connection.h"
#include "tls/client_session_store.h"

namespace morvex {
namespace {

using namespace nettest;

// What the origin saw on one connection.
struct Seen {
    bool handshake = false;
    bool offered = false;  // a ticket or pre-shared key in the ClientHello
    bool resumed = false;
    std::string sni;
};

// The callbacks write into the Seen that the connection carries as app data.
int clientHelloCallback(SSL* ssl, int*, void*) {
    const unsigned char* data = nullptr;
    std::size_t len = 0;
    bool offered = SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_psk, &data, &len) == 1;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_session_ticket, &data, &len) == 1 && len > 0) offered = true;
    static_cast<Seen*>(SSL_get_app_data(ssl))->offered = offered;
    return SSL_CLIENT_HELLO_SUCCESS;
}

// The name as sent (a resumed TLS 1.2 session would report the stored one).
int serverNameCallback(SSL* ssl, int*, void*) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    static_cast<Seen*>(SSL_get_app_data(ssl))->sni = name ? name : "";
    return SSL_TLSEXT_ERR_OK;
}

// Two listeners on 127.0.0.1 behind one server context, so a session from
// one port would resume on the other if the client offered it there.
class ResumingOrigin {
public:
    ResumingOrigin(const TlsMaterial& material, int maxVersion) : _material(material), _maxVersion(maxVersion) {
        for (auto& l : _listeners) l.fd = plainListener(&l.port);
        freshContext();
    }
    ~ResumingOrigin() {
        for (auto& l : _listeners) ::close(l.fd);
        SSL_CTX_free(_ctx);
    }

    // A new server context: sessions and tickets of the old one no longer resume.
    void freshContext() {
        if (_ctx) SSL_CTX_free(_ctx);
        _ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(_ctx, _material.certFile.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(_ctx, _material.keyFile.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_max_proto_version(_ctx, _maxVersion);
        SSL_CTX_set_session_id_context(_ctx, reinterpret_cast<const unsigned char*>("origin"), 6);
        SSL_CTX_set_client_hello_cb(_ctx, clientHelloCallback, nullptr);
        SSL_CTX_set_tlsext_servername_callback(_ctx, serverNameCallback);
    }

    std::uint16_t port(int i) const { return _listeners[i].port; }

    // Serves one connection on listener i: handshake, "ping" -> "pong", then
    // waits for the client's close, or with `abrupt` closes the socket first
    // (no close notice either way, as an origin that just hangs up).
    std::future<Seen> serveOne(int i, bool abrupt = false) {
        return std::async(std::launch::async, [this, i, abrupt] {
            Seen seen;
            int fd = ::accept(_listeners[i].fd, nullptr, nullptr);
            SSL* ssl = SSL_new(_ctx);
            SSL_set_app_data(ssl, &seen);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                seen.handshake = true;
                seen.resumed = SSL_session_reused(ssl) == 1;
                char buf[4];
                if (SSL_read(ssl, buf, sizeof buf) == 4) SSL_write(ssl, "pong", 4);
                if (abrupt) ::shutdown(fd, SHUT_RDWR);
                while (SSL_read(ssl, buf, sizeof buf) > 0) {
                }
                if (!abrupt) SSL_shutdown(ssl);
            }
            SSL_free(ssl);
            ::close(fd);
            return seen;
        });
    }

private:
    struct Listener {
        int fd = -1;
        std::uint16_t port = 0;
    };
    const TlsMaterial& _material;
    int _maxVersion;
    Listener _listeners[2];
    SSL_CTX* _ctx = nullptr;
};

struct Record {
    std::mutex m;
    std::string data;
    std::atomic<int> errors{0};
    std::atomic<int> deleted{0};
    std::atomic<int> resumed{-1};  // client's view, at connection made
    std::string dataCopy() {
        std::lock_guard<std::mutex> g(m);
        return data;
    }
};

class ReuseConnection : public TcpClientConnection {
public:
    ReuseConnection(Record& r, TcpClientConnectionPool& pool, std::uint16_t port, const std::string& host)
        : TcpClientConnection(pool, pool.loop(), true, htonl(INADDR_LOOPBACK), port, host), _r(r) {}
    ~ReuseConnection() override { ++_r.deleted; }
    void connectionMade() override { _r.resumed = SSL_session_reused(sslSession().handle()); }
    void dataAvailable(Ring& ring) override {
        std::lock_guard<std::mutex> g(_r.m);
        while (ring.readable()) {
            std::size_t n = ring.contiguousReadable();
            _r.data.append(ring.readPtr(), n);
            ring.consume(n);
        }
    }
    void asyncWriteComplete() override {}
    void onError(const SocketError&) override { ++_r.errors; }
    void aboutToDrainAfterUnexpectedClose() override {}

private:
    Record& _r;
};

// A pool that turns down the next server certificate when asked to.
class JudgingPool : public TcpClientConnectionPool {
public:
    using TcpClientConnectionPool::TcpClientConnectionPool;
    bool certificateAcceptable(TcpClientConnection&) override { return !refuseNext.exchange(false); }
    std::atomic<bool> refuseNext{false};
};

class ClientSessionReuseTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { initRuntime(); }
    void SetUp() override {
        SslClientContextOptions o;
        o.sslVersions = SslVersion::TLS1_2;  // TLS 1.3 is always allowed too
        ASSERT_TRUE(clientCtx.initClient(o));
        pool = std::make_unique<JudgingPool>(loop, &clientCtx, 55000);
        activePool = pool.get();
        origin = std::make_unique<ResumingOrigin>(material, GetParam());
        loopThread = std::make_unique<LoopThread>(loop, "TestOutboundThread");
    }
    void TearDown() override {
        loopThread.reset();
        ClientSessionStore::setEnabled(true);
    }

    // One request to origin listener i with the SNI name; returns what the
    // origin saw and, in resumedByClient, the client's own view.
    Seen exchange(const std::string& sni, int i = 0, int* resumedByClient = nullptr, bool abrupt = false) {
        Record rec;
        static const std::string ping = "ping";
        SendList request{{4, ping.data()}};
        auto served = origin->serveOne(i, abrupt);
        auto* c = new ReuseConnection(rec, *activePool, origin->port(i), host);
        c->setSni(sni);
        c->setAsyncWriteData(request);
        EXPECT_TRUE(c->connect());
        EXPECT_TRUE(waitFor([&] { return rec.dataCopy() == "pong" || rec.deleted == 1; }));
        // On the loop's thread, where the connection deletes itself, so
        // one that has ended already is not touched.
        InThreadFunction<void> end([&] {
            if (rec.deleted == 0) c->terminateExternally(false);
        });
        loop.runInThread(&end, true);
        EXPECT_TRUE(waitFor([&] { return rec.deleted == 1; }));
        if (resumedByClient) *resumedByClient = rec.resumed;
        errors += rec.errors;
        EXPECT_EQ(served.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return served.get();
    }

    TlsMaterial material;
    TcpOutboundLoop loop;
    SslContext clientCtx;
    std::unique_ptr<JudgingPool> pool;
    std::unique_ptr<ResumingOrigin> origin;
    std::unique_ptr<LoopThread> loopThread;
    TcpClientConnectionPool* activePool = nullptr;
    std::string host = "origin.example";
    int errors = 0;  // connection errors over all exchanges
};

TEST_P(ClientSessionReuseTest, ARepeatDestinationResumesOthersDoNot) {
    struct Step {
        const char* what;
        const char* sni;
        int listener;
        bool reuseOn;
        bool offered;
        bool resumed;
    } steps[] = {
        {"first contact", "a.example", 0, true, false, false},
        {"same destination", "a.example", 0, true, true, true},
        {"other SNI name", "b.example", 0, true, false, false},
        {"other port", "a.example", 1, true, false, false},
        {"switch off", "a.example", 0, false, false, false},
        {"switch on again", "a.example", 0, true, true, true},
        {"again", "a.example", 0, true, true, true},
        {"other SNI name, second time", "b.example", 0, true, true, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        ClientSessionStore::setEnabled(s.reuseOn);
        int clientResumed = -1;
        Seen seen = exchange(s.sni, s.listener, &clientResumed);
        ASSERT_TRUE(seen.handshake);
        EXPECT_EQ(seen.sni, s.sni);
        EXPECT_EQ(seen.offered, s.offered);
        EXPECT_EQ(seen.resumed, s.resumed);
        EXPECT_EQ(clientResumed, s.resumed ? 1 : 0);
    }
}

TEST_P(ClientSessionReuseTest, ASessionThatNoLongerResumesIsReplaced) {
    exchange("a.example");
    origin->freshContext();  // the origin forgot every session and ticket key
    Seen refused = exchange("a.example");
    EXPECT_TRUE(refused.offered);
    EXPECT_FALSE(refused.resumed);
    Seen next = exchange("a.example");
    EXPECT_TRUE(next.resumed);
}

TEST_P(ClientSessionReuseTest, AConnectionTheOriginHangsUpOnStillLeavesAResumableSession) {
    // The client never sends a close notice here; its session stays usable.
    exchange("a.example", 0, nullptr, true);
    EXPECT_TRUE(exchange("a.example", 0, nullptr, true).resumed);
    EXPECT_TRUE(exchange("a.example", 0, nullptr, true).resumed);
}

TEST_P(ClientSessionReuseTest, APeerTurnedDownAfterTheHandshakeLeavesNoSession) {
    pool->refuseNext = true;
    Seen refused = exchange("a.example");
    EXPECT_TRUE(refused.handshake);
    Seen next = exchange("a.example");
    EXPECT_FALSE(next.offered);
    EXPECT_FALSE(next.resumed);
    EXPECT_TRUE(exchange("a.example").resumed);
}

TEST_P(ClientSessionReuseTest, AVerifyingContextAcceptsTheResumedPeer) {
    // The peer checks run again on the resumed session's certificate.
    SslClientContextOptions o;
    o.sslVersions = SslVersion::TLS1_2;
    o.shouldVerifyServerCert = true;
    o.shouldVerifyServerName = true;
    o.caCertFile = material.certFile;
    SslContext verifying;
    ASSERT_TRUE(verifying.initClient(o));
    JudgingPool verifyingPool(loop, &verifying, 55000);
    activePool = &verifyingPool;
    host = "channel.test";
    EXPECT_FALSE(exchange("channel.test").resumed);
    Seen again = exchange("channel.test");
    EXPECT_TRUE(again.resumed);
    EXPECT_EQ(errors, 0);
    // Another host name is another destination, and fails its name check.
    host = "other.test";
    EXPECT_FALSE(exchange("other.test").offered);
    EXPECT_EQ(errors, 1);
}

INSTANTIATE_TEST_SUITE_P(Versions, ClientSessionReuseTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == TLS1_3_VERSION ? "Tls13" : "Tls12");
                         });

}  // namespace
}  // namespace morvex
