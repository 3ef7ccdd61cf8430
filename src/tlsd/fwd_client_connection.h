// FwdClientConnection: the proxy's outbound connection for one request. It
// sends the request's head and the body as it arrives (through an
// OutboundRequest), relays every byte the destination sends back through its
// channel's ChannelResponseRelay (in request order, held back while the
// daemon is behind) and deletes itself when it ends: when the destination
// closes, on an error or time-out, or as soon as the answer is whole by its
// HTTP framing (a destination that keeps connections alive would otherwise
// hold the socket until its own idle time-out).
// FwdClientConnectionPool and the process-wide pool table (one pool per
// request type) carry the client TLS context of each type.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/buffer_block_pool.h"
#include "net/tcp_async_data_buffer.h"
#include "net/tcp_client_connection.h"
#include "tls/client_request_type.h"
#include "tlsd/channel_response_relay.h"
#include "tlsd/http_response_framing.h"
#include "tlsd/outbound_request.h"
#include "tlsd/request_record.h"

namespace morvex {

class FwdClientConnectionPool : public TcpClientConnectionPool {
public:
    static constexpr std::uint32_t kIdleTimeoutMs = 55000;

    // sslContext: the type's client TLS context, or null for plain TCP.
    FwdClientConnectionPool(TcpOutboundLoop& loop, const SslContext* sslContext);
    ~FwdClientConnectionPool() override;
};

// Request type -> pool. Filled at start, only read afterwards.
class FwdClientConnectionPoolTable {
public:
    using ContextSource = std::function<const SslContext*(ClientRequestType)>;

    // The types in the order their pools are created.
    static constexpr ClientRequestType kCreationOrder[] = {
        ClientRequestType::DeploymentClient, ClientRequestType::Telemetry, ClientRequestType::MorvexBase,
        ClientRequestType::Morvexd, ClientRequestType::ExternalProxy};

    // The process-wide table (never destroyed).
    static FwdClientConnectionPoolTable& instance();

    FwdClientConnectionPoolTable() = default;
    FwdClientConnectionPoolTable(const FwdClientConnectionPoolTable&) = delete;
    FwdClientConnectionPoolTable& operator=(const FwdClientConnectionPoolTable&) = delete;

    // Creates one pool per type in kCreationOrder, each over contextFor(type),
    // replacing (deleting) a pool already stored under the type. Without a
    // source the process-wide client context table is asked.
    void createPools(TcpOutboundLoop& loop, const ContextSource& contextFor = {});
    // The type's pool, or null (a missing type gets an empty entry).
    FwdClientConnectionPool* lookup(ClientRequestType type);

private:
    std::mutex _lock;
    std::map<ClientRequestType, std::unique_ptr<FwdClientConnectionPool>> _pools;
};

class FwdClientConnection : public TcpClientConnection {
public:
    static constexpr std::uint32_t kPortUnset = 0xFFFFFFFF;
    static constexpr std::uint32_t kReadTimeoutMs = 40000;
    static constexpr std::uint32_t kWriteTimeoutMs = 300000;

    // TLS is on exactly when the pool has a client TLS context. ipv4 in
    // network byte order. The SNI name is derived from host.
    FwdClientConnection(FwdClientConnectionPool& pool, TcpOutboundLoop& loop, std::uint32_t ipv4, std::uint16_t port,
                        const std::string& host);
    ~FwdClientConnection() override;

    // The SNI name for a destination host: empty for an IPv4 or IPv6
    // literal; otherwise lower-cased ASCII with runs of dots collapsed and
    // leading and trailing dots removed.
    static std::string deriveSni(std::string_view host);

    void setDestination(std::string host, std::uint32_t port) {
        _destinationHost = std::move(host);
        _destinationPort = port;
    }
    const std::string& destinationHostName() const noexcept { return _destinationHost; }
    std::uint32_t destinationPort() const noexcept { return _destinationPort; }

    // Connect step (inbound channel's thread): takes the request's head, the
    // body bytes that came with it, the hand-over the rest arrives through,
    // and the channel's relay (kept alive by the connection); sets the
    // time-outs and posts the connect to the outbound loop. headRequest: the
    // answer has no body. The head and body count as the relay's request
    // bytes from here on. False when the loop is not running: the caller
    // must then delete the connection (and count the bytes as gone). Once
    // true, the connection belongs to the outbound loop's thread.
    bool start(std::string head, BlockChain body, std::shared_ptr<OutboundRequest> rest, bool headRequest,
               std::shared_ptr<ChannelResponseRelay> relay);
    // The same for a request whose bytes are all known.
    bool start(std::string request, std::shared_ptr<ChannelResponseRelay> relay);

    // What the completion line will say of this request. The channel fills
    // the request's part before start(); afterwards only the outbound
    // thread touches it, and finished() writes it once.
    RequestRecord& record() noexcept { return _record; }

    // Set while the proxy stops, so connections it ends count as stopped,
    // not as gone daemons. Any thread.
    static void setProxyStopping(bool stopping) noexcept;

    // Outbound thread: takes what arrived through the OutboundRequest.
    void pumpRequest();
    // The whole request has been written.
    bool requestWritten() const noexcept { return _requestWritten; }

    // How long the destination may stay silent once the request is out;
    // start() applies it. A seam for tests that cannot wait kReadTimeoutMs.
    virtual std::uint32_t outboundReadTimeoutMs() const { return kReadTimeoutMs; }

    // --- TcpOutbound slots ---
    void connectStarting() override;
    void connectionMade() override;
    void dataAvailable(Ring& ring) override;
    void asyncWriteComplete() override;
    void onError(const SocketError& error) override;
    // The destination ended its stream: what it sent is handed over even if
    // the request's end was not yet seen going out.
    void aboutToDrainAfterUnexpectedClose() override { _destinationEnded = true; }
    void finished() override;

private:
    // The outcome the connection's end stands for, when nothing more
    // specific (a complete answer, an error) was seen.
    RequestOutcome endWithoutError() const noexcept;
    // Ends the connection once the answer is whole and the request is out
    // (or the destination ended); bytes past the answer were relayed.
    void releaseIfAnswered();

    std::string _destinationHost;
    std::uint32_t _destinationPort = kPortUnset;
    RequestRecord _record;
    bool _errorSeen = false;
    bool _daemonGone = false;  // handing an answer over failed
    std::shared_ptr<ChannelResponseRelay> _relay;
    HttpResponseFraming _framing;
    std::uint64_t _startTick = 0;
    bool _released = false;
    // Send lists of pool blocks: one being written, one filling meanwhile,
    // so bytes written are given back while a long body goes on.
    void nextWrite();
    std::unique_ptr<OutputBuffer> _writing = std::make_unique<OutputBuffer>();
    std::unique_ptr<OutputBuffer> _filling = std::make_unique<OutputBuffer>();
    std::shared_ptr<OutboundRequest> _rest;
    std::size_t _unsent = 0;  // request bytes counted in the relay, held here
    std::size_t _surplus = 0;
    bool _restEnded = false;
    bool _requestWritten = false;
    bool _destinationEnded = false;
};

}  // namespace morvex
