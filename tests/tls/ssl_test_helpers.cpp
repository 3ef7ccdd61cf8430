#include "ssl_test_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "net/pollable_descriptor.h"
#include "platform/winsock.h"

namespace morvex::test {

StderrCapture::StderrCapture() {
    char tmpl[] = "/tmp/morvex-stderr-XXXXXX";
    int fd = mkstemp(tmpl);
    _path = tmpl;
    std::fflush(stderr);
    _savedFd = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    dup2(_savedFd, 2);
    close(_savedFd);
    unlink(_path.c_str());
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::ifstream in(_path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::size_t StderrCapture::count(const std::string& needle) const {
    const std::string all = text();
    std::size_t n = 0;
    for (std::size_t pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1)) ++n;
    return n;
}

TestPki::TestPki()
    : ca(TestCert::create(CertSpec().cn("Morvex Test CA").asCa())),
      server(TestCert::create(CertSpec().cn("server.test").dns({"server.test"}).serverAuth().serialNo(2), &ca)) {
    caFile = dir.file("ca.pem", ca.certPem());
    serverCertFile = dir.file("server.pem", server.certPem() + server.keyPem());
}

SslServerContextOptions serverOptions(const std::string& certAndKeyFile) {
    SslServerContextOptions o;
    o.sslVersions = SslVersion::TLS1_2 | SslVersion::TLS1_3;
    o.certFile = certAndKeyFile;
    o.privateKeyFile = certAndKeyFile;
    return o;
}

SslClientContextOptions clientOptions() {
    SslClientContextOptions o;
    o.sslVersions = SslVersion::TLS1_2 | SslVersion::TLS1_3;
    return o;
}

LoopbackTlsPair::LoopbackTlsPair(const SslContext& serverCtx, const SslContext& clientCtx, const std::string& sni,
                                 const std::string& target) {
    using namespace platform;
    SOCKET listener = platform::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener == INVALID_SOCKET || platform::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        platform::listen(listener, 1) != 0 ||
        platform::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("loopback listener");
    }
    _clientFd = platform::socket(AF_INET, SOCK_STREAM, 0);
    platform::connect(_clientFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // completes asynchronously
    pollfd p{listener, POLLIN, 0};
    ::poll(&p, 1, 2000);
    _serverFd = platform::accept(listener, nullptr, nullptr);
    platform::closesocket(listener);
    if (_serverFd == INVALID_SOCKET) throw std::runtime_error("loopback accept");
    unsigned long nonBlocking = 1;
    platform::ioctlsocket(_serverFd, FIONBIO_CMD, &nonBlocking);

    PollableDescriptorRef serverPd = PollableDescriptorRef::adopt(PollableDescriptor::create(_serverFd));
    PollableDescriptorRef clientPd = PollableDescriptorRef::adopt(PollableDescriptor::create(_clientFd));
    if (!server.createServer(serverCtx, serverPd.get())) throw std::runtime_error("server session");
    if (!target.empty()) client.setTarget(target, 443);
    if (!client.createClient(clientCtx, clientPd.get(), sni)) throw std::runtime_error("client session");
}

LoopbackTlsPair::~LoopbackTlsPair() {
    server.release();
    client.release();
}

bool LoopbackTlsPair::handshake() {
    bool serverDone = false;
    bool clientDone = false;
    for (int round = 0; round < 400 && !(serverDone && clientDone); ++round) {
        if (!clientDone) {
            int r = client.clientHandshake();
            clientDone = r > 0;
            if (!clientDone) {
                lastClient = client.classify(r);
                if (lastClient.kind != SslSession::IoStatus::WantRead &&
                    lastClient.kind != SslSession::IoStatus::WantWrite) {
                    return false;
                }
            }
        }
        if (!serverDone) {
            int r = server.handshake();
            serverDone = r > 0;
            if (!serverDone) {
                lastServer = server.classify(r);
                if (lastServer.kind != SslSession::IoStatus::WantRead &&
                    lastServer.kind != SslSession::IoStatus::WantWrite) {
                    return false;
                }
            }
        }
        pollfd fds[2] = {{_serverFd, POLLIN, 0}, {_clientFd, POLLIN, 0}};
        if (!(serverDone && clientDone)) ::poll(fds, 2, 20);
    }
    return serverDone && clientDone;
}

void LoopbackTlsPair::waitReadable(const SslSession& s, int timeoutMs) const {
    pollfd p{&s == &server ? _serverFd : _clientFd, POLLIN, 0};
    ::poll(&p, 1, timeoutMs);
}

std::string LoopbackTlsPair::transfer(SslSession& from, SslSession& to, const std::string& data) {
    std::string received;
    std::size_t written = 0;
    char buf[16384];
    // Idle rounds wait up to 10 ms for the reader's socket; 500 of them is
    // far beyond any loopback transfer here.
    for (int idle = 0; idle < 500 && received.size() < data.size();) {
        bool progress = false;
        if (written < data.size()) {
            int w = from.write(data.data() + written, static_cast<int>(data.size() - written));
            if (w > 0) {
                written += static_cast<std::size_t>(w);
                progress = true;
            } else if (SslSession::IoStatus st = from.classify(w);
                       st.kind != SslSession::IoStatus::WantRead && st.kind != SslSession::IoStatus::WantWrite) {
                break;
            }
        }
        int r = to.read(buf, sizeof buf);
        if (r > 0) {
            received.append(buf, static_cast<std::size_t>(r));
            progress = true;
        } else if (SslSession::IoStatus st = to.classify(r);
                   st.kind != SslSession::IoStatus::WantRead && st.kind != SslSession::IoStatus::WantWrite) {
            break;
        }
        if (!progress) {
            ++idle;
            waitReadable(to, 10);
        }
    }
    return received;
}

}  // namespace morvex::test
