#include "tls/ssl_session.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "ssl_test_helpers.h"
#include "tls/ssl_session_cache.h"

namespace morvex {
namespace {

using test::LoopbackTlsPair;
using test::StderrCapture;
using test::TestPki;
using Kind = SslSession::IoStatus::Kind;

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return s;
}

// Compares without dumping binary data on failure.
::testing::AssertionResult sameBytes(const std::string& expected, const std::string& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << ", first difference at " << i;
}

class SslSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        serverCtx.initServer(test::serverOptions(pki.serverCertFile));
        ASSERT_TRUE(clientCtx.initClient(test::clientOptions()));
    }
    TestPki pki;
    SslContext serverCtx;
    SslContext clientCtx;
};

TEST_F(SslSessionTest, HandshakeSniAndDataBothWays) {
    SslSession idle;
    EXPECT_EQ("SSL: inactive\r\n", idle.statusLine());

    LoopbackTlsPair pair(serverCtx, clientCtx, "server.test");
    ASSERT_TRUE(pair.handshake());
    EXPECT_TRUE(pair.server.handshakeDone());
    EXPECT_TRUE(pair.client.handshakeDone());
    EXPECT_EQ("server.test", pair.server.targetHost());
    EXPECT_NE(std::string::npos, pair.client.statusLine().find("SSL: version=\"TLSv1.3\", state=\"SSL negotiation "
                                                               "finished successfully\", cipher=\"TLS_"));
    EXPECT_NE(std::string::npos, pair.client.statusLine().find("compression=\"none\"\r\n"));

    const std::string up = pattern(200000);
    EXPECT_TRUE(sameBytes(up, pair.transfer(pair.client, pair.server, up)));
    const std::string down = pattern(70000).substr(3);
    EXPECT_TRUE(sameBytes(down, pair.transfer(pair.server, pair.client, down)));
}

TEST_F(SslSessionTest, WantReadWantWriteAndTheEndOfTheStream) {
    LoopbackTlsPair pair(serverCtx, clientCtx);
    ASSERT_TRUE(pair.handshake());
    char buf[4096];

    // Nothing to read yet: want read, with the events to wait for.
    int r = pair.client.read(buf, sizeof buf);
    ASSERT_LE(r, 0);
    EXPECT_EQ(Kind::WantRead, pair.client.classify(r).kind);

    // Writing while nobody reads fills the socket buffers: want write.
    const std::string chunk = pattern(65536);
    std::size_t written = 0;
    SslSession::IoStatus st{Kind::WantRead, 0};
    for (int i = 0; i < 1000; ++i) {
        int w = pair.server.write(chunk.data(), static_cast<int>(chunk.size()));
        if (w <= 0) {
            st = pair.server.classify(w);
            break;
        }
        written += static_cast<std::size_t>(w);
    }
    ASSERT_EQ(Kind::WantWrite, st.kind);
    EXPECT_GT(written, 0u);

    // Draining the reader lets the same write go on; every byte arrives.
    std::size_t received = 0;
    bool stalled = true;
    for (int i = 0; i < 5000 && (stalled || received < written); ++i) {
        int n = pair.client.read(buf, sizeof buf);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
        } else {
            ASSERT_EQ(Kind::WantRead, pair.client.classify(n).kind);
            pair.waitReadable(pair.client, 10);
        }
        if (stalled) {
            int w = pair.server.write(chunk.data(), static_cast<int>(chunk.size()));
            if (w > 0) {
                written += static_cast<std::size_t>(w);
                stalled = false;
            } else {
                ASSERT_EQ(Kind::WantWrite, pair.server.classify(w).kind);
            }
        }
    }
    EXPECT_FALSE(stalled);
    EXPECT_EQ(written, received);
    EXPECT_TRUE(sameBytes(pattern(1000), pair.transfer(pair.server, pair.client, pattern(1000))));

    // The peer's close notice is the end of the stream.
    EXPECT_EQ(0, pair.client.shutdown());
    pair.waitReadable(pair.server);
    r = pair.server.read(buf, sizeof buf);
    ASSERT_LE(r, 0);
    EXPECT_EQ(Kind::PeerClosed, pair.server.classify(r).kind);
}

TEST_F(SslSessionTest, EndOfStreamWithoutCloseNoticeIsPeerClosed) {
    LoopbackTlsPair pair(serverCtx, clientCtx);
    ASSERT_TRUE(pair.handshake());
    ::shutdown(pair.clientFd(), SHUT_WR);
    pair.waitReadable(pair.server);
    char buf[256];
    int r = pair.server.read(buf, sizeof buf);
    ASSERT_LE(r, 0);
    EXPECT_EQ(Kind::PeerClosed, pair.server.classify(r).kind);
}

