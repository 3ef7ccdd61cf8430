#include "proxy_test_peers.h"
#include "support/origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace morvex::test {

namespace {

sockaddr_in loopback(std::uint16_t port, const char* address = "127.0.0.1") {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool writeAll(SSL* ssl, std::string_view bytes) {
    while (!bytes.empty()) {
        int n = SSL_write(ssl, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

// --- origin ---

TestTlsOrigin::TestTlsOrigin(const std::string& certPem, const std::string& keyPem) {
    _ctx = newTlsServerContext(certPem, keyPem, "origin");

    _listenFd = listenOnAnyLoopbackPort(_port, 1024, "origin");
    if (::pipe(_stopPipe) != 0) throw std::runtime_error("origin: cannot listen");
    setBody("");
    _acceptor = std::thread([this] { acceptLoop(); });
}

TestTlsOrigin::~TestTlsOrigin() {
    hold(false);
    [[maybe_unused]] ssize_t n = ::write(_stopPipe[1], "x", 1);
    _acceptor.join();
    for (auto& worker : _workers) worker.join();
    ::close(_listenFd);
    ::close(_stopPipe[0]);
    ::close(_stopPipe[1]);
    SSL_CTX_free(_ctx);
}

void TestTlsOrigin::setBody(std::string body) {
    std::string response =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    std::lock_guard<std::mutex> guard(_mutex);
    _response = std::move(response);
}

std::string TestTlsOrigin::response() {
    std::lock_guard<std::mutex> guard(_mutex);
    return _response;
}

void TestTlsOrigin::hold(bool on) {
    std::lock_guard<std::mutex> guard(_mutex);
    _hold = on;
    _changed.notify_all();
}

std::size_t TestTlsOrigin::requestCount() {
    std::lock_guard<std::mutex> guard(_mutex);
    return _requests;
}

bool TestTlsOrigin::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _requests >= n; });
}

void TestTlsOrigin::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{_listenFd, POLLIN, 0}, {_stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        _workers.emplace_back([this, fd] { serve(fd); });
    }
}

void TestTlsOrigin::serve(int fd) {
    setTimeouts(fd, std::chrono::seconds(20));
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[16384];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        std::string response;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            ++_requests;
            _changed.notify_all();
            _changed.wait(lock, [&] { return !_hold; });
            response = _response;
        }
        // Answer and close at once.
        if (writeAll(ssl, response)) SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ::close(fd);
}

// --- client ---

TlsTestClient::TlsTestClient(std::uint16_t port, const char* bindAddress) {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bindAddress) {
        sockaddr_in local = loopback(0, bindAddress);
        if (::bind(_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    }
    sockaddr_in peer = loopback(port);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) return;
    setReceiveTimeout(std::chrono::seconds(20));
    _ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, _fd);
    if (SSL_connect(ssl) == 1) {
        _ssl = ssl;
    } else {
        SSL_free(ssl);
        ERR_clear_error();
    }
}

TlsTestClient::~TlsTestClient() {
    if (_ssl) SSL_free(_ssl);
    if (_ctx) SSL_CTX_free(_ctx);
    if (_fd >= 0) ::close(_fd);
}

void TlsTestClient::setReceiveTimeout(std::chrono::milliseconds timeout) {
    setTimeouts(_fd, timeout);
}

bool TlsTestClient::send(std::string_view bytes) {
    return _ssl && writeAll(_ssl, bytes);
}

std::string TlsTestClient::read(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    if (!_ssl) return out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    setReceiveTimeout(std::chrono::milliseconds(100));
    char buffer[16384];
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        int r = SSL_read(_ssl, buffer, static_cast<int>(std::min(sizeof buffer, n - out.size())));
        if (r > 0) {
            out.append(buffer, static_cast<std::size_t>(r));
        } else if (SSL_get_error(_ssl, r) != SSL_ERROR_WANT_READ) {
            break;
        }
    }
    return out;
}

bool TlsTestClient::silentFor(std::chrono::milliseconds timeout) {
    if (!_ssl) return false;
    setReceiveTimeout(timeout);
    char byte;
    int r = SSL_read(_ssl, &byte, 1);
    return r <= 0 && SSL_get_error(_ssl, r) == SSL_ERROR_WANT_READ;
}

}  // namespace morvex::test
