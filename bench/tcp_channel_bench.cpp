// Data-path cost of a TCP channel: an echo round trip of 16 KiB over
// loopback, plain and TLS, with the number of heap allocations per round
// trip counted by a replaced global operator new (all threads). The
// steady state should allocate nothing in the channel itself.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "net/socket_ops.h"
#include "net/tcp_channel.h"
#include "net/tcp_channel_acceptor.h"
#include "net/tcp_channel_loop.h"
#include "platform/winsock_startup.h"
#include "tls/ssl_context_options.h"
#include "tls/ssl_library.h"
#include "util/thread.h"

namespace {
std::atomic<std::uint64_t> g_allocs{0};
}

// The replacements pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace morvex {
namespace {

constexpr std::size_t kChunk = 16384;

class EchoChannel : public TcpChannel {
public:
    using TcpChannel::TcpChannel;
    void dataAvailable(TcpAsyncDataBuffer& d) override {
        while (!d.empty()) {
            std::size_t n = d.contiguousReadable();
            queueOutput(d.readPtr(), n);
            d.consume(n);
        }
    }
};

class EchoAcceptor : public TcpChannelAcceptor {
public:
    EchoAcceptor(TcpChannelLoop& loop, SharedSslServerContext ctx, bool tls)
        : TcpChannelAcceptor(loop), _ctx(std::move(ctx)), _tls(tls) {}
    TcpChannel* channelFactory(TcpChannelLoop&, const PollableDescriptorRef&, const SocketAddress&) override {
        return new EchoChannel(_ctx, _tls);
    }

private:
    SharedSslServerContext _ctx;
    bool _tls;
};

// A self-signed EC certificate and key in a temporary directory.
std::string makeCertFiles(std::string& keyFile) {
    char dir[] = "/tmp/morvex-bench-XXXXXX";
    if (!mkdtemp(dir)) return {};
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench.test"), -1, -1,
                               0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    std::string certFile = std::string(dir) + "/cert.pem";
    keyFile = std::string(dir) + "/key.pem";
    FILE* f = std::fopen(certFile.c_str(), "w");
    PEM_write_X509(f, x);
    std::fclose(f);
    f = std::fopen(keyFile.c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(x);
    EVP_PKEY_free(key);
    return certFile;
}

void runEcho(benchmark::State& state, bool tls) {
    EmptyMainThread::ensureForTest();
    platform::WSADATA wsa;
    platform::WSAStartup(platform::MAKEWORD(2, 2), &wsa);
    SharedSslServerContext ctx;
    if (tls) {
        SslLibrary::initialize();
        SslServerContextOptions o;
        o.certFile = makeCertFiles(o.privateKeyFile);
        o.sslVersions = SslVersion::TLS1_2;
        ctx = SharedSslServerContext::create(std::move(o));
    }
    TcpChannelLoop loop;
    EchoAcceptor acceptor(loop, ctx, tls);
    SocketAddress addr;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&addr.storage, &sin, sizeof sin);
    addr.length = sizeof sin;
    PollableDescriptorRef sock = bindAndListen(addr, AF_INET, SOCK_STREAM, 16);
    socklen_t len = sizeof sin;
    ::getsockname(sock->socket(), reinterpret_cast<sockaddr*>(&sin), &len);
    acceptor.listen(sock);
    ThreadFunction thread([&] { loop.run(); }, "BenchChannelLoop");
    EventLoop::WaitForEventLoopStarted(loop, thread);

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    SSL_CTX* cctx = nullptr;
    SSL* ssl = nullptr;
    if (tls) {
        cctx = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(cctx);
        SSL_set_fd(ssl, fd);
        SSL_connect(ssl);
    }
    std::string out(kChunk, 'b');
    std::string in(kChunk, '\0');
    auto roundTrip = [&] {
        if (tls) {
            SSL_write(ssl, out.data(), static_cast<int>(out.size()));
        } else {
            ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
        std::size_t got = 0;
        while (got < kChunk) {
            long r = tls ? SSL_read(ssl, in.data() + got, static_cast<int>(kChunk - got))
                         : ::recv(fd, in.data() + got, kChunk - got, 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
    };
    for (int i = 0; i < 50; ++i) roundTrip();  // warm up buffers on both sides
    std::uint64_t before = g_allocs.load();
    for (auto _ : state) roundTrip();
    std::uint64_t allocs = g_allocs.load() - before;
    state.counters["allocs_per_roundtrip"] =
        benchmark::Counter(static_cast<double>(allocs) / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk * 2));

    if (ssl) SSL_free(ssl);
    if (cctx) SSL_CTX_free(cctx);
    ::close(fd);
    InThreadFunction<void> cleanup([&] {
        while (TcpChannel* c = loop.firstChannel()) delete c;
        acceptor.stopListening();
    });
    loop.runInThread(&cleanup, true);
    loop.stop();
    thread.join();
}

void BM_PlainEchoRoundTrip16K(benchmark::State& state) {
    runEcho(state, false);
}
void BM_TlsEchoRoundTrip16K(benchmark::State& state) {
    runEcho(state, true);
}
BENCHMARK(BM_PlainEchoRoundTrip16K)->UseRealTime();
BENCHMARK(BM_TlsEchoRoundTrip16K)->UseRealTime();

}  // namespace
}  // namespace morvex

BENCHMARK_MAIN();
