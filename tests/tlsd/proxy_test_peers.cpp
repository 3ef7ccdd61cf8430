#include "proxy_test_peers.h"

#include <openssl/evp.h>
#include <sys/socket.h>

#include <cerrno>
#include <string_view>

#include "tlsd/http_request_framing.h"

namespace morvex::test {

namespace {

bool writeAll(SSL* ssl, std::string_view bytes) {
    while (!bytes.empty()) {
        int n = SSL_write(ssl, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void setTimeout(int fd, int option, timeval tv) {
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

// ---------------------------------------------------------- TestTlsOrigin

TestTlsOrigin::TestTlsOrigin(const std::string& certPem, const std::string& keyPem)
    : _ctx(newTlsServerContext(certPem, keyPem, "origin")) {
    setBody("");
    _server = std::make_unique<LoopbackAcceptor>(1024, "origin", [this](int fd) { serve(fd); });
}

TestTlsOrigin::~TestTlsOrigin() {
    hold(false);
    _server->stop();
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

void TestTlsOrigin::serve(int fd) {
    setTimeout(fd, SO_RCVTIMEO, {20, 0});
    setTimeout(fd, SO_SNDTIMEO, {20, 0});
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
}

// ---------------------------------------------------------- FramingOrigin

FramingOrigin::FramingOrigin(const std::string& certPem, const std::string& keyPem, std::string name, AnswerFor answer)
    : _name(std::move(name)), _answer(std::move(answer)), _ctx(newTlsServerContext(certPem, keyPem, "origin")) {
    _server = std::make_unique<LoopbackAcceptor>(256, "origin", [this](int fd) { serve(fd); });
}

FramingOrigin::~FramingOrigin() {
    _server->stop();
    SSL_CTX_free(_ctx);
}

std::string FramingOrigin::defaultAnswer() const {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(_name.size()) + "\r\n\r\n" + _name;
}

std::vector<FramingOrigin::Received> FramingOrigin::received() {
    std::lock_guard<std::mutex> guard(_mutex);
    return _received;
}

bool FramingOrigin::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(_mutex);
    return _changed.wait_for(guard, timeout, [&] { return _received.size() >= n; });
}

void FramingOrigin::serve(int fd) {
    // Short reads, so that a kept-alive connection notices the origin stop.
    setTimeout(fd, SO_RCVTIMEO, {0, 100000});
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, fd);
    bool ok = false;
    while (!_server->stopping()) {
        int r = SSL_accept(ssl);
        if (r == 1) {
            ok = true;
            break;
        }
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    }
    HttpRequestFraming framing;
    Received current;
    EVP_MD_CTX* sha = EVP_MD_CTX_new();
    std::vector<char> buffer(65536);
    while (ok && !_server->stopping()) {
        int r = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
        if (r <= 0) {
            int e = SSL_get_error(ssl, r);
            if (e == SSL_ERROR_WANT_READ || (e == SSL_ERROR_SYSCALL && errno == EAGAIN)) continue;
            break;
        }
        std::size_t pos = 0, n = static_cast<std::size_t>(r);
        for (bool more = true; more && ok;) {
            HttpRequestFraming::Step step = framing.next(buffer.data() + pos, n - pos);
            switch (step.kind) {
                case HttpRequestFraming::Kind::Head: {
                    current = Received{framing.head(), 0, ""};
                    EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
                    // A client that waits before its body is told to go on.
                    static constexpr std::string_view kGoOn = "HTTP/1.1 100 Continue\r\n\r\n";
                    if (current.head.find("\r\nExpect: 100-continue\r\n") != std::string::npos &&
                        !writeAll(ssl, kGoOn)) {
                        ok = false;
                    }
                    break;
                }
                case HttpRequestFraming::Kind::Body:
                    EVP_DigestUpdate(sha, buffer.data() + pos, step.used);
                    current.bodySize += step.used;
                    break;
                case HttpRequestFraming::Kind::End: {
                    unsigned char digest[EVP_MAX_MD_SIZE];
                    unsigned len = 0;
                    EVP_DigestFinal_ex(sha, digest, &len);
                    static const char digits[] = "0123456789abcdef";
                    for (unsigned i = 0; i < len; ++i) {
                        current.bodySha256 += digits[digest[i] >> 4];
                        current.bodySha256 += digits[digest[i] & 15];
                    }
                    std::string answer = _answer ? _answer(current.head) : defaultAnswer();
                    {
                        std::lock_guard<std::mutex> guard(_mutex);
                        _received.push_back(current);
                    }
                    _changed.notify_all();
                    if (!answer.empty() && !writeAll(ssl, answer)) ok = false;
                    break;
                }
                case HttpRequestFraming::Kind::Error:
                    ok = false;
                    break;
                case HttpRequestFraming::Kind::NeedMore:
                    more = false;
                    break;
            }
            pos += step.used;
        }
    }
    EVP_MD_CTX_free(sha);
    SSL_free(ssl);
}

}  // namespace morvex::test
