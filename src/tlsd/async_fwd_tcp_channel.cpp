#include "tlsd/async_fwd_tcp_channel.h"

#include <variant>

#include "net/in_thread_actor.h"
#include "net/name_resolver.h"
#include "net/tcp_channel_loop.h"
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
      _relay(std::make_shared<ChannelResponseRelay>(loop, &outboundLoop, this)) {}

AsyncFwdTcpChannel::~AsyncFwdTcpChannel() {
    _resolving.clear();  // cancels lookups whose completions would reach this channel
    _relay->detach();
    _socketHandle.reset();
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

void AsyncFwdTcpChannel::refuse(const std::string& reason) {
    s_refusals.error("Request will not be proxied through TLS proxy: %s", echo(reason, kMaxReason).c_str());
}

void AsyncFwdTcpChannel::dataAvailable(TcpAsyncDataBuffer& data) {
    s_log.debug("AsyncFwdTcpChannel::dataAvailable");
    if (data.empty()) return;
    _inputBuffer = &data;
    handleRequest(data);
}

void AsyncFwdTcpChannel::handleRequest(TcpAsyncDataBuffer& data) {
    // The outbound request: exactly the bytes of this delivery.
    _outboundRequest.resize(data.readable());
    data.peek(_outboundRequest.data(), _outboundRequest.size());
    HttpRequestReader::Result parsed = HttpRequestReader::read(_outboundRequest);
    if (const auto* metadata = std::get_if<RequestMetadata>(&parsed)) {
        s_log.debugStream() << "Parsed requestMetadata=" << *metadata;
    }
    data.clear();

    if (const auto* text = std::get_if<std::string>(&parsed)) return refuse(*text);
    const RequestMetadata& metadata = std::get<RequestMetadata>(parsed);
    if (metadata.token != _token) return refuse(" Wrong token found, token=" + echo(metadata.token, kMaxEchoedValue));

    const SslContext* clientContext = SslClientContextTable::instance().contextFor(metadata.type);
    const HostPort& destination = metadata.hostPort;
    FwdClientConnectionPool* pool = FwdClientConnectionPoolTable::instance().lookup(metadata.type);
    if (clientContext == nullptr || pool == nullptr) {
        return refuse("The parsed request type is invalid or not supported");
    }

    if (!_servedRequest) {
        _servedRequest = true;
        changeReadTimeout(readTimeout());
    }
    if (_resolving.size() >= kMaxResolving) {
        return refuse("Too many requests of this connection wait for name resolution");
    }
    // Resolution runs off this thread, so a name whose DNS never answers
    // holds up only its own request; requests still go out in their order.
    auto pending = std::make_unique<PendingRequest>();
    PendingRequest* p = pending.get();
    p->bytes = std::move(_outboundRequest);
    _outboundRequest.clear();
    p->host = destination.host;
    p->port = destination.port;
    p->pool = pool;
    _resolving.push_back(std::move(pending));
    p->lookup = NameResolver::instance().resolveIPv4Async(
        destination.host, _channelLoop,
        [this, p](bool ok, NameResolver::AddressList addresses, std::string errorText) {
            p->resolved = true;
            p->ok = ok && !addresses.empty();
            if (p->ok) p->address = addresses.front();
            p->error = std::move(errorText);
            startResolved();
        });
}

void AsyncFwdTcpChannel::startResolved() {
    while (!_resolving.empty() && _resolving.front()->resolved) {
        std::unique_ptr<PendingRequest> p = std::move(_resolving.front());
        _resolving.pop_front();
        if (!p->ok) {
            refuse("Error resolving IP of host=" + p->host + ": " + p->error);
            continue;
        }
        s_log.debug("Using connection pool %p", static_cast<void*>(p->pool));
        auto* connection = new FwdClientConnection(*p->pool, _outboundLoop, p->address,
                                                   static_cast<std::uint16_t>(p->port), p->host);
        connection->setDestination(p->host, p->port);
        s_log.debug("New Connection created with SNI=%s", connection->sni().c_str());
        _currentConnection = connection;
        // The connection takes the bytes: an earlier connection still
        // sending keeps its own copy.
        if (!connection->start(std::move(p->bytes), _relay)) {
            delete connection;
            _currentConnection = nullptr;
        }
    }
}

}  // namespace morvex
