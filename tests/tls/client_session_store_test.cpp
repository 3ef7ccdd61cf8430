#include "tls/client_session_store.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "ssl_test_helpers.h"
#include "tls/server_config.h"

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

TEST(ClientSessionStoreTest, Tls12SessionsAreSharedTls13TicketsAreUsedOnceWhileSeveralRemain) {
    ClientSessionStore store;
    SSL_SESSION* old12 = session(TLS1_2_VERSION);
    SSL_SESSION* s12 = session(TLS1_2_VERSION);
    store.put("a", old12);
    store.put("a", s12);  // replaces
    unsigned int idLength = 0;
    const unsigned char* want = SSL_SESSION_get_id(s12, &idLength);
    for (int i = 0; i < 3; ++i) {
        SSL_SESSION* got = store.take("a");  // a copy of s12 every time
        ASSERT_NE(got, nullptr);
        unsigned int gotLength = 0;
        const unsigned char* gotId = SSL_SESSION_get_id(got, &gotLength);
        EXPECT_EQ(gotLength, idLength);
        EXPECT_EQ(gotId[0], want[0]);
        SSL_SESSION_free(got);
    }
    SSL_SESSION* t1 = session(TLS1_3_VERSION);
    SSL_SESSION* t2 = session(TLS1_3_VERSION);
    store.put("b", t1);
    store.put("b", t2);
    EXPECT_EQ(store.sessionCount("b"), 2u);
    SSL_SESSION* got = store.take("b");
    EXPECT_EQ(got, t2);  // newest first, the store's own
    SSL_SESSION_free(got);
    EXPECT_EQ(store.sessionCount("b"), 1u);
    // The last one is lent: a copy each time, and it stays.
    for (int i = 0; i < 3; ++i) {
        got = store.take("b");
        ASSERT_NE(got, nullptr);
        EXPECT_NE(got, t1);
        unsigned int gotLength = 0, t1Length = 0;
        EXPECT_EQ(SSL_SESSION_get_id(got, &gotLength)[0], SSL_SESSION_get_id(t1, &t1Length)[0]);
        SSL_SESSION_free(got);
    }
    EXPECT_EQ(store.sessionCount("b"), 1u);
    EXPECT_EQ(store.keyCount(), 2u);
}

TEST(ClientSessionStoreTest, TicketsPerKeyAndKeysAreBounded) {
    ClientSessionStore store(3);
    for (std::size_t i = 0; i < ClientSessionStore::kMaxTicketsPerKey + 2; ++i) store.put("k", session(TLS1_3_VERSION));
    EXPECT_EQ(store.sessionCount("k"), ClientSessionStore::kMaxTicketsPerKey);
    store.put("a", session(TLS1_2_VERSION));
    store.put("b", session(TLS1_2_VERSION));
    SSL_SESSION_free(store.take("k"));  // k is now the most recently used
    store.put("c", session(TLS1_2_VERSION));
    EXPECT_EQ(store.keyCount(), 3u);
    EXPECT_EQ(store.sessionCount("a"), 0u);  // least recently used went first
    EXPECT_GT(store.sessionCount("k"), 0u);
    // A TLS 1.2 session replaces a key's tickets.
    store.put("k", session(TLS1_2_VERSION));
    EXPECT_EQ(store.sessionCount("k"), 1u);
}

TEST(ClientSessionStoreTest, ExpiredOrUnresumableSessionsAreNotOffered) {
    ClientSessionStore store;
    store.put("a", session(TLS1_2_VERSION, 400, 300));
    EXPECT_EQ(store.take("a"), nullptr);
    EXPECT_EQ(store.keyCount(), 0u);
    store.put("a", SSL_SESSION_new());  // no id, no ticket
    EXPECT_EQ(store.take("a"), nullptr);
    store.put("a", session(TLS1_2_VERSION, 100, 300));
    store.forget("a");
    EXPECT_EQ(store.take("a"), nullptr);
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
