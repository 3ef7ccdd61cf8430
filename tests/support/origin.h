// Real TLS origins on loopback for tests of the proxy's outbound side.
//
// NginxOrigin runs the packaged nginx as a child process with its own prefix
// directory and a freshly issued certificate, serving files of chosen sizes
// whose contents are reproducible:
//
//   NginxOrigin origin({.files = {{"small.bin", 1024}, {"large.bin", 1 << 20}}});
//   // https://localhost:<origin.port()>/large.bin, trusted through origin.caFile()
//   EXPECT_EQ(NginxOrigin::sha256Hex(body), NginxOrigin::sha256Hex(NginxOrigin::fileContent("large.bin", 1 << 20)));
//
// ScriptedTlsOrigin is an in-process TLS server on its own thread that plays
// one fixed part per connection: answer and close, never finish the
// handshake, dribble its answer out slowly, or follow a script of steps
// (handshake, read the request, write part of the answer in records of a
// chosen size, pause, reset, close with or without close_notify, hold).
//
// Both throw std::runtime_error when they cannot start.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/test_certs.h"

namespace morvex::test {

// A port that was free on 127.0.0.1 a moment ago (bound to 0, read back,
// closed). Another process may take it before the caller does.
std::uint16_t pickFreeLoopbackPort();

// A TLS server context over a PEM certificate and key; throws
// std::runtime_error naming who when they do not load.
SSL_CTX* newTlsServerContext(const std::string& certPem, const std::string& keyPem, const std::string& who);

// A listening socket on 127.0.0.1 at a port the system picks, which goes
// to port; throws std::runtime_error naming who when it cannot listen.
int listenOnAnyLoopbackPort(std::uint16_t& port, int backlog, const std::string& who);

// A blocking TCP connection to 127.0.0.1:port, or -1.
int connectLoopback(std::uint16_t port);
// Connects to 127.0.0.1:port and resets the connection before a byte is
// sent (SO_LINGER 0, then close).
void resetRightAfterConnect(std::uint16_t port);

// The TCP side of the in-process TLS origins: listens on 127.0.0.1 (a port
// the system picks) and hands each accepted (blocking) connection to serve,
// on a thread of its own or, when serial, on the accepting thread one after
// another; closes it when serve returns. Throws std::runtime_error naming
// who when it cannot listen.
class LoopbackAcceptor {
public:
    LoopbackAcceptor(int backlog, const std::string& who, std::function<void(int fd)> serve, bool serial = false);
    ~LoopbackAcceptor() { stop(); }
    // Wakes every waiter and joins the threads; connections in progress are
    // cut. Owners call it before they free what serve uses.
    void stop();
    LoopbackAcceptor(const LoopbackAcceptor&) = delete;
    LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

    std::uint16_t port() const noexcept { return _port; }
    // Readable once the acceptor stops.
    int stopFd() const noexcept { return _stopPipe[0]; }
    bool stopping() const noexcept { return _stopping; }
    // Waits until fd is ready for events or the time runs out (-1: no
    // limit); false when the acceptor stops. Any thread.
    bool waitFor(int fd, short events, int timeoutMs = -1) const;

private:
    std::function<void(int)> _serve;
    bool _serial;
    int _listenFd = -1;
    int _stopPipe[2] = {-1, -1};
    std::uint16_t _port = 0;
    std::atomic<bool> _stopping{false};
    std::vector<std::thread> _workers;
    std::thread _acceptor;
};

// A server certificate for name (CN and subjectAltName DNS:name) that also
// carries IP:127.0.0.1, issued by ca, with the serverAuth key usage.
TestCert issueLoopbackServerCert(const TestCert& ca, const std::string& name);

struct OriginFile {
    std::string name;  // served as /<name>
    std::size_t size = 0;
};

class NginxOrigin {
public:
    struct Options {
        std::string serverName = "localhost";
        std::vector<OriginFile> files;
        // Signs the server certificate; null: the origin makes its own CA.
        const TestCert* issuer = nullptr;
        std::string nginxBinary = "/usr/sbin/nginx";
        // How long an idle kept-alive client connection stays open.
        std::chrono::seconds keepaliveTimeout{5};
    };

    // Writes the prefix (configuration, certificate, files), starts nginx on a
    // free port and returns once it listens. Retries with another port when
    // the chosen one was taken in the meantime.
    explicit NginxOrigin(Options options);
    // Stops nginx (SIGTERM, then SIGKILL after 5 s) and removes the prefix.
    ~NginxOrigin();
    NginxOrigin(const NginxOrigin&) = delete;
    NginxOrigin& operator=(const NginxOrigin&) = delete;

