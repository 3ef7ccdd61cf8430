#include "tlsd/async_fwd_tcp_channel.h"

#include <new>
#include <utility>
#include <variant>

#include "net/in_thread_actor.h"
#include "net/name_resolver.h"
#include "net/tcp_channel_loop.h"
#include "platform/tick_count.h"
#include "tls/ssl_client_context_table.h"
#include "tlsd/fwd_client_connection.h"
#include "tlsd/http_request_reader.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("TLSProxy");
// Refusals are driven by local clients: one of them must not be able to
// flood the log and rotate the daemon's lines away.
Logger s_refusals("TLSProxy", true, 60, 100);

// Values a client chose (a token, a Host header) are cut when echoed, and
// so is the whole reason of a refusal line.
constexpr std::size_t kMaxEchoedValue = 256;
constexpr std::size_t kMaxReason = 1024;

std::string echo(const std::string& value, std::size_t limit) {
    if (value.size() <= limit) return value;
    return value.substr(0, limit) + "... (" + std::to_string(value.size()) + " bytes)";
}
}  // namespace

AsyncFwdTcpChannel::AsyncFwdTcpChannel(const PollableDescriptorRef& socket, const SharedSslServerContext& sslContext,
                                       bool useSsl, TcpChannelLoop& loop, TcpOutboundLoop& outboundLoop,
                                       std::string token)
    : TcpChannel(sslContext, useSsl),
      _channelLoop(loop),
      _outboundLoop(outboundLoop),
      _socketHandle(socket),
      _token(std::move(token)),
      _relay(std::make_shared<ChannelResponseRelay>(loop, &outboundLoop, this)),
      _acceptTick(platform::GetTickCount64()) {}

AsyncFwdTcpChannel::~AsyncFwdTcpChannel() {
    _resolving.clear();  // cancels lookups whose completions would reach this channel
    _receiving.reset();
    _relay->detach();
    _socketHandle.reset();
    ProxyStats::instance().connectionClosed();
}

void AsyncFwdTcpChannel::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("TcpAsyncDataBuffer %p, TcpChannelLoop %p, TcpOutboundLoop %p\r\n",
               static_cast<const void*>(_inputBuffer), static_cast<const void*>(&_channelLoop),
               static_cast<const void*>(&_outboundLoop));
    // The connection deletes itself on the outbound thread: only its address
    // is safe to print here.
    if (_currentConnection == nullptr) {
        out.write(", no connection attached\r\n");
    } else {
        out.printf("AsyncFwdTcpChannel: %p\r\n", static_cast<const void*>(_currentConnection));
    }
    TcpChannel::crashLogDescribe(out);
}

std::uint32_t AsyncFwdTcpChannel::readTimeout() const {
    if (_servedRequest) return 0;
    std::uint64_t idle = idleRequestTimeout();
    std::uint64_t spent = platform::GetTickCount64() - _acceptTick;
    // 0 would mean "no time-out": at least 1 ms is left.
    return static_cast<std::uint32_t>(spent >= idle ? 1 : idle - spent);
}

void AsyncFwdTcpChannel::connectionEstablished(TcpAsyncDataBuffer&) {
    s_log.debug("AsyncFwdTcpChannel connection established from morvexd");
}

bool AsyncFwdTcpChannel::asyncWriteComplete() {
    s_log.debug("AsyncFwdTcpChannel::asyncWriteComplete");
    return false;
}

void AsyncFwdTcpChannel::outputWritten(std::size_t n) {
    _relay->written(n);
}

std::uint32_t AsyncFwdTcpChannel::timeoutExtension() {
    if (!_servedRequest && !data().cursor().hasData()) {
        s_log.warn("Closing connection from morvexd: no valid request within %u ms", idleRequestTimeout());
    }
    return 0;
}

void AsyncFwdTcpChannel::onError(const SocketError& error) {
    if (error.kind == SocketError::kClosedByPeer) return;
    if (error.kind == SocketError::kWinsock && (error.detail == 10053 || error.detail == 10054)) return;
    s_log.error("Error encountered for connection from morvexd, error=%s", error.text().c_str());
}

void AsyncFwdTcpChannel::writeResponse(std::string_view data) {
    if (phase() != Phase::Open) {
        _relay->written(data.size());  // closing: the daemon gets nothing more
        return;
    }
    queueOutput(data.data(), data.size());
}

void AsyncFwdTcpChannel::writeResponse(BlockChain& data) {
    if (phase() != Phase::Open) {
        _relay->written(data.size());  // closing: the daemon gets nothing more
        return;
    }
    queueOutput(data);
}

