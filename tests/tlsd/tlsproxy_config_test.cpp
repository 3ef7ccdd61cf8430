#include "tlsd/tlsproxy_config.h"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

struct Expect {
    std::uint32_t port;
    std::string token;
    std::string password;
    bool valid;
};

void check(const std::string& document, const Expect& want) {
    TLSProxyConfig config;
    config.read(document);
    bool valid = config.judge();
    EXPECT_EQ(config.port(), want.port) << document;
    EXPECT_EQ(config.token(), want.token) << document;
    EXPECT_EQ(config.privateKeyPassword(), want.password) << document;
    EXPECT_EQ(valid, want.valid) << document;
    EXPECT_EQ(config.valid(), want.valid) << document;
}

constexpr std::uint32_t kUnset = TLSProxyConfig::kPortUnset;

TEST(TLSProxyConfig, ReadsMembersByTypeAndCase) {
    check(R"({"listen_port": 8090, "token": "t0k"})", {8090, "t0k", "", true});
    check(R"({"LISTEN_PORT": 8090, "Token": "t", "Private_Key_Password": "pw"})", {8090, "t", "pw", true});
    check(R"({"listen_port": 8090.0, "token": "t"})", {8090, "t", "", true});
    check(R"({"listen_port": 1, "token": "t"})", {1, "t", "", true});
    check(R"({"listen_port": 65535, "token": "t", "extra": {"listen_port": 1}})", {65535, "t", "", true});
    // Wrong types count as absent.
    check(R"({"listen_port": "8090", "token": 5, "private_key_password": true})", {kUnset, "", "", false});
    // Last well-typed occurrence wins.
    check(R"({"token": "first", "token": 7, "listen_port": 1, "listen_port": null})", {1, "first", "", true});
    check(R"({"token": "first", "token": "second", "listen_port": 2, "Listen_Port": 3})", {3, "second", "", true});
    // Non-ASCII keys are lower-cased as text: KELVIN SIGN becomes 'k'.
    check(
        "{\"listen_port\": 9, \"to\xe2\x84\xaa"
        "en\": \"t\"}",
        {9, "t", "", true});
    check("{\"listen_port\": 9, \"t\xc3\xb6ken\": \"t\"}", {9, "", "", false});
}

TEST(TLSProxyConfig, JudgesPortRangeAndToken) {
    check(R"({"listen_port": 8090.5, "token": "t"})", {kUnset, "t", "", false});
    check(R"({"listen_port": 0, "token": "t"})", {0, "t", "", false});
    check(R"({"listen_port": 65536, "token": "t"})", {65536, "t", "", false});
    check(R"({"listen_port": -1, "token": "t"})", {kUnset, "t", "", false});
    check(R"({"listen_port": 4294967295, "token": "t"})", {4294967295u, "t", "", false});
    check(R"({"listen_port": 4294967296, "token": "t"})", {kUnset, "t", "", false});
    check(R"({"listen_port": 8090, "token": ""})", {8090, "", "", false});
    check(R"({"listen_port": 8090})", {8090, "", "", false});
}

TEST(TLSProxyConfig, UnreadableDocumentsKeepInitialValues) {
    for (const char* doc : {"", "[8090, \"t\"]", "42", "{\"listen_port\": 8090, \"token\": \"cut", "{} {}",
                            "{\"listen_port\": 8090, \"token\": \"t\"} x"}) {
        check(doc, {kUnset, "", "", false});
    }
}

TEST(TLSProxyConfig, LowerCaseKey) {
    EXPECT_EQ(TLSProxyConfig::lowerCaseKey("AbC_09"), "abc_09");
    EXPECT_EQ(TLSProxyConfig::lowerCaseKey("\xc3\x84X"), "\xc3\xa4x");  // A-umlaut
    EXPECT_EQ(TLSProxyConfig::lowerCaseKey("\xff\xc3"), "\xff\xc3");    // invalid UTF-8 kept
}

}  // namespace
}  // namespace morvex
