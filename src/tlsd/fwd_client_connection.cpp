#include "tlsd/fwd_client_connection.h"

#include <arpa/inet.h>

#include <exception>

#include "tls/ssl_client_context_table.h"
#include "util/ascii.h"
#include "platform/tick_count.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

bool isIpLiteral(std::string_view host) {
    std::string text(host.substr(0, host.find('%')));  // a zone suffix does not count
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, text.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

// --- pool ---

FwdClientConnectionPool::FwdClientConnectionPool(TcpOutboundLoop& loop, const SslContext* sslContext)
    : TcpClientConnectionPool(loop, sslContext, kIdleTimeoutMs) {}

FwdClientConnectionPool::~FwdClientConnectionPool() = default;

FwdClientConnectionPoolTable& FwdClientConnectionPoolTable::instance() {
    static auto* table = new FwdClientConnectionPoolTable();
    return *table;
}

void FwdClientConnectionPoolTable::createPools(TcpOutboundLoop& loop, const ContextSource& contextFor) {
    for (ClientRequestType type : kCreationOrder) {
        const SslContext* context = contextFor ? contextFor(type) : SslClientContextTable::instance().contextFor(type);
        auto pool = std::make_unique<FwdClientConnectionPool>(loop, context);
        std::lock_guard<std::mutex> guard(_lock);
        _pools[type] = std::move(pool);
    }
}

FwdClientConnectionPool* FwdClientConnectionPoolTable::lookup(ClientRequestType type) {
    std::lock_guard<std::mutex> guard(_lock);
    return _pools[type].get();
}

// --- connection ---

FwdClientConnection::FwdClientConnection(FwdClientConnectionPool& pool, TcpOutboundLoop& loop, std::uint32_t ipv4,
                                         std::uint16_t port, const std::string& host)
    : TcpClientConnection(pool, loop, pool.sslContext() != nullptr, ipv4, port, host) {
    setSni(deriveSni(host));
}

FwdClientConnection::~FwdClientConnection() = default;

std::string FwdClientConnection::deriveSni(std::string_view host) {
    std::string sni;
    if (isIpLiteral(host)) return sni;
    sni.reserve(host.size());
    for (char c : host) {
        if (c == '.' && (sni.empty() || sni.back() == '.')) continue;
        sni.push_back(asciiLower(c));
    }
    while (!sni.empty() && sni.back() == '.') sni.pop_back();
    // "1.2.3.4." folds to an address literal, which may not be sent as SNI.
    if (isIpLiteral(sni)) sni.clear();
    return sni;
}

bool FwdClientConnection::start(std::string request, std::shared_ptr<ChannelResponseRelay> relay) {
    _relay = std::move(relay);
    setReadTimeout(outboundReadTimeoutMs());
    setWriteTimeout(kWriteTimeoutMs);
    _request = std::move(request);
    _framing = HttpResponseFraming::forRequests(_request);
    s_log.debug("_buildRequest > outbound request size=%zu", _request.size());
    _requestList.assign(1, SendSegment{static_cast<std::uint32_t>(_request.size()), _request.data()});
    setAsyncWriteData(_requestList, 0, 0);
    s_log.info("TLS proxy making a connection to remote_address=%s", _destinationHost.c_str());
    _startTick = platform::GetTickCount64();
    // Posted, not run-and-wait: the channel's thread goes on with its other
    // connections while the outbound thread connects.
    if (connectNowait(destination())) return true;
    s_log.error("TLS proxy failed to make a connection to remote_address=%s", _destinationHost.c_str());
    return false;
}

void FwdClientConnection::connectStarting() {
    _relay->enqueue(this);
}

void FwdClientConnection::connectionMade() {
    s_log.debug("FwdClientConnection::connectionMade");
}

void FwdClientConnection::asyncWriteComplete() {
    _requestWritten = true;
    s_log.debug("FwdClientConnection::asyncWriteComplete()");
}

void FwdClientConnection::dataAvailable(Ring& ring) {
    s_log.debug("FwdClientConnection::dataAvailable");
    // Until the request is out the bytes stay in the ring; a full ring stops
    // reading and so holds the destination back.
    if (!_requestWritten) return;
    // An earlier request of the same channel is still being answered.
    if (!_relay->isFirst(this)) {
        setPaused(true);
        return;
    }
    // Every readable byte goes now, the piece after the ring's wrap too: the
    // destination may send nothing more to prompt another call.
    while (!ring.empty() && !_framing.complete()) {
        if (_relay->mustWaitForRoom()) {
            setPaused(true);
            return;
        }
        std::size_t n = ring.contiguousReadable();
        std::size_t answer = _framing.feed(ring.readPtr(), n);
        try {
            _relay->deliverResponse(std::string_view(ring.readPtr(), answer));
        } catch (const std::exception& e) {
            s_log.error("Exception happened when sending response back: %s", e.what());
            terminateExternally(true);
            return;
        }
        ring.consume(answer);
    }
    if (!_framing.complete() || _released) return;
    _released = true;
    if (!ring.empty()) {
        // Nothing was asked for them: they would only confuse the next answer.
        s_log.warn("Dropped %zu bytes that destination server=%s sent after its complete answer", ring.readable(),
                   _destinationHost.c_str());
        ring.clear();
    }
    s_log.debug("Answer complete (status %d), releasing the connection to destination server=%s", _framing.status(),
                _destinationHost.c_str());
    terminateExternally(false);
}

void FwdClientConnection::onError(const SocketError& error) {
    bool closed = error.kind == SocketError::kClosedByPeer ||
                  (error.kind == SocketError::kWinsock && (error.detail == 10053 || error.detail == 10054));
    if (closed) {
        s_log.error("Connection closed, destination server=%s", _destinationHost.c_str());
        return;
    }
    // A destination that cannot be reached or goes quiet must leave a trace.
    bool connecting = state() == kConnecting || state() == kHandshake || state() == kCreated;
    if (connecting || error.kind == SocketError::kTimeout) {
        unsigned long long ms = platform::GetTickCount64() - _startTick;
        s_log.warn("Outbound connection to destination server=%s:%u failed after %llu ms: %s",
                   _destinationHost.c_str(), _destinationPort, ms, error.text().c_str());
    }
}

void FwdClientConnection::finished() {
    if (_relay) _relay->remove(this);
    TcpClientConnection::finished();
}

}  // namespace morvex