TEST_F(SslSessionTest, RenegotiationIsRefusedWhenTheContextDoesNotAllowIt) {
    SSL_CTX_set_max_proto_version(clientCtx.handle(), TLS1_2_VERSION);  // TLS 1.3 cannot renegotiate
    for (bool allow : {true, false}) {
        SCOPED_TRACE(allow);
        serverCtx.setAllowRenegotiation(allow);
        LoopbackTlsPair pair(serverCtx, clientCtx);
        ASSERT_TRUE(pair.handshake());
        ASSERT_EQ(1, SSL_renegotiate(pair.client.handle()));
        SSL_do_handshake(pair.client.handle());  // sends the new hello
        pair.waitReadable(pair.server);
        char buf[64];
        int r = pair.server.read(buf, sizeof buf);
        EXPECT_LE(r, 0);
        EXPECT_EQ(!allow, pair.server.closed());
        if (allow) {
            // Both sides finish the new handshake and data still flows.
            EXPECT_TRUE(sameBytes(pattern(5000), pair.transfer(pair.client, pair.server, pattern(5000))));
            EXPECT_TRUE(sameBytes(pattern(100), pair.transfer(pair.server, pair.client, pattern(100))));
        } else {
            int w = pair.server.write("x", 1);
            EXPECT_EQ(-1, w);
            EXPECT_EQ(Kind::TlsError, pair.server.classify(w).kind);
            EXPECT_EQ(-1, pair.server.read(buf, sizeof buf));
        }
    }
}

TEST_F(SslSessionTest, ClientSessionCacheResumesFromMemoryAndFromItsFile) {
    SSL_CTX_set_max_proto_version(clientCtx.handle(), TLS1_2_VERSION);  // the session exists at handshake end
    SslClientSessionCache::clearMemory();
    const auto saved = SslLibrary::clientSessionCache();
    SslLibrary::setClientSessionCache({true, pki.dir.path(), false});

    {
        LoopbackTlsPair first(serverCtx, clientCtx, "server.test", "server.test");
        ASSERT_TRUE(first.handshake());
        EXPECT_FALSE(SSL_session_reused(first.client.handle()));
        EXPECT_EQ("server.test:443", first.client.targetText());
        first.client.shutdown();  // a session freed without a close notice is not resumable
    }
    SSL_SESSION* cached = SslClientSessionCache::find("server.test:443");
    ASSERT_NE(nullptr, cached);
    {
        LoopbackTlsPair second(serverCtx, clientCtx, "server.test", "server.test");
        ASSERT_TRUE(second.handshake());
        EXPECT_TRUE(SSL_session_reused(second.client.handle()));
        second.client.shutdown();
    }

    // File form: a 5-byte decimal length padded with zero bytes, then DER.
    const std::string path = SslClientSessionCache::filePath(pki.dir.path(), "server.test:443");
    EXPECT_EQ(pki.dir.path() + "/server.test-443", path);
    ASSERT_TRUE(SslClientSessionCache::writeFile(path, cached));
    const std::string file = test::readWholeFile(path);
    const int derLength = i2d_SSL_SESSION(cached, nullptr);
    ASSERT_EQ(static_cast<std::size_t>(5 + derLength), file.size());
    std::string field = std::to_string(derLength);
    field.resize(5, '\0');
    EXPECT_EQ(field, file.substr(0, 5));
    SSL_SESSION_free(cached);

    // A new process state: nothing in memory, the file is read.
    SslClientSessionCache::clearMemory();
    {
        LoopbackTlsPair third(serverCtx, clientCtx, "server.test", "server.test");
        ASSERT_TRUE(third.handshake());
        EXPECT_TRUE(SSL_session_reused(third.client.handle()));
    }

    // Short and corrupt files are ignored; the handshake is a full one.
    SslClientSessionCache::clearMemory();
    pki.dir.file("server.test-443", file.substr(0, file.size() / 2));
    EXPECT_EQ(nullptr, SslClientSessionCache::readFile(path));
    pki.dir.file("server.test-443", "12");
    EXPECT_EQ(nullptr, SslClientSessionCache::readFile(path));
    {
        LoopbackTlsPair fourth(serverCtx, clientCtx, "server.test", "server.test");
        ASSERT_TRUE(fourth.handshake());
        EXPECT_FALSE(SSL_session_reused(fourth.client.handle()));
    }
    // The proxy never writes session files.
    EXPECT_EQ("12", test::readWholeFile(path));

    SslClientSessionCache::clearMemory();
    SslLibrary::setClientSessionCache(saved);
}

TEST_F(SslSessionTest, FatalAlertsAreLogged) {
    StderrCapture log;
    SslClientContextOptions strict = test::clientOptions();
    strict.shouldVerifyServerCert = true;
    strict.caCertFile =
        pki.dir.file("other-ca.pem", test::TestCert::create(test::CertSpec().cn("Other CA").asCa()).certPem());
    SslContext strictCtx;
    ASSERT_TRUE(strictCtx.initClient(strict));
    LoopbackTlsPair pair(serverCtx, strictCtx);
    EXPECT_FALSE(pair.handshake());
    EXPECT_EQ(Kind::TlsError, pair.lastClient.kind);
    EXPECT_NE(0u, pair.lastClient.code);
    EXPECT_TRUE(log.contains("WARN - Received fatal SSL3 alert. ssl_state='"));
}

}  // namespace
}  // namespace morvex
