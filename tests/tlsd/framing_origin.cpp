#include "framing_origin.h"
#include "support/origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tlsd/http_request_framing.h"

namespace morvex::test {

namespace {

std::string hex(const unsigned char* digest, unsigned len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

}  // namespace

FramingOrigin::FramingOrigin(const std::string& certPem, const std::string& keyPem, std::string name, AnswerFor answer)
    : _name(std::move(name)), _answer(std::move(answer)) {
    _ctx = newTlsServerContext(certPem, keyPem, "origin");
    _listenFd = listenOnAnyLoopbackPort(_port, 256, "origin");
    if (::pipe(_stopPipe) != 0) throw std::runtime_error("origin: cannot listen");
    _acceptor = std::thread([this] { acceptLoop(); });
}

FramingOrigin::~FramingOrigin() {
    [[maybe_unused]] ssize_t n = ::write(_stopPipe[1], "x", 1);
    _acceptor.join();
    for (auto& worker : _workers) worker.join();
    ::close(_listenFd);
    ::close(_stopPipe[0]);
    ::close(_stopPipe[1]);
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

void FramingOrigin::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{_listenFd, POLLIN, 0}, {_stopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) _workers.emplace_back([this, fd] { serve(fd); });
    }
}

void FramingOrigin::serve(int fd) {
    timeval tv{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, fd);
    auto stopping = [&] {
        pollfd p{_stopPipe[0], POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    };
    bool ok = false;
    while (!stopping()) {
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
    while (ok && !stopping()) {
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
                        SSL_write(ssl, kGoOn.data(), static_cast<int>(kGoOn.size())) <= 0) {
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
                    current.bodySha256 = hex(digest, len);
                    std::string answer = _answer ? _answer(current.head) : defaultAnswer();
                    {
                        std::lock_guard<std::mutex> guard(_mutex);
                        _received.push_back(current);
                    }
                    _changed.notify_all();
                    if (!answer.empty() && SSL_write(ssl, answer.data(), static_cast<int>(answer.size())) <= 0) {
                        ok = false;
                    }
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
    ::close(fd);
}

}  // namespace morvex::test
