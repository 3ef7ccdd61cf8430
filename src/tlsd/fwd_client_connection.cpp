#include "tlsd/fwd_client_connection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <exception>

#include "platform/tick_count.h"
#include "tls/ssl_client_context_table.h"
#include "util/ascii.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

std::atomic<bool> s_proxyStopping{false};

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
    // A new start: an earlier stop of this process no longer counts.
    FwdClientConnection::setProxyStopping(false);
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

void FwdClientConnection::setProxyStopping(bool stopping) noexcept {
    s_proxyStopping.store(stopping, std::memory_order_relaxed);
}

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
    auto rest = std::make_shared<OutboundRequest>(loop(), relay);
    rest->end();
    bool headRequest = request.compare(0, 5, "HEAD ") == 0;
    relay->requestBytesQueued(request.size());
    return start(std::move(request), BlockChain(), std::move(rest), headRequest, std::move(relay));
}

bool FwdClientConnection::start(std::string head, BlockChain body, std::shared_ptr<OutboundRequest> rest,
                                bool headRequest, std::shared_ptr<ChannelResponseRelay> relay) {
    _relay = std::move(relay);
    _rest = std::move(rest);
    setReadTimeout(outboundReadTimeoutMs());
    setWriteTimeout(kWriteTimeoutMs);
    _framing = HttpResponseFraming(headRequest);
    _unsent = head.size() + body.size();
    s_log.debug("_buildRequest > outbound request size=%zu", _unsent);
    _writing->append(head.data(), head.size());
    for (BlockChain::Filled& f : body.release()) _writing->adopt(std::move(f.block), f.len);
    _writing->closeSegment();
    setAsyncWriteData(_writing->segments(), 0, 0);
    s_log.info("TLS proxy making a connection to remote_address=%s", _destinationHost.c_str());
    _startTick = platform::GetTickCount64();
    // Posted, not run-and-wait: the channel's thread goes on with its other
    // connections while the outbound thread connects.
    if (connectNowait(destination())) return true;
    s_log.error("TLS proxy failed to make a connection to remote_address=%s", _destinationHost.c_str());
    return false;
}

void FwdClientConnection::connectStarting() {
    _record.markConnectStarted();
    _relay->enqueue(this);
    _rest->attach(this);
    pumpRequest();
}

void FwdClientConnection::connectionMade() {
    s_log.debug("FwdClientConnection::connectionMade");
    _record.markConnected();
    if (usesSsl()) _record.noteTlsSession(sslSession().handle());
}

void FwdClientConnection::pumpRequest() {
    BlockChain arrived;
    _restEnded = _rest->take(arrived);
    if (!arrived.empty()) {
        _unsent += arrived.size();
        for (BlockChain::Filled& f : arrived.release()) _filling->adopt(std::move(f.block), f.len);
        _filling->closeSegment();
    }
    if (writeCursor().isEmptyList()) nextWrite();
}

void FwdClientConnection::nextWrite() {
    if (!_filling->empty()) {
        _writing->clear();
        std::swap(_writing, _filling);
        setAsyncWriteData(_writing->segments(), 0, 0);
        // A write is only announced after one that would block: start it.
        loop().scheduleService(this);
        return;
    }
    if (!_restEnded || _requestWritten) return;
    _requestWritten = true;
    s_log.debug("FwdClientConnection::asyncWriteComplete()");
    // An answer that was whole before the request was out ends now.
    releaseIfAnswered();
}

void FwdClientConnection::asyncWriteComplete() {
    std::size_t written = _writing->queuedSize();
    _unsent -= std::min(_unsent, written);
    _writing->clear();
    _record.sent += written;
    _relay->requestBytesSent(written);
    nextWrite();
}

void FwdClientConnection::dataAvailable(Ring& ring) {
    s_log.debug("FwdClientConnection::dataAvailable");
    // Answer bytes go as soon as they come, also while the request is still
    // going out: a daemon may wait for "100 Continue" (or an early final
    // answer) before it sends the rest.
    // An earlier request of the same channel is still being answered.
    if (!_relay->isFirst(this)) {
        setPaused(true);
        return;
    }
    // Every readable byte goes now, the piece after the ring's wrap too: the
    // destination may send nothing more to prompt another call. Bytes past
    // the answer's end are relayed as well: the proxy changes no byte.
    while (!ring.empty()) {
        if (_relay->mustWaitForRoom()) {
            setPaused(true);
            return;
        }
        std::size_t n = ring.contiguousReadable();
        std::size_t answer = _framing.complete() ? 0 : _framing.feed(ring.readPtr(), n);
        _surplus += n - answer;
        _record.markFirstByte();
        try {
            _relay->deliverResponse(std::string_view(ring.readPtr(), n));
        } catch (const std::exception& e) {
            s_log.error("Exception happened when sending response back: %s", e.what());
            _daemonGone = true;
            terminateExternally(true);
            return;
        }
        _record.relayed += n;
        ring.consume(n);
    }
    releaseIfAnswered();
}

void FwdClientConnection::releaseIfAnswered() {
    if (!_framing.complete() || _released) return;
    // The rest of the request still goes out first: the destination gets
    // every byte of it, as it would without the proxy.
    if (!_requestWritten && !_destinationEnded) return;
    _released = true;
    if (_surplus != 0) {
        s_log.warn("Relayed %zu bytes that destination server=%s sent after its complete answer", _surplus,
                   _destinationHost.c_str());
    }
    s_log.debug("Answer complete (status %d), releasing the connection to destination server=%s", _framing.status(),
                _destinationHost.c_str());
    terminateExternally(false);
}

void FwdClientConnection::onError(const SocketError& error) {
    // An error after the whole answer (a close racing the release) changes
    // nothing the daemon got.
    if (!_framing.complete()) {
        RequestRecord::Phase phase = state() == kHandshake                           ? RequestRecord::Phase::Handshake
                                     : state() == kConnecting || state() == kCreated ? RequestRecord::Phase::Connecting
                                                                                     : RequestRecord::Phase::Open;
        _record.outcome = RequestRecord::outcomeFor(error, phase);
        _errorSeen = true;
    }
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
        s_log.warn("Outbound connection to destination server=%s:%u failed after %llu ms: %s", _destinationHost.c_str(),
                   _destinationPort, ms, error.text().c_str());
    }
}

RequestOutcome FwdClientConnection::endWithoutError() const noexcept {
    if (s_proxyStopping.load(std::memory_order_relaxed)) return RequestOutcome::Stopped;
    if (_daemonGone || (_relay && _relay->detached())) return RequestOutcome::DaemonGone;
    return RequestOutcome::ClosedByDestination;
}

void FwdClientConnection::finished() {
    if (_framing.complete()) {
        _record.outcome = RequestOutcome::Complete;
    } else if (!_errorSeen || _record.outcome == RequestOutcome::Stopped) {
        // Ended from this side (the daemon's connection went, the proxy
        // stops) or by a close that framed nothing.
        _record.outcome = endWithoutError();
    }
    if (_framing.status() > 0) _record.status = _framing.status();
    CompletionLog::write(_record);
    if (_rest) _rest->detach();
    if (_relay) {
        // What was never written no longer holds the channel's input back.
        _relay->requestBytesSent(_unsent);
        _unsent = 0;
        _relay->remove(this);
    }
    TcpClientConnection::finished();
}

}  // namespace morvex
