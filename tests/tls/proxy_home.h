// A freshly prepared home directory for the real proxy binary: the shipped
// etc/, a proxy certificate under a known pass phrase, the CA that the
// Telemetry type trusts, and a DEBUG log file; plus starting the proxy on a
// free port and reading its log.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/process.h"
#include "support/test_certs.h"

namespace morvex::test {

class ProxyHome {
public:
    static constexpr const char* kToken = "tls-e2e-token";
    static constexpr const char* kKeyPassword = "tls-e2e-key";

    ProxyHome();
    ~ProxyHome();  // stops a proxy still running (SIGTERM, then SIGKILL)

    const std::string& path() const noexcept { return _home.path(); }
    std::string etc() const { return _home.path() + "/etc"; }
    // The CA that the Telemetry type trusts; origins' certificates come from it.
    const TestCert& ca() const noexcept { return _ca; }
    // Replaces the proxy certificate by one from scripts/make-proxy-cert.sh
    // (RSA 2048, as the demo home has it); false when the script failed.
    bool useScriptCertificate() const;
    // Writes etc/system/local/<conf>.conf.
    void writeLocal(const std::string& conf, const std::string& text) const;
    std::string file(const std::string& relative, const std::string& content) const {
        return _home.file(relative, content);
    }

    // Starts the proxy on a free port. Returns true once it logged that it
    // serves; false (with the child still reapable) when it did not.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits for the started proxy to end (it is expected to fail its start).
    ProcessResult waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::uint16_t port() const noexcept { return _port; }
    ChildProcess* process() const noexcept { return _proxy.get(); }

    std::string log() const;
    bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // curl through the proxy with a request of `type` for an origin on
    // localhost:originPort; the body on success.
    ProcessResult curl(const std::string& type, std::uint16_t originPort) const;
    // openssl s_client against the listener with extra arguments; stdin is
    // empty, so it ends right after the handshake.
    ProcessResult sClient(const std::vector<std::string>& args) const;

private:
    TempDir _home{"morvex-tls-e2e"};
    TestCert _ca;
    std::unique_ptr<ChildProcess> _proxy;
    std::uint16_t _port = 0;
};

}  // namespace morvex::test
