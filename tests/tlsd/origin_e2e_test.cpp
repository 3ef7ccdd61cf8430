// The loopback origins that the proxy's end-to-end tests rely on, checked
// with curl as an independent TLS client that verifies them against their CA.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/origin.h"
#include "support/process.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using test::NginxOrigin;
using test::ScriptedTlsOrigin;

// curl to url, trusting caFile; the body goes to standard output.
test::ProcessResult curl(const std::string& url, const std::string& caFile, int maxSeconds = 10) {
    test::ProcessOptions o;
    o.program = "/usr/bin/curl";
    o.args = {"-sS", "--cacert", caFile, "--max-time", std::to_string(maxSeconds), url};
    o.stdinMode = test::StdinMode::Null;
    return test::runProcess(o, 30s);
}

TEST(OriginE2E, NginxServesReproducibleFilesOverVerifiedTls) {
    const std::size_t kLarge = (1u << 20) + 17;  // not a multiple of any buffer size
    NginxOrigin origin({.files = {{"small.bin", 1024}, {"large.bin", kLarge}}});
    ASSERT_NE(origin.port(), 0);
    const std::string port = std::to_string(origin.port());

    // By name and by address: the certificate carries both.
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        test::ProcessResult r = curl("https://" + host + ":" + port + "/large.bin", origin.caFile());
        ASSERT_EQ(r.exitCode, 0) << r.err << origin.errorLog();
        EXPECT_EQ(r.out.size(), kLarge);
        EXPECT_EQ(NginxOrigin::sha256Hex(r.out), NginxOrigin::sha256Hex(NginxOrigin::fileContent("large.bin", kLarge)));
    }
    test::ProcessResult small = curl("https://localhost:" + port + "/small.bin", origin.caFile());
    EXPECT_EQ(small.out, NginxOrigin::fileContent("small.bin", 1024));
    // Contents depend on the name, not only on the size.
    EXPECT_NE(NginxOrigin::fileContent("a", 64), NginxOrigin::fileContent("b", 64));

    // A second origin runs beside the first on its own port and its own CA.
    NginxOrigin other({.files = {{"small.bin", 10}}});
    EXPECT_NE(other.port(), origin.port());
    EXPECT_NE(curl("https://localhost:" + port + "/small.bin", other.caFile()).exitCode, 0);
    EXPECT_EQ(curl("https://localhost:" + std::to_string(other.port()) + "/small.bin", other.caFile()).out,
              NginxOrigin::fileContent("small.bin", 10));
}

TEST(OriginE2E, ScriptedOriginPlaysEachPart) {
    test::TempDir dir("morvex-scripted");
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: 200\r\nConnection: close\r\n\r\n" + std::string(200, 'x');
    {
        ScriptedTlsOrigin origin({.answer = answer});
        std::string ca = dir.file("answer-ca.pem", origin.caPem());
        test::ProcessResult r = curl("https://localhost:" + std::to_string(origin.port()) + "/a", ca);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, std::string(200, 'x'));
        ASSERT_EQ(origin.requests().size(), 1u);
        EXPECT_EQ(origin.requests()[0].rfind("GET /a HTTP/1.1\r\n", 0), 0u);
        EXPECT_EQ(origin.serverNames(), std::vector<std::string>{"localhost"});
    }
    {
        ScriptedTlsOrigin origin({.behaviour = ScriptedTlsOrigin::Behaviour::NeverHandshake});
        std::string ca = dir.file("silent-ca.pem", origin.caPem());
        test::ProcessResult r = curl("https://localhost:" + std::to_string(origin.port()) + "/", ca, 1);
        EXPECT_EQ(r.exitCode, 28) << r.err;  // curl's time-out
        EXPECT_EQ(origin.connectionCount(), 1u);
        EXPECT_TRUE(origin.requests().empty());
    }  // the destructor ends the held connection without waiting
    {
        ScriptedTlsOrigin origin(
            {.behaviour = ScriptedTlsOrigin::Behaviour::Slow, .answer = answer, .slowChunk = 64, .slowPause = 20ms});
        std::string ca = dir.file("slow-ca.pem", origin.caPem());
        auto start = std::chrono::steady_clock::now();
        test::ProcessResult r = curl("https://127.0.0.1:" + std::to_string(origin.port()) + "/", ca);
        EXPECT_EQ(r.out, std::string(200, 'x')) << r.err;
        EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);      // four pieces, three pauses
        EXPECT_EQ(origin.serverNames(), std::vector<std::string>{""});  // no SNI for an address
    }
}

}  // namespace
}  // namespace morvex
