// TLS sessions over a loopback TCP connection: the cost of one full
// handshake (server and client session, TLS 1.3, P-256 certificate), of a
// full versus a resumed handshake through the client context's session store
// (TLS 1.2 and 1.3), and the throughput of SslSession::write/read through
// the socket BIO. Both ends run on the benchmark's thread, so its CPU time
// is the two sides' together.
// Run: build/bench/ssl_session_bench (a release build for real figures).
#include <benchmark/benchmark.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "net/pollable_descriptor.h"
#include "platform/winsock.h"
#include "tls/client_session_store.h"
#include "tls/ssl_context.h"
#include "tls/ssl_session.h"

namespace {

using namespace morvex;

// A self-signed P-256 certificate and key in one PEM file.
std::string writeCertFile() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("bench.test"), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    char path[] = "/tmp/morvex-bench-cert-XXXXXX";
    int fd = mkstemp(path);
    FILE* f = fdopen(fd, "w");
    PEM_write_X509(f, cert);
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
    return path;
}

struct Contexts {
    Contexts() {
        const std::string file = writeCertFile();
        SslServerContextOptions so;
        so.sslVersions = SslVersion::TLS1_2;
        so.certFile = so.privateKeyFile = file;
        server.initServer(so);
        server12.initServer(so);
        SSL_CTX_set_max_proto_version(server12.handle(), TLS1_2_VERSION);
        SslClientContextOptions co;
        co.sslVersions = SslVersion::TLS1_2;
        client.initClient(co);
        unlink(file.c_str());
    }
    SslContext server;
    SslContext server12;  // at most TLS 1.2
    SslContext client;
};

Contexts& contexts() {
    static Contexts c;
    return c;
}

// A connected loopback pair with a session on each end.
struct Pair {
    explicit Pair(const SslContext* serverCtx = nullptr) {
        using namespace platform;
        SOCKET l = platform::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        platform::bind(l, reinterpret_cast<sockaddr*>(&a), len);
        platform::listen(l, 1);
        platform::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        cfd = platform::socket(AF_INET, SOCK_STREAM, 0);
        platform::connect(cfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{l, POLLIN, 0};
        ::poll(&p, 1, 2000);
        sfd = platform::accept(l, nullptr, nullptr);
        platform::closesocket(l);
        // Without Nagle's delay the figures are those of the sessions.
        int one = 1;
        platform::setsockopt(sfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        platform::setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        PollableDescriptorRef s = PollableDescriptorRef::adopt(PollableDescriptor::create(sfd));
        PollableDescriptorRef c = PollableDescriptorRef::adopt(PollableDescriptor::create(cfd));
        server.createServer(serverCtx ? *serverCtx : contexts().server, s.get());
        client.createClient(contexts().client, c.get(), "bench.test");
    }
    bool handshake() {
        bool sd = false, cd = false;
        for (int i = 0; i < 1000 && !(sd && cd); ++i) {
            if (!cd) cd = client.clientHandshake() > 0;
            if (!sd) sd = server.handshake() > 0;
            if (!(sd && cd)) {
                pollfd fds[2] = {{sfd, POLLIN, 0}, {cfd, POLLIN, 0}};
                ::poll(fds, 2, 10);
            }
        }
        return sd && cd;
    }
    SslSession server;
    SslSession client;
    int sfd = -1;
    int cfd = -1;
};

void BM_FullHandshake(benchmark::State& state) {
    contexts();
    for (auto _ : state) {
        Pair pair;
        if (!pair.handshake()) state.SkipWithError("handshake failed");
    }
}
BENCHMARK(BM_FullHandshake)->Unit(benchmark::kMicrosecond);

// Arguments: TLS version (12 or 13), resume (0: session reuse off, 1: on).
// Each round is a handshake plus one byte from the server, so that TLS 1.3
// tickets reach the client as they would on a real connection; the
// connection then ends without close notices, as an origin's close does.
void BM_HandshakeWithReuse(benchmark::State& state) {
    const SslContext& serverCtx = state.range(0) == 12 ? contexts().server12 : contexts().server;
    ClientSessionStore* store = contexts().client.clientSessionStore();
    store->clear();
    ClientSessionStore::setEnabled(state.range(1) != 0);
    std::int64_t resumed = 0;
    for (auto _ : state) {
        Pair pair(&serverCtx);
        pair.client.offerStoredSession(store, "bench.test|127.0.0.1:443");
        if (!pair.handshake()) state.SkipWithError("handshake failed");
        pair.client.acceptStoredSessions();
        resumed += SSL_session_reused(pair.client.handle());
        char b = 'x';
        pair.server.write(&b, 1);
        for (int i = 0; i < 100 && pair.client.read(&b, 1) <= 0; ++i) {
            pollfd p{pair.cfd, POLLIN, 0};
            ::poll(&p, 1, 10);
        }
    }
    ClientSessionStore::setEnabled(true);
    state.counters["resumed"] = benchmark::Counter(static_cast<double>(resumed), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_HandshakeWithReuse)
    ->ArgsProduct({{12, 13}, {0, 1}})
    ->ArgNames({"tls", "reuse"})
    ->Unit(benchmark::kMicrosecond);

void BM_TransferThroughSessions(benchmark::State& state) {
    Pair pair;
    if (!pair.handshake()) {
        state.SkipWithError("handshake failed");
        return;
    }
    const int chunk = static_cast<int>(state.range(0));
    std::string out(static_cast<std::size_t>(chunk), 'x');
    std::string in(65536, '\0');
    for (auto _ : state) {
        int sent = 0;
        int received = 0;
        while (received < chunk) {
            if (sent < chunk) {
                int w = pair.client.write(out.data() + sent, chunk - sent);
                if (w > 0) sent += w;
            }
            int r = pair.server.read(in.data(), static_cast<int>(in.size()));
            if (r > 0) {
                received += r;
            } else if (sent == chunk) {
                pollfd p{pair.sfd, POLLIN, 0};
                ::poll(&p, 1, 10);
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(BM_TransferThroughSessions)->Arg(1024)->Arg(16384)->Arg(262144);

}  // namespace

BENCHMARK_MAIN();
