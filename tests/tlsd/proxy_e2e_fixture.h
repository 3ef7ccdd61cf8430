// The fixture of the proxy's end-to-end tests: the real binary on a prepared
// home directory, a TLS origin and clients (curl and raw TLS) on loopback.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fault_test_client.h"
#include "proxy_test_peers.h"
#include "support/origin.h"
#include "support/process.h"
#include "support/test_certs.h"

namespace morvex {

using namespace std::chrono_literals;
using test::CertSpec;
using test::ChildProcess;
using test::FaultClient;
using test::readWholeFile;
using test::TestCert;
using test::TestTlsOrigin;
using ::testing::HasSubstr;
using ::testing::Not;

inline constexpr const char* kToken = "e2e-token";
inline constexpr const char* kKeyPassword = "key-pass";
inline constexpr const char* kStarted = "TLSProxy is started";
inline constexpr const char* kRefused = "Request will not be proxied through TLS proxy: ";

inline std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(generator());
    return out;
}

// Entries of a /proc/<pid> directory (descriptors: "fd", threads: "task").
inline std::size_t procEntryCount(pid_t pid, const char* dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/" + dir)) {
        ++n;
    }
    return n;
}
inline std::size_t descriptorCount(pid_t pid) {
    return procEntryCount(pid, "fd");
}
inline std::size_t threadCount(pid_t pid) {
    return procEntryCount(pid, "task");
}

// Bounds on the proxy's memory mean nothing under AddressSanitizer, whose
// quarantine keeps freed memory on purpose (the whole build shares the flag).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRssBoundsApply = false;
#else
inline constexpr bool kRssBoundsApply = true;
#endif

// Resident set size in KiB.
inline std::size_t rssKiB(pid_t pid) {
    std::string status = readWholeFile("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6));
}

// The body of an answer (what follows the blank line).
inline std::string bodyOf(const std::string& answer) {
    std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

// A port nobody listens on right now.
inline std::uint16_t freePort() {
    return test::pickFreeLoopbackPort();
}

// Thread names of a process (Linux keeps the first 15 bytes).
inline std::map<std::string, int> threadNames(pid_t pid) {
    std::map<std::string, int> names;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = readWholeFile(entry.path().string() + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        ++names[name];
    }
    return names;
}

inline std::string request(const std::string& type, std::uint16_t originPort, const std::string& token = kToken,
                    const std::string& path = "/file") {
    std::string r = "GET " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(originPort) + "\r\n";
    if (!type.empty()) r += "x-morvex-request-type: " + type + "\r\n";
    if (!token.empty()) r += "x-morvex-tlsproxy-token: " + token + "\r\n";
    return r + "\r\n";
}

class ProxyE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ca = std::make_unique<TestCert>(TestCert::create(CertSpec().cn("Origin Test CA").asCa()));
        test::prepareProxyHome(home, *ca, kKeyPassword);
        TestCert leaf = test::issueLoopbackServerCert(*ca, "localhost");
        origin = std::make_unique<TestTlsOrigin>(leaf.certPem(), leaf.keyPem());
        logPath = home.path() + "/var/log/morvex/proxy.log";
    }

    test::ProcessOptions proxyOptions(std::uint16_t port) {
        return test::proxyOptions(home.path(), port, kToken, kKeyPassword);
    }

    // Starts the proxy and waits until it serves.
    void startProxy() {
        port = freePort();
        proxy = std::make_unique<ChildProcess>(proxyOptions(port));
        ASSERT_TRUE(waitForLog(kStarted, 30s)) << log();
    }

    bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout = 10s) {
        return test::waitForFileContaining(logPath, needle, timeout);
    }
    std::string log() { return readWholeFile(logPath); }

    // curl through the proxy; returns its standard output (the body).
    test::ProcessResult curl(const std::string& type, std::uint16_t originPort, const std::string& path) {
        return test::curlThroughProxy(port, originPort, type, kToken, path, 20);
    }

    void TearDown() override {
        if (proxy && proxy->running()) {
            // Every test ends with an orderly stop: whatever it left open
            // (connections, outbound connections) must not spoil it.
            proxy->sendSignal(SIGTERM);
            test::ProcessResult r = proxy->wait(20s);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_THAT(r.err, Not(HasSubstr("Sanitizer"))) << r.err;
        }
    }

    test::TempDir home{"morvex-proxy-e2e"};
    std::unique_ptr<TestCert> ca;  // issues the origins' certificates; the Telemetry type trusts it
    std::unique_ptr<TestTlsOrigin> origin;
    std::unique_ptr<ChildProcess> proxy;
    std::string logPath;
    std::uint16_t port = 0;
};

}  // namespace morvex
