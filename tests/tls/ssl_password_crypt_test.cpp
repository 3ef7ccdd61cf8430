#include "tls/ssl_password_crypt.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "support/process.h"

namespace morvex {
namespace {

using test::TempDir;

constexpr const char* kSecret = "0123456789abcdef-instance-secret";

// Runs scripts/encrypt-ssl-password.sh and returns its output line.
std::string runScript(const std::string& args, const std::string& input = "") {
    test::ProcessOptions o;
    o.program = "/bin/bash";
    o.args = {"-c", std::string(MORVEX_SOURCE_DIR) + "/scripts/encrypt-ssl-password.sh " + args};
    o.stdinData = input;
    test::ProcessResult r = test::runProcess(o);
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::string line = r.out;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

TEST(SslPasswordCrypt, RoundTripAndRefusals) {
    const std::string sealed = encryptSslPassword("pass phrase \xc3\xa9", kSecret);
    ASSERT_THAT(sealed, testing::StartsWith("$7$"));
    EXPECT_EQ(decryptSslPassword(sealed, kSecret), "pass phrase \xc3\xa9");
    EXPECT_NE(sealed, encryptSslPassword("pass phrase \xc3\xa9", kSecret));  // fresh salt and nonce
    EXPECT_EQ(decryptSslPassword(encryptSslPassword("", kSecret), kSecret), "");

    std::string flipped = sealed;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    const std::array<std::string, 7> refused = {
        flipped,                   // altered text fails authentication
        "$7$",                     // nothing after the marker
        "$7$abc",                  // not base64 of a whole block
        "$7$AAAA",                 // too short for salt, nonce and tag
        "$1$" + sealed.substr(3),  // another marker
        sealed.substr(3),          // no marker
        sealed.substr(0, sealed.size() - 4),
    };
    for (const std::string& value : refused) EXPECT_EQ(decryptSslPassword(value, kSecret), std::nullopt) << value;
    EXPECT_EQ(decryptSslPassword(sealed, "another-instance-secret"), std::nullopt);
    EXPECT_EQ(decryptSslPassword(sealed, ""), std::nullopt);
}

TEST(SslPasswordCrypt, InstanceSecretFile) {
    TempDir dir;
    EXPECT_EQ(instanceSecretPath(dir.path() + "/etc"), dir.path() + "/etc/auth/instance.secret");
    EXPECT_EQ(readInstanceSecret(dir.path() + "/none"), std::nullopt);
    EXPECT_EQ(readInstanceSecret(dir.file("crlf", std::string(kSecret) + "\r\nsecond line\n")), kSecret);
    EXPECT_EQ(readInstanceSecret(dir.file("bare", kSecret)), kSecret);
    EXPECT_EQ(readInstanceSecret(dir.file("short", "too short\n")), std::nullopt);
    EXPECT_EQ(readInstanceSecret(dir.file("empty", "")), std::nullopt);
}

// The operators' script writes exactly what the proxy decrypts.
TEST(SslPasswordCrypt, ScriptOutputDecrypts) {
    TempDir dir;
    const std::string secretFile = dir.file("etc/auth/instance.secret", std::string(kSecret) + "\n");
    const std::string fromArg = runScript("--secret " + secretFile + " 'with spaces $7$'");
    EXPECT_EQ(decryptSslPassword(fromArg, kSecret), "with spaces $7$");
    const std::string fromStdin = runScript("--secret " + secretFile, "from stdin\n");
    EXPECT_EQ(decryptSslPassword(fromStdin, kSecret), "from stdin");

    // --new-secret makes a missing secret once and then keeps it.
    const std::string etc = dir.path() + "/other-etc";
    const std::string sealed = runScript("--secret " + etc + "/auth/instance.secret --new-secret pw");
    std::optional<std::string> secret = readInstanceSecret(etc + "/auth/instance.secret");
    ASSERT_TRUE(secret.has_value());
    EXPECT_EQ(decryptSslPassword(sealed, *secret), "pw");
    EXPECT_EQ(decryptSslPassword(runScript("--secret " + etc + "/auth/instance.secret --new-secret pw"), *secret),
              "pw");
}

}  // namespace
}  // namespace morvex
