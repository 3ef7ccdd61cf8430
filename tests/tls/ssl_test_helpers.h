// Helpers for the TLS context, session and certificate-check tests: log
// capture, option sets over generated certificates, and a non-blocking
// loopback connection driven by a server and a client session.
#pragma once

#include <memory>
#include <string>

#include "support/process.h"
#include "support/test_certs.h"
#include "tls/ssl_context.h"
#include "tls/ssl_session.h"

namespace morvex::test {

// Captures what the logging fallback writes to standard error while alive.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Everything written so far.
    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    std::size_t count(const std::string& needle) const;

private:
    int _savedFd;
    std::string _path;
};

// Runs `fn` and returns what it logged to standard error.
template <typename Fn>
std::string logged(Fn fn) {
    StderrCapture capture;
    fn();
    return capture.text();
}

// A CA, a server certificate for "server.test" issued by it (with the
// server-authentication usage), written to a temp dir.
struct TestPki {
    TestPki();
    TempDir dir;
    TestCert ca;
    TestCert server;
    std::string caFile;
    std::string serverCertFile;  // certificate then unencrypted key
};

SslServerContextOptions serverOptions(const std::string& certAndKeyFile);
SslClientContextOptions clientOptions();

// A TCP connection over 127.0.0.1 between a server and a client session.
// The sockets are non-blocking; drive() steps both sides until a condition
// holds, waiting in poll() between rounds.
class LoopbackTlsPair {
public:
    // target: the client's target host with port 443 (set before the
    // session is created; empty for none). sni: the client's SNI host name.
    LoopbackTlsPair(const SslContext& serverCtx, const SslContext& clientCtx, const std::string& sni = "",
                    const std::string& target = "");
    ~LoopbackTlsPair();

    SslSession server;
    SslSession client;

    // Runs both handshake steps until both are done or one fails. Returns
    // true when both completed; lastServer/lastClient keep the final status.
    bool handshake();
    // Writes all of data from one side and reads it on the other.
    std::string transfer(SslSession& from, SslSession& to, const std::string& data);
    // Waits until the socket of the session is readable (or timeoutMs).
    void waitReadable(const SslSession& s, int timeoutMs = 1000) const;

    SslSession::IoStatus lastServer{SslSession::IoStatus::WantRead, 0};
    SslSession::IoStatus lastClient{SslSession::IoStatus::WantRead, 0};
    int serverFd() const noexcept { return _serverFd; }
    int clientFd() const noexcept { return _clientFd; }

private:
    int _serverFd = -1;
    int _clientFd = -1;
};

}  // namespace morvex::test
