// TLS settings as the running proxy applies them: the real binary on a
// prepared home, origins and clients (curl, openssl s_client, raw TCP) on
// loopback.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "proxy_home.h"
#include "support/origin.h"
#include "tls/ssl_password_crypt.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using test::ProxyHome;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kSecret = "e2e-instance-secret-0123456789";

// An encrypted sslPassword is decrypted with the instance secret; when it
// cannot be, the error names it and the request types go on working.
TEST(TlsSettingsE2E, EncryptedSslPasswordAndTheRequestTypesThatDoNotNeedIt) {
    for (bool rightSecret : {true, false}) {
        SCOPED_TRACE(rightSecret);
        ProxyHome home;
        test::ScriptedTlsOrigin origin({.issuer = &home.ca()});
        home.file("etc/auth/instance.secret", std::string(rightSecret ? kSecret : "some-other-instance-secret") + "\n");
        home.writeLocal("server", "[sslConfig]\nsslPassword = " + encryptSslPassword("client key pw", kSecret) + "\n");
        ASSERT_TRUE(home.start()) << home.log();
        for (const char* type : {"Morvexd", "Telemetry"}) {
            test::ProcessResult r = home.curl(type, origin.port());
            EXPECT_EQ(r.exitCode, 0) << type << "\n" << home.log();
            EXPECT_EQ(r.out, "ok") << type;
        }
        if (rightSecret) {
            EXPECT_THAT(home.log(), Not(HasSubstr("decrypting private key password")));
        } else {
            const std::string line =
                "ERROR MainThread SslOptions server.conf/[sslConfig]/sslPassword (<encrypted>): decrypting private key "
                "password; may not be able to use SSL";
            EXPECT_THAT(home.log(), HasSubstr(line));
            EXPECT_EQ(home.log().find(line), home.log().rfind(line));  // once, though both kinds read it
        }
        EXPECT_THAT(home.log(), Not(HasSubstr("Request will not be proxied")));
    }
}

// Values that are not understood are named; the start that cannot go on says
// which key stopped it.
TEST(TlsSettingsE2E, InvalidValuesAreNamed) {
    ProxyHome home;
    home.writeLocal("server", "[sslConfig]\nsslVerifyServerName = on\nallowSslRenegotiation = maybe\n");
    ASSERT_TRUE(home.start()) << home.log();
    EXPECT_THAT(
        home.log(),
        HasSubstr("WARN MainThread SslOptions server.conf/[sslConfig]/sslVerifyServerName: invalid value from on; "
                  "using false"));
    // The field keeps its built-in default; the shipped layer's value is
    // hidden by the local one.
    EXPECT_THAT(home.log(), HasSubstr("server.conf/[sslConfig]/allowSslRenegotiation: invalid value from maybe; "
                                      "using true"));
    const std::string once = "invalid value from maybe";
    EXPECT_EQ(home.log().find(once), home.log().rfind(once));  // one line, though both kinds read the key

    ProxyHome bad;
    bad.writeLocal("server", "[sslConfig]\nsslVersions = tls1.2 tls2\n");
    EXPECT_FALSE(bad.start(0ms));
    test::ProcessResult r = bad.waitForExit();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(bad.log(), HasSubstr("server.conf/[sslConfig]/sslVersions: invalid value from tls1.2 tls2; using no "
                                     "version (no TLS context can be built)"));
}

// sslServerHandshakeTimeout bounds a handshake that never starts.
TEST(TlsSettingsE2E, HandshakeTimeoutFromTheSettings) {
    ProxyHome home;
    home.writeLocal("server", "[sslConfig]\nsslServerHandshakeTimeout = 1\n");
    ASSERT_TRUE(home.start()) << home.log();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(home.port());
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in));
    const auto begin = std::chrono::steady_clock::now();
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 10000)) << "still open after 10 s";
    char byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);  // closed without a byte
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    ::close(fd);
}

// TLS 1.3 follows TLS 1.2 unless the version list names it; its suites,
// the curves and the session lifetime are the configured ones.
TEST(TlsSettingsE2E, ProtocolVersionsSuitesCurvesAndSessionLifetime) {
    {
        ProxyHome home;  // shipped settings
        ASSERT_TRUE(home.start()) << home.log();
        test::ProcessResult r = home.sClient({"-tls1_3"});
        EXPECT_THAT(r.out, HasSubstr("New, TLSv1.3, Cipher is TLS_")) << r.out << r.err;
        r = home.sClient({"-tls1_2", "-cipher",
                          "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:"
                          "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384"});
        // The server's order wins over the client's.
        EXPECT_THAT(r.out, HasSubstr("Cipher is ECDHE-ECDSA-AES256-GCM-SHA384")) << r.out << r.err;
    }
    {
        ProxyHome home;
        home.writeLocal("server",
                        "[sslConfig]\nsslVersions = tls1.2, -tls1.3\necdhCurves = P-384\n"
                        "sslServerSessionTimeout = 900\n");
        ASSERT_TRUE(home.start()) << home.log();
        test::ProcessResult r = home.sClient({"-tls1_3"});
        EXPECT_THAT(r.out, Not(HasSubstr("TLSv1.3"))) << r.out;
        // Only P-384 is used for key exchange (P-256 is the certificate's curve).
        r = home.sClient({"-tls1_2", "-groups", "X25519:P-256"});
        EXPECT_THAT(r.out, Not(HasSubstr("New, TLSv1.2"))) << r.out;
        r = home.sClient({"-tls1_2", "-groups", "P-384:P-256"});
        EXPECT_THAT(r.out, HasSubstr("New, TLSv1.2")) << r.out << r.err;
        EXPECT_THAT(r.out, HasSubstr("Server Temp Key: ECDH, secp384r1")) << r.out;
        EXPECT_THAT(r.out, HasSubstr("TLS session ticket lifetime hint: 900 (seconds)")) << r.out;
        EXPECT_THAT(home.log(), Not(HasSubstr("Will not add this curve")));
    }
    {
        ProxyHome home;
        home.writeLocal("server", "[sslConfig]\ncipherSuitesTls13 = TLS_CHACHA20_POLY1305_SHA256\n");
        ASSERT_TRUE(home.start()) << home.log();
        test::ProcessResult r = home.sClient({"-tls1_3"});
        EXPECT_THAT(r.out, HasSubstr("New, TLSv1.3, Cipher is TLS_CHACHA20_POLY1305_SHA256")) << r.out << r.err;
    }
}

// A client context builder that cannot start the library still gives each
// request type its own line.
TEST(TlsSettingsE2E, EveryRequestTypeReportsItsOwnBuildFailure) {
    ProxyHome home;
    home.writeLocal("server", "[sslConfig]\nfipsMode = true\n");
    EXPECT_FALSE(home.start(0ms));
    test::ProcessResult r = home.waitForExit();
    EXPECT_EQ(r.exitCode, 1);
    const std::string log = home.log();
    for (const char* line : {"Couldn't initialize SSL Context for HTTPClient in Deployment Client",
                             "Couldn't initialize SSL Context for HTTPClient in ApplicationUpdater",
                             "Couldn't initialize SSL Context for Telemetry Client",
                             "Couldn't initialize SSL Context for default SSL settings"}) {
        EXPECT_THAT(log, HasSubstr(std::string("ERROR OutboundConnectionThread SslContext ") + line)) << log;
    }
}

}  // namespace
}  // namespace morvex