void AsyncFwdTcpChannel::refuse(RefusalReason kind, const std::string& reason) {
    ProxyStats::instance().refused(kind);
    s_refusals.error("Request will not be proxied through TLS proxy: %s", echo(reason, kMaxReason).c_str());
}

void AsyncFwdTcpChannel::dataAvailable(TcpAsyncDataBuffer& data) {
    s_log.debug("AsyncFwdTcpChannel::dataAvailable");
    if (data.empty()) return;
    _inputBuffer = &data;
    if (_framingLost) {
        data.clear();
        return;
    }
    ++_handling;
    for (;;) {
        // The destinations are behind: the ring fills and reading stops. A
        // request whose bytes are all in still gets its end now: no byte may
        // come to prompt it later.
        if (!_framing.endPending() && _relay->mustHoldInput()) break;
        const char* bytes = data.readPtr();
        std::size_t n = data.contiguousReadable();
        HttpRequestFraming::Step step = _framing.next(bytes, n);
        if (step.kind == HttpRequestFraming::Kind::Error) {
            data.clear();
            loseFraming(_framing.errorText());
            break;
        }
        if (step.kind == HttpRequestFraming::Kind::Body) onBody(bytes, step.used);
        data.consume(step.used);
        if (step.kind == HttpRequestFraming::Kind::Head) onHead();
        if (step.kind == HttpRequestFraming::Kind::End) onEnd();
        if (step.kind == HttpRequestFraming::Kind::NeedMore && data.empty()) break;
    }
    // Bytes that brought no valid request leave the idle deadline where it is.
    if (!_servedRequest) changeReadTimeout(readTimeout());
    finishHandling();
}

void AsyncFwdTcpChannel::finishHandling() {
    if (--_handling > 0 || !_resumePending) return;
    _resumePending = false;
    resumeInput();
}

void AsyncFwdTcpChannel::resumeInput() {
    if (_handling > 0) {
        _resumePending = true;
        return;
    }
    if (phase() != Phase::Open) return;
    if (!data().empty()) dataAvailable(data());
    // Reading stopped with a full ring: have the loop read again.
    if (isRegistered()) _channelLoop.scheduleService(this);
}

void AsyncFwdTcpChannel::loseFraming(const std::string& reason) {
    refuse(RefusalReason::BadRequest, reason);
    _framingLost = true;
    if (_receiving) _receiving->dropped = true;
    _receiving.reset();
    startClose();
}

void AsyncFwdTcpChannel::onHead() {
    std::string head = _framing.takeHead();
    const bool headRequest = _framing.headMethod();
    _receiving.reset();
    HttpRequestReader::Result parsed = HttpRequestReader::read(head);
    if (const auto* text = std::get_if<std::string>(&parsed)) {
        // A head the reader cannot make out as HTTP: its length may be
        // wrong too. A request that is only not ours (type, host, an unknown
        // method) has a known end: the next one is served.
        static constexpr std::string_view kException = "Had exception when parsing received request: ";
        bool malformed = text->compare(0, kException.size(), kException) == 0 &&
                         text->compare(kException.size(), std::string::npos, "Not Implemented") != 0;
        if (malformed) return loseFraming(*text);
        return refuse(RefusalReason::BadRequest, *text);
    }
    const RequestMetadata& metadata = std::get<RequestMetadata>(parsed);
    if (metadata.token != _token) {
        return refuse(RefusalReason::WrongToken, " Wrong token found, token=" + echo(metadata.token, kMaxEchoedValue));
    }
    ProxyStats::instance().requestReceived(metadata.type);
    // Only now: a client without the token must not be able to fill the log.
    s_log.info("Received request is parsed to type=%s, hostPort=%s:%u, httpMethod=%s", toString(metadata.type).c_str(),
               metadata.hostPort.host.c_str(), metadata.hostPort.port, metadata.httpMethod.c_str());
    s_log.debugStream() << "Parsed requestMetadata=" << metadata;

    const SslContext* clientContext = clientContextFor(metadata.type);
    const HostPort& destination = metadata.hostPort;
    FwdClientConnectionPool* pool = poolFor(metadata.type);
    if (clientContext == nullptr || pool == nullptr) {
        return refuse(RefusalReason::UnsupportedType, "The parsed request type is invalid or not supported");
    }

    if (!_servedRequest) {
        _servedRequest = true;
        changeReadTimeout(readTimeout());
    }
    if (_resolving.size() >= kMaxResolving) {
        return refuse(RefusalReason::Busy, "Too many requests of this connection wait for name resolution");
    }
    auto pending = std::make_shared<PendingRequest>();
    RequestRecord& record = pending->record;
    record.begin();
    record.type = metadata.type;
    record.method = metadata.httpMethod;
    record.host = destination.host;
    record.port = destination.port;
    pending->counted = head.size();
    _relay->requestBytesQueued(head.size());
    pending->head = std::move(head);
    pending->headRequest = headRequest;
    pending->host = destination.host;
    pending->port = destination.port;
    pending->pool = pool;
    _resolving.push_back(pending);
    _receiving = std::move(pending);
    startLookups();
    startResolved();
}

