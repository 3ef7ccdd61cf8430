#include "tls/client_session_store.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "ssl_test_helpers.h"
#include "tls/server_config.h"
#include "tls/x509_crl_check.h"

namespace morvex {
namespace {

// A resumable session (it has an id) of the protocol version, as the store
// would see a real one.
SSL_SESSION* session(int version, long ageSeconds = 0, long lifetime = 300) {
    static unsigned char id = 0;
    ++id;
    SSL_SESSION* s = SSL_SESSION_new();
    SSL_SESSION_set1_id(s, &id, 1);
    SSL_SESSION_set_protocol_version(s, version);
    SSL_SESSION_set_time(s, static_cast<long>(std::time(nullptr)) - ageSeconds);
    SSL_SESSION_set_timeout(s, lifetime);
    return s;
}

std::string idOf(const SSL_SESSION* s) {
    unsigned int length = 0;
    const unsigned char* id = SSL_SESSION_get_id(s, &length);
    return std::string(reinterpret_cast<const char*>(id), length);
}

TEST(ClientSessionStoreTest, Tls12SessionsAreSharedTls13TicketsAreUsedOnce) {
    ClientSessionStore store;
    const ClientSessionStore::Trust trust = store.freshTrust();
    SSL_SESSION* s12 = session(TLS1_2_VERSION);
    store.put("a", session(TLS1_2_VERSION), trust);
    store.put("a", s12, trust);  // replaces
    for (int i = 0; i < 3; ++i) {
        SSL_SESSION* got = store.take("a");  // a copy of s12 every time
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(idOf(got), idOf(s12));
        SSL_SESSION_free(got);
    }
    SSL_SESSION* t1 = session(TLS1_3_VERSION);
    SSL_SESSION* t2 = session(TLS1_3_VERSION);
    store.put("b", t1, trust);
    store.put("b", t2, trust);
    // Newest first, the store's own, each once; then nothing: the next
    // connection makes a full handshake (RFC 8446, C.4).
    for (SSL_SESSION* want : {t2, t1}) {
        SSL_SESSION* got = store.take("b");
        EXPECT_EQ(got, want);
        SSL_SESSION_free(got);
    }
    EXPECT_EQ(store.take("b"), nullptr);
    EXPECT_EQ(store.sessionCount("b"), 0u);
    EXPECT_EQ(store.keyCount(), 1u);
}

TEST(ClientSessionStoreTest, TicketsPerKeyAndKeysAreBounded) {
    ClientSessionStore store(3);
    const ClientSessionStore::Trust trust = store.freshTrust();
    for (std::size_t i = 0; i < ClientSessionStore::kMaxTicketsPerKey + 2; ++i) {
        store.put("k", session(TLS1_3_VERSION), trust);
    }
    EXPECT_EQ(store.sessionCount("k"), ClientSessionStore::kMaxTicketsPerKey);
    store.put("a", session(TLS1_2_VERSION), trust);
    store.put("b", session(TLS1_2_VERSION), trust);
    SSL_SESSION_free(store.take("k"));  // k is now the most recently used
    store.put("c", session(TLS1_2_VERSION), trust);
    EXPECT_EQ(store.keyCount(), 3u);
    EXPECT_EQ(store.sessionCount("a"), 0u);  // least recently used went first
    EXPECT_GT(store.sessionCount("k"), 0u);
    // A TLS 1.2 session replaces a key's tickets.
    store.put("k", session(TLS1_2_VERSION), trust);
    EXPECT_EQ(store.sessionCount("k"), 1u);
}

// A session is offered only within the bounds of the verification it
// carries: its own lifetime, the chain's validity, the maximum age since
// the full handshake, and the trust epoch.
TEST(ClientSessionStoreTest, SessionsBeyondTheirLifetimeOrTrustAreNotOffered) {
    const std::time_t t0 = std::time(nullptr);
    std::time_t clock = t0;
    constexpr std::time_t kAge = ClientSessionStore::kMaxTrustAgeSeconds;
    struct Case {
        const char* what;
        long sessionAge;           // seconds before t0 the session was made
        std::time_t validFor;      // validUntil - t0
        std::time_t later;         // clock - t0 at take()
        bool dropTrust;            // the trust epoch moved on after put()
        bool offered;
    } cases[] = {
        {"fresh", 0, 100, 0, false, true},
        {"session lifetime over", 200000, 100, 0, false, false},
        {"just before notAfter", 0, 100, 99, false, true},
        {"at notAfter", 0, 100, 100, false, false},
        {"just within the maximum age", 0, 2 * kAge, kAge - 1, false, true},
        {"at the maximum age", 0, 2 * kAge, kAge, false, false},
        {"clock went back before the verification", 0, 100, -1, false, false},
        {"trust dropped (revocation lists changed)", 0, 100, 0, true, false},
    };
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (version == TLS1_3_VERSION ? " (TLS 1.3)" : " (TLS 1.2)"));
            ClientSessionStore store;
            store.setClock([&clock] { return clock; });
            clock = t0;
            store.put("a", session(version, c.sessionAge, 100000), store.freshTrust(t0 + c.validFor));
            if (c.dropTrust) ClientSessionStore::dropAllTrust();
            clock = t0 + c.later;
            ClientSessionStore::Trust got{};
            SSL_SESSION* s = store.take("a", &got);
            EXPECT_EQ(s != nullptr, c.offered);
            if (s) {
                EXPECT_EQ(got.verifiedAt, t0);  // what a resumed connection inherits
                EXPECT_EQ(got.validUntil, t0 + c.validFor);
            } else {
                EXPECT_EQ(store.keyCount(), 0u);
            }
            SSL_SESSION_free(s);
        }
    }
    ClientSessionStore store;
    store.put("a", SSL_SESSION_new(), store.freshTrust());  // no id, no ticket
    EXPECT_EQ(store.take("a"), nullptr);
    store.put("a", session(TLS1_2_VERSION), store.freshTrust());
    store.forget("a");
    EXPECT_EQ(store.take("a"), nullptr);
}

