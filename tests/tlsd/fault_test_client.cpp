#include "fault_test_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace morvex::test {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

FaultClient::FaultClient(std::uint16_t port, const char* bindAddress) {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bindAddress) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, bindAddress, &local.sin_addr);
        if (::bind(_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) return;
    timeval tv{20, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    _ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, _fd);
    if (SSL_connect(ssl) == 1) {
        _ssl = ssl;
        // From here on a read must never block past its own deadline (the
        // socket may wake for records that carry no data).
        ::fcntl(_fd, F_SETFL, ::fcntl(_fd, F_GETFL) | O_NONBLOCK);
    } else {
        SSL_free(ssl);
        ERR_clear_error();
    }
}

FaultClient::~FaultClient() {
    if (_ssl) SSL_free(_ssl);
    if (_ctx) SSL_CTX_free(_ctx);
    if (_fd >= 0) ::close(_fd);
}

bool FaultClient::send(std::string_view bytes) {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (_ssl && !bytes.empty()) {
        int n = SSL_write(_ssl, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)));
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        int err = SSL_get_error(_ssl, n);
        if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || Clock::now() >= deadline) return false;
        pollfd p{_fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&p, 1, 50);
    }
    return _ssl != nullptr;
}

bool FaultClient::sendBytewise(std::string_view bytes, std::chrono::milliseconds gap) {
    for (char c : bytes) {
        if (!send(std::string_view(&c, 1))) return false;
        std::this_thread::sleep_for(gap);
    }
    return true;
}

std::string FaultClient::read(std::size_t n, std::chrono::milliseconds timeout, std::chrono::milliseconds pace,
                              std::size_t chunk) {
    std::string out;
    if (!_ssl) return out;
    auto deadline = Clock::now() + timeout;
    char buffer[16384];
    while (out.size() < n && Clock::now() < deadline) {
        if (SSL_pending(_ssl) == 0) {
            pollfd p{_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
        }
        std::size_t want = std::min({sizeof buffer, n - out.size(), chunk});
        int r = SSL_read(_ssl, buffer, static_cast<int>(want));
        if (r > 0) {
            out.append(buffer, static_cast<std::size_t>(r));
            if (pace.count() > 0) std::this_thread::sleep_for(pace);
            continue;
        }
        int err = SSL_get_error(_ssl, r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) continue;
        _ended = true;
        ERR_clear_error();
        break;
    }
    return out;
}

std::string FaultClient::readAnswer(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string byte = left.count() > 0 ? read(1, left) : std::string();
        if (byte.empty()) return head;
        head += byte;
    }
    std::size_t at = head.find("Content-Length: ");
    if (at == std::string::npos) at = head.find("content-length: ");
    if (at == std::string::npos) return head;
    std::size_t length = std::stoul(head.substr(at + 16));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return head + read(length, std::max(left, std::chrono::milliseconds(1)));
}

bool FaultClient::endsWithin(std::chrono::milliseconds timeout) {
    read(SIZE_MAX, timeout);
    return _ended;
}

void FaultClient::halfClose() {
    ::shutdown(_fd, SHUT_WR);
}

void FaultClient::closeNotify() {
    if (_ssl) SSL_shutdown(_ssl);
}

void FaultClient::reset() {
    linger abort{1, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    if (_ssl) SSL_free(_ssl);
    _ssl = nullptr;
    ::close(_fd);
    _fd = -1;
}

}  // namespace morvex::test
