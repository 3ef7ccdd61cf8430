// Loopback peers for the proxy's end-to-end tests: a TLS origin that serves
// many connections at once and can hold its answers back (so that many
// outbound connections are open together), and a raw TLS client for several
// requests on one connection.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morvex::test {

class TestTlsOrigin {
public:
    // Serves with the PEM certificate (chain) and unencrypted PEM key.
    TestTlsOrigin(const std::string& certPem, const std::string& keyPem);
    ~TestTlsOrigin();
    TestTlsOrigin(const TestTlsOrigin&) = delete;
    TestTlsOrigin& operator=(const TestTlsOrigin&) = delete;

    std::uint16_t port() const noexcept { return _port; }

    // The body of every answer ("HTTP/1.1 200 OK", Content-Length,
    // Connection: close, then the body).
    void setBody(std::string body);
    std::string response();
    // While held, connections read their request and wait before answering.
    void hold(bool on);

    // Requests read so far (one per connection).
    std::size_t requestCount();
    // Waits until at least n requests have been read.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout);

private:
    void acceptLoop();
    void serve(int fd);

    SSL_CTX* _ctx = nullptr;
    int _listenFd = -1;
    int _stopPipe[2] = {-1, -1};
    std::uint16_t _port = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::string _response;
    bool _hold = false;
    std::size_t _requests = 0;
    std::vector<std::thread> _workers;
    std::thread _acceptor;
};

// A blocking TLS client of the proxy (no certificate check).
class TlsTestClient {
public:
    // Connects to 127.0.0.1:port, from bindAddress when given.
    explicit TlsTestClient(std::uint16_t port, const char* bindAddress = nullptr);
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // False when the TCP connect or the handshake failed.
    bool connected() const noexcept { return _ssl != nullptr; }
    bool send(std::string_view bytes);
    // Reads until n bytes arrived, the peer closed or the time ran out.
    std::string read(std::size_t n, std::chrono::milliseconds timeout);
    // True when nothing arrives for the whole time and the connection stays open.
    bool silentFor(std::chrono::milliseconds timeout);

private:
    void setReceiveTimeout(std::chrono::milliseconds timeout);

    SSL_CTX* _ctx = nullptr;
    SSL* _ssl = nullptr;
    int _fd = -1;
};

}  // namespace morvex::test
