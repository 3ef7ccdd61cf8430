// Helpers for the channel and outbound tests: a loop on its own thread,
// loopback sockets, waiting for a condition, and TLS material made at test
// time.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "loop_test_support.h"
#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/pollable_descriptor.h"
#include "support/origin.h"
#include "support/process.h"
#include "tls/ssl_context.h"
#include "util/thread.h"

namespace morvex::nettest {

// Makes the process fit for loops and threads (main thread object, no SIGPIPE).
void initRuntime();

using test::eventually;
using test::LoopThread;

// A listening socket on 127.0.0.1 with an ephemeral port.
PollableDescriptorRef listenLoopback(std::uint16_t* port);
// A blocking client socket connected to 127.0.0.1:port (-1 on failure).
using test::connectLoopback;
// A blocking POSIX listening socket on 127.0.0.1 (the test's own peer).
int plainListener(std::uint16_t* port);
// A port on 127.0.0.1 on which nothing listens.
std::uint16_t closedPort();
// Reads until n bytes or end of stream; returns what came.
std::string readAll(int fd, std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
void writeAll(int fd, const std::string& data);

// A self-signed server certificate and key written to a temporary directory.
struct TlsMaterial {
    test::TempDir dir;
    std::string certFile;
    std::string keyFile;
    TlsMaterial();
};
SharedSslServerContext makeServerContext(const TlsMaterial& material);
// A client context that verifies nothing.
std::unique_ptr<SslContext> makeClientContext();

// A blocking OpenSSL endpoint over a connected socket, for the test's side.
class BlockingTls {
public:
    // Client side with an SNI name (empty: none).
    static std::unique_ptr<BlockingTls> connect(int fd, const std::string& sni);
    // Server side with the material's certificate; records the client's SNI.
    static std::unique_ptr<BlockingTls> accept(int fd, const TlsMaterial& material);
    ~BlockingTls();

    bool write(const std::string& data);
    std::string read(std::size_t n);
    const std::string& sni() const noexcept { return _sni; }
    SSL* ssl() const noexcept { return _ssl; }

private:
    BlockingTls() = default;
    SSL_CTX* _ctx = nullptr;
    SSL* _ssl = nullptr;
    int _fd = -1;
    std::string _sni;
};

}  // namespace morvex::nettest
