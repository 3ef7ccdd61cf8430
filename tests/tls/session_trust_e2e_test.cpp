// Resumed outbound sessions through the real binary, against an OpenSSL
// origin (s_server, which keeps sessions and issues tickets) whose
// certificate expires during the test.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <functional>
#include <utility>
#include <memory>
#include <string>
#include <thread>

#include "proxy_home.h"
#include "support/origin.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

bool listening(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// One proxy and one origin speaking only the given TLS version; the
// origin's status page says whether the connection was resumed.
struct ResumingDestination {
    // Starts the origin with a certificate from the Telemetry CA that is
    // valid for validForSeconds more.
    bool serve(const char* versionFlag, long validForSeconds) {
        cert = std::make_unique<test::TestCert>(test::TestCert::create(
            test::CertSpec().cn("localhost").dns({"localhost"}).serverAuth().validity(-60, validForSeconds),
            &home.ca()));
        port = test::pickFreeLoopbackPort();
        test::ProcessOptions o;
        o.program = "/usr/bin/openssl";
        o.args = {"s_server", "-www", versionFlag, "-accept", "127.0.0.1:" + std::to_string(port),
                  "-cert", home.file("origin/cert.pem", cert->certPem()), "-key",
                  home.file("origin/key.pem", cert->keyPem())};
        o.stdinMode = test::StdinMode::Null;
        origin = std::make_unique<test::ChildProcess>(o);
        for (int i = 0; i < 500 && !listening(port); ++i) std::this_thread::sleep_for(10ms);
        return listening(port);
    }

    // A Telemetry request through the proxy; the origin's page. The proxy
    // keeps the inbound connection open after the answer, which has no
    // length, so curl ends at its time limit with the page.
    std::string request() const {
        return test::curlThroughProxy(home.port(), port, "Telemetry", test::ProxyHome::kToken, "/", 2).out;
    }

    test::ProxyHome home;
    std::unique_ptr<test::TestCert> cert;
    std::uint16_t port = 0;
    std::unique_ptr<test::ChildProcess> origin;
};

// Telemetry always verifies. Before the origin's certificate expires a
// repeat connection resumes; after it, no stored session is offered and the
// connection fails as a full handshake does (error 10), TLS 1.2 and 1.3.
TEST(SessionTrustE2E, TelemetryResumesOnlyWhileTheOriginCertificateIsValid) {
    constexpr long kValidFor = 12;
    ResumingDestination tls12, tls13;
    ASSERT_TRUE(tls12.home.start()) << tls12.home.log();
    ASSERT_TRUE(tls13.home.start()) << tls13.home.log();
    const auto expiry = std::chrono::steady_clock::now() + std::chrono::seconds(kValidFor);
    ASSERT_TRUE(tls12.serve("-tls1_2", kValidFor));
    ASSERT_TRUE(tls13.serve("-tls1_3", kValidFor));
    // Both destinations at once: each request takes curl's time limit.
    auto firstTwo = [](ResumingDestination& d) {
        std::string first = d.request();
        return std::make_pair(first, d.request());
    };
    auto pages12 = std::async(std::launch::async, firstTwo, std::ref(tls12));
    auto pages13 = std::async(std::launch::async, firstTwo, std::ref(tls13));
    auto first12 = pages12.get();
    auto first13 = pages13.get();
    // A machine too loaded to make both requests within the window cannot
    // tell a resumption from an expiry: nothing to judge then.
    if (std::chrono::steady_clock::now() >= expiry - 1s) GTEST_SKIP() << "too slow to see a resumption before the expiry";
    for (auto* pages : {&first12, &first13}) {
        auto& [first, second] = *pages;
        EXPECT_THAT(first, HasSubstr("\nNew, "));
        EXPECT_THAT(second, HasSubstr("\nReused, "));
    }
    std::this_thread::sleep_until(expiry + 1500ms);
    for (ResumingDestination* d : {&tls12, &tls13}) {
        EXPECT_EQ(d->request(), "");
        EXPECT_TRUE(d->home.waitForLog("failed validation; error=10, reason=\"certificate has expired\"", 5s))
            << d->home.log();
    }
}

}  // namespace
}  // namespace morvex