    std::uint16_t port() const noexcept { return _port; }
    // PEM file of the CA that issued the server certificate.
    const std::string& caFile() const noexcept { return _caFile; }
    std::string caPem() const;
    const std::string& prefix() const noexcept { return _dir.path(); }
    // The access log, one line per answered request.
    std::string accessLog() const;
    std::string errorLog() const;

    // The bytes served for a file of that name and size: a pseudo-random
    // stream seeded by the name, the same in every run.
    static std::string fileContent(std::string_view name, std::size_t size);
    // Lower-case hex SHA-256 of the bytes, to compare large bodies briefly.
    static std::string sha256Hex(std::string_view bytes);

private:
    bool startOn(std::uint16_t port, std::string& failure);
    void writeConfig(std::uint16_t port);

    Options _options;
    TempDir _dir{"morvex-origin"};
    std::string _caFile;
    std::unique_ptr<ChildProcess> _nginx;
    std::uint16_t _port = 0;
};

class ScriptedTlsOrigin {
public:
    enum class Behaviour {
        Answer,          // read one request, write the answer, close at once
        NeverHandshake,  // accept the TCP connection and say nothing until stopped
        Slow,            // read one request, write the answer in small pieces with pauses, close
        KeepAlive,       // answer each request in pieces of assorted sizes; close only after the peer
        Scripted,        // play Options::script on each connection
    };
    struct Step {
        enum class Kind {
            Handshake,    // complete the TLS handshake
            ReadRequest,  // read one request (up to its blank line)
            Write,        // write the next `bytes` of the answer (0: the rest), `record` bytes per TLS record
            Pause,        // wait `pause`
            Reset,        // once the peer has sent something (or at once after the handshake): RST
            Close,        // close the socket without close_notify
            CloseNotify,  // send close_notify, then close
            Hold,         // say nothing until the peer ends the connection or the origin stops
        };
        Kind kind;
        std::size_t bytes = 0;
        std::size_t record = 0;  // 0: as large as the TLS library makes them (16 KiB)
        std::chrono::milliseconds pause{0};
    };
    struct Options {
        Behaviour behaviour = Behaviour::Answer;
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        std::size_t slowChunk = 1;                // Slow: bytes per piece
        std::chrono::milliseconds slowPause{50};  // Slow, KeepAlive: pause after each piece
        std::vector<std::size_t> pieces{};        // KeepAlive: sizes of successive writes, cycled
        std::vector<Step> script{};               // Scripted: the steps of every connection
        // The answer to the i-th request (counted over all connections);
        // empty: always `answer`.
        std::function<std::string(std::size_t)> answerFor{};
        std::string serverName = "localhost";  // certificate name
        const TestCert* issuer = nullptr;      // null: own CA
    };

    // Options that play script on every connection with answer as the answer.
    static Options scripted(std::vector<Step> script, std::string answer);

    // Listens on 127.0.0.1 (ephemeral port) and serves connections one at a
    // time on its own thread until destroyed.
    explicit ScriptedTlsOrigin(Options options);
    // Wakes and joins the thread; a connection in progress is cut.
    ~ScriptedTlsOrigin();
    ScriptedTlsOrigin(const ScriptedTlsOrigin&) = delete;
    ScriptedTlsOrigin& operator=(const ScriptedTlsOrigin&) = delete;

    std::uint16_t port() const noexcept { return _server->port(); }
    // PEM of the CA that issued the server certificate.
    std::string caPem() const;

    // Connections accepted, requests read (the bytes up to and including the
    // blank line) and the SNI name of each handshake ("" for none).
    std::size_t connectionCount();
    std::vector<std::string> requests();
    std::vector<std::string> serverNames();
    // Waits until n connections have been accepted (n requests read).
    bool waitForConnections(std::size_t n, std::chrono::milliseconds timeout);
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout);
    // KeepAlive, Scripted: connections that the peer ended (Scripted: seen
    // while holding or writing), and the longest time a connection stayed
    // open after its last answer had gone out.
    std::size_t peerClosedCount();
    std::chrono::milliseconds longestLinger();

private:
    void serve(int fd);
    void play(int fd);
    // A server session on fd; the SNI names it sees go to names.
    SSL* newSession(int fd, std::vector<std::string>& names);
    // Drives one TLS call on the non-blocking socket to completion; 0 when
    // it fails or the socket stays unready for timeoutMs.
    template <typename Call>
    int driveTls(SSL* ssl, int fd, int timeoutMs, Call call);

    Options _options;
    std::unique_ptr<TestCert> _ownCa;
    std::string _caPem;
    SSL_CTX* _ctx = nullptr;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::size_t _connections = 0;
    std::vector<std::string> _requests;
    std::vector<std::string> _serverNames;
    std::size_t _peerClosed = 0;
    std::chrono::milliseconds _longestLinger{0};
    std::unique_ptr<LoopbackAcceptor> _server;
};

}  // namespace morvex::test
