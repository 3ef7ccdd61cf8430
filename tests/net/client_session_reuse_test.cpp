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
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "channel_test_support.h"
#include "net/in_thread_actor.h"
#include "net/tcp_client_connection.h"
#include "support/test_certs.h"
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

// A certificate and its key as files.
struct CertFiles {
    std::string cert;
    std::string key;
};

// Two listeners on 127.0.0.1 behind one server context, so a session from
// one port would resume on the other if the client offered it there.
class ResumingOrigin {
public:
    ResumingOrigin(CertFiles files, int maxVersion) : _files(std::move(files)), _maxVersion(maxVersion) {
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
        useCertificate(_files);
        SSL_CTX_set_max_proto_version(_ctx, _maxVersion);
        SSL_CTX_set_session_id_context(_ctx, reinterpret_cast<const unsigned char*>("origin"), 6);
        SSL_CTX_set_client_hello_cb(_ctx, clientHelloCallback, nullptr);
        SSL_CTX_set_tlsext_servername_callback(_ctx, serverNameCallback);
    }

    // Serves another certificate from now on and still resumes the sessions
    // and tickets it issued before (as a server whose certificate is
    // replaced while its session cache and ticket keys stay).
    void useCertificate(const CertFiles& files) {
        _files = files;
        SSL_CTX_use_certificate_file(_ctx, files.cert.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(_ctx, files.key.c_str(), SSL_FILETYPE_PEM);
    }

    std::uint16_t port(int i) const { return _listeners[i].port; }

    // Serves one connection on listener i: handshake, "ping" -> "pong", then
    // waits for the client's close, or with `abrupt` closes the socket first
    // (no close notice either way, as an origin that just hangs up). With
    // `full` the connection resumes nothing (another session context).
    std::future<Seen> serveOne(int i, bool abrupt = false, bool full = false) {
        return std::async(std::launch::async, [this, i, abrupt, full] {
            Seen seen;
            int fd = ::accept(_listeners[i].fd, nullptr, nullptr);
            SSL* ssl = SSL_new(_ctx);
            if (full) SSL_set_session_id_context(ssl, reinterpret_cast<const unsigned char*>("full"), 4);
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
    CertFiles _files;
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
    std::string error;             // the last error's text
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
    void onError(const SocketError& e) override {
        std::lock_guard<std::mutex> g(_r.m);
        _r.error = e.text();
        ++_r.errors;
    }
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
        origin = std::make_unique<ResumingOrigin>(CertFiles{material.certFile, material.keyFile}, GetParam());
        loopThread = std::make_unique<LoopThread>(loop, "TestOutboundThread");
    }
    void TearDown() override {
        loopThread.reset();
        ClientSessionStore::setEnabled(true);
    }

    // One request to origin listener i with the SNI name; returns what the
    // origin saw and, in resumedByClient, the client's own view.
    Seen exchange(const std::string& sni, int i = 0, int* resumedByClient = nullptr, bool abrupt = false,
                  bool full = false) {
        Record rec;
        static const std::string ping = "ping";
        SendList request{{4, ping.data()}};
        auto served = origin->serveOne(i, abrupt, full);
        auto* c = new ReuseConnection(rec, *activePool, origin->port(i), host);
        c->setSni(sni);
        c->setAsyncWriteData(request);
        EXPECT_TRUE(c->connect());
        EXPECT_TRUE(eventually([&] { return rec.dataCopy() == "pong" || rec.deleted == 1; }));
        // On the loop's thread, where the connection deletes itself, so
        // one that has ended already is not touched.
        InThreadFunction<void> end([&] {
            if (rec.deleted == 0) c->terminateExternally(false);
        });
        loop.runInThread(&end, true);
        EXPECT_TRUE(eventually([&] { return rec.deleted == 1; }));
        if (resumedByClient) *resumedByClient = rec.resumed;
        errors += rec.errors;
        lastError = rec.errors ? rec.error : std::string();
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
    int errors = 0;         // connection errors over all exchanges
    std::string lastError;  // of the last exchange, empty when it had none
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

// Telemetry's settings (chain and name verified) against an origin whose
// certificate is replaced by a self-signed one or one for another name,
// while it keeps its sessions and ticket keys.
TEST_P(ClientSessionReuseTest, AResumedSessionCarriesItsVerificationOnlyWithinItsBounds) {
    test::TempDir dir;
    auto files = [&dir](const char* name, const test::TestCert& c) {
        return CertFiles{dir.file(std::string(name) + ".pem", c.certPem()), dir.file(std::string(name) + ".key", c.keyPem())};
    };
    const test::TestCert ca = test::TestCert::create(test::CertSpec().cn("Origin CA").asCa());
    const CertFiles good =
        files("good", test::TestCert::create(test::CertSpec().cn("origin.test").dns({"origin.test"}).serverAuth(), &ca));
    const CertFiles selfSigned =
        files("self", test::TestCert::create(test::CertSpec().cn("origin.test").dns({"origin.test"}).serverAuth()));
    const CertFiles otherName =
        files("other", test::TestCert::create(test::CertSpec().cn("other.test").dns({"other.test"}).serverAuth(), &ca));
    SslClientContextOptions o;
    o.sslVersions = SslVersion::TLS1_2;
    o.shouldVerifyServerCert = true;
    o.shouldVerifyServerName = true;
    o.caCertFile = dir.file("ca.pem", ca.certPem());
    SslContext telemetry;
    ASSERT_TRUE(telemetry.initClient(o));
    JudgingPool telemetryPool(loop, &telemetry, 55000);
    activePool = &telemetryPool;
    host = "origin.test";
    std::atomic<std::time_t> later{0};
    telemetry.clientSessionStore()->setClock([&later] { return std::time(nullptr) + later.load(); });
    constexpr std::time_t kAge = ClientSessionStore::kMaxTrustAgeSeconds;

    for (const CertFiles* swapped : {&selfSigned, &otherName}) {
        SCOPED_TRACE(swapped == &selfSigned ? "self-signed" : "other name");
        telemetry.clientSessionStore()->clear();
        later = 0;
        origin = std::make_unique<ResumingOrigin>(good, GetParam());
        struct Step {
            const char* what;
            const CertFiles* serve;  // the origin's certificate from this step on (null: unchanged)
            std::time_t later;       // the store's clock ahead of the wall clock
            bool full;               // the origin resumes nothing on this connection
            bool offered, resumed, ok;
        } steps[] = {
            {"first contact verifies", &good, 0, false, false, false, true},
            {"a full handshake that fails verification...", swapped, 0, true, true, false, false},
            {"...drops every session of the destination", &good, 0, false, false, false, true},
            {"resumes", nullptr, 0, false, true, true, true},
            {"a server that still holds the session resumes within the maximum age", swapped, kAge - 600, false,
             true, true, true},
            {"sessions from resumed connections keep the first verification's age: a full handshake, which fails",
             nullptr, kAge, false, false, false, false},
            {"and nothing is left to offer", nullptr, kAge, false, false, false, false},
        };
        std::string fullHandshakeFailure;
        for (const Step& step : steps) {
            SCOPED_TRACE(step.what);
            if (step.serve) origin->useCertificate(*step.serve);
            later = step.later;
            const int before = errors;
            int clientResumed = -1;
            Seen seen = exchange("origin.test", 0, &clientResumed, false, step.full);
            EXPECT_EQ(seen.offered, step.offered);
            EXPECT_EQ(seen.resumed, step.resumed);
            EXPECT_EQ(errors == before, step.ok);
            EXPECT_EQ(seen.handshake, step.ok);
            if (step.ok) continue;
            // Every failure is the one the full handshake gave.
            if (fullHandshakeFailure.empty()) fullHandshakeFailure = lastError;
            EXPECT_EQ(lastError, fullHandshakeFailure);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ClientSessionReuseTest, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == TLS1_3_VERSION ? "Tls13" : "Tls12");
                         });

}  // namespace
}  // namespace morvex