const SslContext* AsyncFwdTcpChannel::clientContextFor(ClientRequestType type) const {
    return SslClientContextTable::instance().contextFor(type);
}

FwdClientConnectionPool* AsyncFwdTcpChannel::poolFor(ClientRequestType type) const {
    return FwdClientConnectionPoolTable::instance().lookup(type);
}

void AsyncFwdTcpChannel::onBody(const char* data, std::size_t n) {
    if (!_receiving || _receiving->dropped || n == 0) return;
    _relay->requestBytesQueued(n);
    try {
        if (_receiving->rest) {
            _receiving->rest->append(data, n);
        } else {
            _receiving->body.append(data, n);
            _receiving->counted += n;
        }
    } catch (const std::bad_alloc&) {
        _relay->requestBytesSent(n);
        loseFraming("Out of memory for the body of a request");
    }
}

void AsyncFwdTcpChannel::onEnd() {
    if (!_receiving) return;
    _receiving->ended = true;
    if (_receiving->rest) _receiving->rest->end();
    _receiving.reset();
}

void AsyncFwdTcpChannel::startLookups() {
    for (const std::shared_ptr<PendingRequest>& pending : _resolving) {
        if (_lookupsRunning >= kMaxLookupsPerConnection) return;
        if (pending->lookupStarted) continue;
        PendingRequest* p = pending.get();
        p->lookupStarted = true;
        ++_lookupsRunning;
        // Resolution runs off this thread, so a name whose DNS never answers
        // holds up only its own request; requests still go out in their
        // order. The completion may run inside this call (the loop is not
        // running): it then only records the outcome, and the handle is
        // stored before anything can drop the request.
        _inLookupCall = true;
        p->lookup = NameResolver::instance().resolveIPv4Async(
            p->host, _channelLoop, [this, p](bool ok, NameResolver::AddressList addresses, std::string errorText) {
                p->resolved = true;
                p->ok = ok && !addresses.empty();
                if (p->ok) {
                    p->address = addresses.front();
                    p->record.markResolved(p->address);
                }
                p->error = std::move(errorText);
                --_lookupsRunning;
                if (_inLookupCall) return;
                ++_handling;
                startLookups();
                startResolved();
                finishHandling();
            });
        _inLookupCall = false;
    }
}

void AsyncFwdTcpChannel::startResolved() {
    while (!_resolving.empty() && _resolving.front()->resolved) {
        std::shared_ptr<PendingRequest> p = std::move(_resolving.front());
        _resolving.pop_front();
        if (!p->ok) {
            refuse(RefusalReason::ResolveFailed, "Error resolving IP of host=" + p->host + ": " + p->error);
            p->dropped = true;
            p->body = BlockChain();
            _relay->requestBytesSent(std::exchange(p->counted, 0));
            continue;
        }
        s_log.debug("Using connection pool %p", static_cast<void*>(p->pool));
        auto* connection =
            new FwdClientConnection(*p->pool, _outboundLoop, p->address, static_cast<std::uint16_t>(p->port), p->host);
        connection->setDestination(p->host, p->port);
        connection->record() = std::move(p->record);
        connection->record().sni = connection->sni();
        s_log.debug("New Connection created with SNI=%s", connection->sni().c_str());
        _currentConnection = connection;
        // Later body bytes go straight to the connection's thread.
        p->rest = std::make_shared<OutboundRequest>(_outboundLoop, _relay);
        if (p->ended) p->rest->end();
        std::size_t counted = std::exchange(p->counted, 0);
        if (!connection->start(std::move(p->head), std::move(p->body), p->rest, p->headRequest, _relay)) {
            ProxyStats::instance().refused(RefusalReason::NoOutboundLoop);
            delete connection;
            _currentConnection = nullptr;
            p->dropped = true;
            _relay->requestBytesSent(counted);
        }
    }
    // Lookups that waited for a free place.
    startLookups();
}

}  // namespace morvex
