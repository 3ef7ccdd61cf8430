#include "support/origin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace morvex::test {

namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 at port (0: any); -1 on failure.
int listenLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

}  // namespace

SSL_CTX* newTlsServerContext(const std::string& certPem, const std::string& keyPem, const std::string& who) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    BIO* certBio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    BIO_free(certBio);
    BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    BIO_free(keyBio);
    const bool ok = ctx && cert && key && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        SSL_CTX_free(ctx);
        throw std::runtime_error(who + ": bad certificate or key");
    }
    return ctx;
}

int listenOnAnyLoopbackPort(std::uint16_t& port, int backlog, const std::string& who) {
    int fd = listenLoopback(0);
    if (fd >= 0 && ::listen(fd, backlog) == 0) port = boundPort(fd);
    if (fd < 0 || port == 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(who + ": cannot listen");
    }
    return fd;
}

int connectLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

void resetRightAfterConnect(std::uint16_t port) {
    int fd = connectLoopback(port);
    if (fd < 0) return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

std::uint16_t pickFreeLoopbackPort() {
    int fd = listenLoopback(0);
    if (fd < 0) throw std::runtime_error(std::string("no free loopback port: ") + std::strerror(errno));
    std::uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

LoopbackAcceptor::LoopbackAcceptor(int backlog, const std::string& who, std::function<void(int)> serve, bool serial)
    : _serve(std::move(serve)), _serial(serial) {
    // Writes to a client that has gone must fail with EPIPE, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    _listenFd = listenOnAnyLoopbackPort(_port, backlog, who);
    if (::pipe2(_stopPipe, O_CLOEXEC) != 0) {
        ::close(_listenFd);
        throw std::runtime_error(who + ": cannot listen");
    }
    // A connection reset before accept() must not block the loop.
    ::fcntl(_listenFd, F_SETFL, O_NONBLOCK);
    _acceptor = std::thread([this] {
        while (waitFor(_listenFd, POLLIN)) {
            int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            auto serveAndClose = [this, fd] {
                _serve(fd);
                ::close(fd);
            };
            if (_serial) {
                serveAndClose();
            } else {
                _workers.emplace_back(serveAndClose);
            }
        }
    });
}

void LoopbackAcceptor::stop() {
    if (_stopping.exchange(true)) return;
    [[maybe_unused]] ssize_t n = ::write(_stopPipe[1], "x", 1);
    _acceptor.join();
    for (auto& worker : _workers) worker.join();
    ::close(_listenFd);
    ::close(_stopPipe[0]);
    ::close(_stopPipe[1]);
}

bool LoopbackAcceptor::waitFor(int fd, short events, int timeoutMs) const {
    pollfd fds[2] = {{fd, events, 0}, {_stopPipe[0], POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return false;
    return !stopping();
}

std::string NginxOrigin::sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

TestCert issueLoopbackServerCert(const TestCert& ca, const std::string& name) {
    // CertSpec writes each name after "DNS:" into one comma-separated value,
    // so the IP entry rides along with the last name.
    return TestCert::create(CertSpec().cn(name).dns({name + ",IP:127.0.0.1"}).serverAuth().serialNo(2), &ca);
}

// ---------------------------------------------------------------- NginxOrigin

std::string NginxOrigin::fileContent(std::string_view name, std::size_t size) {
    // FNV-1a of the name seeds a xorshift64 stream.
    std::uint64_t state = 14695981039346656037ull;
    for (char c : name) state = (state ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    if (state == 0) state = 1;
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::uint64_t word = state;
        for (std::size_t j = i; j < size && j < i + 8; ++j, word >>= 8) out[j] = static_cast<char>(word & 0xff);
    }
    return out;
}

NginxOrigin::NginxOrigin(Options options) : _options(std::move(options)) {
    std::unique_ptr<TestCert> ownCa;
    const TestCert* ca = _options.issuer;
    if (!ca) {
        ownCa = std::make_unique<TestCert>(TestCert::create(CertSpec().cn("Origin Test CA").asCa().serialNo(1)));
        ca = ownCa.get();
    }
    TestCert server = issueLoopbackServerCert(*ca, _options.serverName);
    _caFile = _dir.file("ca.pem", ca->certPem());
    _dir.file("conf/server.pem", server.certPem());
    _dir.file("conf/server.key", server.keyPem());
    _dir.file("logs/.keep", "");
    _dir.file("tmp/.keep", "");
    for (const OriginFile& f : _options.files) _dir.file("html/" + f.name, fileContent(f.name, f.size));
    if (_options.files.empty()) _dir.file("html/.keep", "");

    std::string failure;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOn(pickFreeLoopbackPort(), failure)) return;
    }
    throw std::runtime_error("nginx origin did not start: " + failure);
}

NginxOrigin::~NginxOrigin() {
    if (!_nginx) return;
    _nginx->sendSignal(SIGTERM);
    _nginx->wait(5s);
}

void NginxOrigin::writeConfig(std::uint16_t port) {
    const std::string& p = _dir.path();
    std::ostringstream conf;
    // One process in the foreground: it ends with its parent's signal and
    // never touches the system's directories.
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << p << "/logs/nginx.pid;\n"
         << "error_log " << p << "/logs/error.log warn;\n"
         << "events { worker_connections 1024; }\n"
         << "http {\n"
         << "  access_log " << p << "/logs/access.log;\n"
         << "  client_body_temp_path " << p << "/tmp/body;\n"
         << "  proxy_temp_path " << p << "/tmp/proxy;\n"
         << "  fastcgi_temp_path " << p << "/tmp/fastcgi;\n"
         << "  uwsgi_temp_path " << p << "/tmp/uwsgi;\n"
         << "  scgi_temp_path " << p << "/tmp/scgi;\n"
         << "  types { text/html html; text/plain txt; }\n"
         << "  default_type application/octet-stream;\n"
         << "  keepalive_timeout " << _options.keepaliveTimeout.count() << "s;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << port << " ssl;\n"
         << "    server_name " << _options.serverName << ";\n"
         << "    ssl_certificate " << p << "/conf/server.pem;\n"
         << "    ssl_certificate_key " << p << "/conf/server.key;\n"
         << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
         << "    root " << p << "/html;\n"
         << "  }\n"
         << "}\n";
    _dir.file("conf/nginx.conf", conf.str());
}

bool NginxOrigin::startOn(std::uint16_t port, std::string& failure) {
    writeConfig(port);
    const std::string& p = _dir.path();
    const std::string pidFile = p + "/logs/nginx.pid";
    ::unlink(pidFile.c_str());
    ProcessOptions opt;
    opt.program = _options.nginxBinary;
    opt.args = {"-p", p, "-c", p + "/conf/nginx.conf", "-e", p + "/logs/error.log"};
    opt.stdinMode = StdinMode::Null;
    auto child = std::make_unique<ChildProcess>(opt);
    // nginx writes its pid file after it has bound its sockets.
    const std::string expected = std::to_string(child->pid());
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        if (readWholeFile(pidFile).find(expected) == 0) {
            _nginx = std::move(child);
            _port = port;
            return true;
        }
        if (!child->running()) break;
        std::this_thread::sleep_for(10ms);
    }
    ProcessResult r = child->wait(2s);
    failure = "exit " + std::to_string(r.exitCode) + ": " + r.err + errorLog();
    return false;
}

std::string NginxOrigin::caPem() const {
    return readWholeFile(_caFile);
}
std::string NginxOrigin::accessLog() const {
    return readWholeFile(_dir.path() + "/logs/access.log");
}
std::string NginxOrigin::errorLog() const {
    return readWholeFile(_dir.path() + "/logs/error.log");
}

// ---------------------------------------------------------- ScriptedTlsOrigin

namespace {

int sniCallback(SSL* ssl, int*, void* arg) {
    auto* names = static_cast<std::vector<std::string>*>(arg);
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    names->push_back(name ? name : "");
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

ScriptedTlsOrigin::Options ScriptedTlsOrigin::scripted(std::vector<Step> script, std::string answer) {
    Options o;
    o.behaviour = Behaviour::Scripted;
    o.script = std::move(script);
    o.answer = std::move(answer);
    return o;
}

ScriptedTlsOrigin::ScriptedTlsOrigin(Options options) : _options(std::move(options)) {
    const TestCert* ca = _options.issuer;
    if (!ca) {
        _ownCa = std::make_unique<TestCert>(TestCert::create(CertSpec().cn("Scripted Origin CA").asCa()));
        ca = _ownCa.get();
    }
    _caPem = ca->certPem();
    TestCert server = issueLoopbackServerCert(*ca, _options.serverName);
    _ctx = newTlsServerContext(server.certPem(), server.keyPem(), "scripted origin");
    auto serveCounted = [this](int fd) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_connections;
        }
        _changed.notify_all();
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        serve(fd);
    };
    try {
        _server = std::make_unique<LoopbackAcceptor>(64, "scripted origin", serveCounted, /*serial=*/true);
    } catch (...) {
        SSL_CTX_free(_ctx);
        throw;
    }
}

ScriptedTlsOrigin::~ScriptedTlsOrigin() {
    _server->stop();
    SSL_CTX_free(_ctx);
}

std::string ScriptedTlsOrigin::caPem() const {
    return _caPem;
}

SSL* ScriptedTlsOrigin::newSession(int fd, std::vector<std::string>& names) {
    SSL_CTX_set_tlsext_servername_callback(_ctx, sniCallback);
    SSL_CTX_set_tlsext_servername_arg(_ctx, &names);
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, fd);
    return ssl;
}