// The bound of a verified chain: the earliest notAfter, and with revocation
// lists the earliest nextUpdate of the issuers' lists.
TEST(ClientSessionStoreTest, ValidityOfAVerifiedChain) {
    const std::time_t now = std::time(nullptr);
    test::TestCert ca = test::TestCert::create(test::CertSpec().cn("Bound CA").asCa().validity(-60, 5000));
    test::TestCert leaf = test::TestCert::create(test::CertSpec().cn("leaf.test").validity(-60, 3000), &ca);
    STACK_OF(X509)* chain = sk_X509_new_null();
    sk_X509_push(chain, leaf.cert());
    sk_X509_push(chain, ca.cert());
    auto near = [now](std::time_t t, std::time_t offset) { return std::abs(t - (now + offset)) <= 2; };
    EXPECT_TRUE(near(ClientSessionStore::validUntilOf(chain, leaf.cert(), nullptr), 3000));
    EXPECT_TRUE(near(ClientSessionStore::validUntilOf(nullptr, leaf.cert(), nullptr), 3000));

    test::TempDir dir;
    X509RevocationStore crls;
    test::logged([&] { crls.addFile(dir.file("ca.crl", test::makeCrlPem(ca, {}, -60, 1200))); });
    EXPECT_TRUE(near(ClientSessionStore::validUntilOf(chain, leaf.cert(), &crls), 1200));
    sk_X509_free(chain);
}

TEST(ClientSessionStoreTest, ServerConfSwitchTurnsReuseOff) {
    test::TempDir home;
    const std::filesystem::path etc = std::filesystem::path(home.path()) / "etc";
    std::filesystem::create_directories(etc / "system/local");
    ServerConfig::Setup setup;
    setup.homeDir = home.path();
    setup.settingsDir = etc.string();
    struct Case {
        const char* conf;
        bool enabled;
    } cases[] = {
        {"[sslConfig]\nsslClientSessionReuse = false\n", false},
        {"[sslConfig]\nsslClientSessionReuse = Yes\n", true},
        {"[sslConfig]\nsslClientSessionReuse = 0\n", false},
        {"[sslConfig]\n", true},  // default on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        std::ofstream(etc / "system/local/server.conf") << c.conf;
        std::unique_ptr<ServerConfig> config;
        std::string log = test::logged([&] { config = std::make_unique<ServerConfig>(setup); });
        EXPECT_EQ(config->clientSessionReuse(), c.enabled);
        EXPECT_EQ(ClientSessionStore::enabled(), c.enabled);
        EXPECT_EQ(log.find("Outbound TLS session reuse is off") != std::string::npos, !c.enabled);
    }
}

}  // namespace
}  // namespace morvex
