#include "channel_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "net/socket_ops.h"
#include "platform/winsock_startup.h"
#include "support/test_certs.h"
#include "tls/ssl_context_options.h"
#include "tls/ssl_library.h"

namespace morvex::nettest {

void initRuntime() {
    EmptyMainThread::ensureForTest();
    platform::WSADATA data;
    platform::WSAStartup(platform::MAKEWORD(2, 2), &data);
    SslLibrary::initialize();
}

namespace {

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

}  // namespace

PollableDescriptorRef listenLoopback(std::uint16_t* port) {
    SocketAddress addr;
    sockaddr_in sin = loopbackAddress(0);
    std::memcpy(&addr.storage, &sin, sizeof sin);
    addr.length = sizeof sin;
    PollableDescriptorRef ref = bindAndListen(addr, AF_INET, SOCK_STREAM, 64);
    if (ref) {
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        ::getsockname(ref->socket(), reinterpret_cast<sockaddr*>(&bound), &len);
        *port = ntohs(bound.sin_port);
    }
    return ref;
}

int plainListener(std::uint16_t* port) {
    return test::listenOnAnyLoopbackPort(*port, 16, "listener");
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    int fd = plainListener(&port);
    ::close(fd);
    return port;
}

std::string readAll(int fd, std::size_t n, std::chrono::milliseconds limit) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[16384];
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

void writeAll(int fd, const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
        ssize_t w = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (w <= 0) return;
        off += static_cast<std::size_t>(w);
    }
}

TlsMaterial::TlsMaterial() {
    test::TestCert cert =
        test::TestCert::create(test::CertSpec().cn("channel.test").dns({"channel.test"}).serverAuth());
    certFile = dir.file("server.pem", cert.certPem());
    keyFile = dir.file("server.key", cert.keyPem());
}

SharedSslServerContext makeServerContext(const TlsMaterial& material) {
    SslServerContextOptions o;
    o.certFile = material.certFile;
    o.privateKeyFile = material.keyFile;
    o.sslVersions = SslVersion::TLS1_2;
    return SharedSslServerContext::create(std::move(o));
}

std::unique_ptr<SslContext> makeClientContext() {
    SslClientContextOptions o;
    o.sslVersions = SslVersion::TLS1_2;
    auto ctx = std::make_unique<SslContext>();
    if (!ctx->initClient(o)) return nullptr;
    return ctx;
}

namespace {
int sniCallback(SSL* ssl, int*, void* arg) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    if (name) *static_cast<std::string*>(arg) = name;
    return SSL_TLSEXT_ERR_OK;
}
}  // namespace

std::unique_ptr<BlockingTls> BlockingTls::connect(int fd, const std::string& sni) {
    std::unique_ptr<BlockingTls> t(new BlockingTls());
    t->_fd = fd;
    t->_ctx = SSL_CTX_new(TLS_client_method());
    t->_ssl = SSL_new(t->_ctx);
    SSL_set_fd(t->_ssl, fd);
    if (!sni.empty()) SSL_set_tlsext_host_name(t->_ssl, sni.c_str());
    if (SSL_connect(t->_ssl) != 1) return nullptr;
    return t;
}

std::unique_ptr<BlockingTls> BlockingTls::accept(int fd, const TlsMaterial& material) {
    std::unique_ptr<BlockingTls> t(new BlockingTls());
    t->_fd = fd;
    t->_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(t->_ctx, material.certFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(t->_ctx, material.keyFile.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_tlsext_servername_callback(t->_ctx, sniCallback);
    SSL_CTX_set_tlsext_servername_arg(t->_ctx, &t->_sni);
    t->_ssl = SSL_new(t->_ctx);
    SSL_set_fd(t->_ssl, fd);
    if (SSL_accept(t->_ssl) != 1) return nullptr;
    return t;
}

BlockingTls::~BlockingTls() {
    if (_ssl) SSL_free(_ssl);
    if (_ctx) SSL_CTX_free(_ctx);
}

bool BlockingTls::write(const std::string& data) {
    return SSL_write(_ssl, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

std::string BlockingTls::read(std::size_t n) {
    std::string out;
    char buf[16384];
    while (out.size() < n) {
        int r = SSL_read(_ssl, buf, static_cast<int>(std::min(sizeof buf, n - out.size())));
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
}

}  // namespace morvex::nettest