template <typename Call>
int ScriptedTlsOrigin::driveTls(SSL* ssl, int fd, int timeoutMs, Call call) {
    for (;;) {
        int r = call();
        if (r > 0) return r;
        int err = SSL_get_error(ssl, r);
        short ev = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (ev == 0 || !_server->waitFor(fd, ev, timeoutMs)) return 0;
    }
}

void ScriptedTlsOrigin::serve(int fd) {
    if (_options.behaviour == Behaviour::Scripted) return play(fd);
    if (_options.behaviour == Behaviour::NeverHandshake) {
        // Hold the connection silently; only the destructor ends it.
        while (_server->waitFor(_server->stopFd(), POLLIN)) {
        }
        return;
    }
    std::vector<std::string> names;
    SSL* ssl = newSession(fd, names);
    auto drive = [&](auto call) { return driveTls(ssl, fd, 10000, call); };
    bool ok = drive([&] { return SSL_accept(ssl); }) > 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _serverNames.push_back(names.empty() ? "" : names.back());
    }
    char buf[4096];
    std::string pending;
    // Reads the next request (up to its blank line) into request.
    auto readRequest = [&](std::string& request) {
        for (;;) {
            std::size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                request = pending.substr(0, end + 4);
                pending.erase(0, end + 4);
                return true;
            }
            int n = drive([&] { return SSL_read(ssl, buf, sizeof buf); });
            if (n <= 0) return false;
            pending.append(buf, static_cast<std::size_t>(n));
        }
    };
    bool keepAlive = _options.behaviour == Behaviour::KeepAlive;
    std::string request;
    while (ok && readRequest(request)) {
        std::size_t index;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            index = _requests.size();
            _requests.push_back(request);
        }
        _changed.notify_all();
        const std::string a = _options.answerFor ? _options.answerFor(index) : _options.answer;
        std::size_t piece = 0;
        bool written = true;
        for (std::size_t off = 0; off < a.size() && !_server->stopping();) {
            std::size_t step = a.size();
            if (_options.behaviour == Behaviour::Slow) step = std::max<std::size_t>(_options.slowChunk, 1);
            if (keepAlive && !_options.pieces.empty()) step = _options.pieces[piece++ % _options.pieces.size()];
            int len = static_cast<int>(std::min(step, a.size() - off));
            if (drive([&] { return SSL_write(ssl, a.data() + off, len); }) <= 0) {
                written = false;
                break;
            }
            off += static_cast<std::size_t>(len);
            if (_options.behaviour != Behaviour::Answer && off < a.size()) {
                _server->waitFor(_server->stopFd(), POLLIN, static_cast<int>(_options.slowPause.count()));
            }
        }
        if (!keepAlive || !written) {
            SSL_shutdown(ssl);  // close_notify, then close at once without waiting for the peer's
            break;
        }
        // Keep the connection like a server that keeps connections alive:
        // wait for the next request or for the peer to end it.
        auto answered = std::chrono::steady_clock::now();
        std::string next;
        bool more = readRequest(next);
        auto linger =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - answered);
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (!more) ++_peerClosed;
            _longestLinger = std::max(_longestLinger, linger);
        }
        _changed.notify_all();
        if (!more) break;
        pending = next + pending;
    }
    SSL_free(ssl);
    SSL_CTX_set_tlsext_servername_arg(_ctx, nullptr);
    ERR_clear_error();
}

void ScriptedTlsOrigin::play(int fd) {
    using Kind = Step::Kind;
    std::vector<std::string> names;
    SSL* ssl = newSession(fd, names);
    // A proxy that holds its destination back while its client reads slowly
    // may leave a write waiting for a long time: that is not a failure.
    auto drive = [&](auto call) { return driveTls(ssl, fd, 60000, call); };
    bool handshaken = false;
    bool peerGone = false;
    std::string pending;
    std::string answer = _options.answer;
    std::size_t sent = 0;
    char buf[4096];
    for (const Step& step : _options.script) {
        if (_server->stopping()) break;
        bool stop = false;
        switch (step.kind) {
            case Kind::Handshake: {
                handshaken = drive([&] { return SSL_accept(ssl); }) > 0;
                std::lock_guard<std::mutex> lock(_mutex);
                _serverNames.push_back(names.empty() ? "" : names.back());
                stop = !handshaken;
                break;
            }
            case Kind::ReadRequest: {
                std::size_t end;
                while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                    int n = drive([&] { return SSL_read(ssl, buf, sizeof buf); });
                    if (n <= 0) break;
                    pending.append(buf, static_cast<std::size_t>(n));
                }
                if (end == std::string::npos) {
                    peerGone = stop = true;
                    break;
                }
                std::size_t index;
                {
                    std::lock_guard<std::mutex> lock(_mutex);
                    index = _requests.size();
                    _requests.push_back(pending.substr(0, end + 4));
                }
                _changed.notify_all();
                pending.erase(0, end + 4);
                answer = _options.answerFor ? _options.answerFor(index) : _options.answer;
                sent = 0;
                break;
            }
            case Kind::Write: {
                std::size_t last = step.bytes == 0 ? answer.size() : std::min(answer.size(), sent + step.bytes);
                std::size_t record = step.record == 0 ? answer.size() : step.record;
                while (sent < last && !stop) {
                    int len = static_cast<int>(std::min({record, last - sent, std::size_t{1} << 20}));
                    if (drive([&] { return SSL_write(ssl, answer.data() + sent, len); }) <= 0) {
                        peerGone = stop = true;
                    } else {
                        sent += static_cast<std::size_t>(len);
                    }
                }
                break;
            }
            case Kind::Pause:
                _server->waitFor(_server->stopFd(), POLLIN, static_cast<int>(step.pause.count()));
                break;
            case Kind::Reset: {
                // During the handshake: once the client's hello is in.
                if (!handshaken) _server->waitFor(fd, POLLIN, 5000);
                linger abort{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                stop = true;
                break;
            }
            case Kind::Close:
                stop = true;
                break;
            case Kind::CloseNotify:
                SSL_shutdown(ssl);
                stop = true;
                break;
            case Kind::Hold:
                while (_server->waitFor(fd, POLLIN)) {
                    int n =
                        handshaken ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
                    if (n > 0 || (handshaken && SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) ||
                        (!handshaken && n < 0 && errno == EAGAIN)) {
                        continue;
                    }
                    peerGone = true;
                    break;
                }
                stop = true;
                break;
        }
        if (stop) break;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (peerGone) ++_peerClosed;
    }
    _changed.notify_all();
    SSL_free(ssl);  // sends nothing: a close_notify only went out when the script asked for it
    SSL_CTX_set_tlsext_servername_arg(_ctx, nullptr);
    ERR_clear_error();
}

std::size_t ScriptedTlsOrigin::peerClosedCount() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _peerClosed;
}

std::chrono::milliseconds ScriptedTlsOrigin::longestLinger() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _longestLinger;
}

std::size_t ScriptedTlsOrigin::connectionCount() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _connections;
}

std::vector<std::string> ScriptedTlsOrigin::requests() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _requests;
}

std::vector<std::string> ScriptedTlsOrigin::serverNames() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _serverNames;
}

bool ScriptedTlsOrigin::waitForConnections(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _connections >= n; });
}

bool ScriptedTlsOrigin::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _requests.size() >= n; });
}

}  // namespace morvex::test
