// AsyncFwdTcpChannel: one inbound connection of the daemon. The byte stream
// is cut into requests by HttpRequestFraming, however it was split into
// deliveries; each request is read, checked (token, request type,
// destination) and sent unchanged over its own FwdClientConnection, its body
// streamed there as it arrives. The destination's bytes come back through a
// ChannelResponseRelay and are written to the daemon on this channel's loop,
// answers in request order. A connection that has not brought one valid
// request within idleRequestTimeout() of its accept is closed, so idle local
// clients cannot pile up.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "net/name_resolver.h"
#include "net/tcp_channel.h"
#include "net/tcp_outbound.h"
#include "tls/client_request_type.h"
#include "tls/ssl_library.h"
#include "tlsd/channel_response_relay.h"
#include "tlsd/http_request_framing.h"
#include "tlsd/outbound_request.h"
#include "tlsd/proxy_stats.h"
#include "tlsd/request_record.h"

namespace morvex {

class AsyncFwdTcpChannel;
class FwdClientConnection;
class FwdClientConnectionPool;
class SslContext;
class TcpChannelLoop;

class AsyncFwdTcpChannel : public TcpChannel {
public:
    // token: the start-up token every request must carry.
    AsyncFwdTcpChannel(const PollableDescriptorRef& socket, const SharedSslServerContext& sslContext, bool useSsl,
                       TcpChannelLoop& loop, TcpOutboundLoop& outboundLoop, std::string token);
    ~AsyncFwdTcpChannel() override;

    // State dump for crash reports (input buffer, loops, current connection).
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    void connectionEstablished(TcpAsyncDataBuffer& data) override;
    // Frames and handles the requests in the ring; leaves bytes there while
    // the relay holds the input back (see resumeInput).
    void dataAvailable(TcpAsyncDataBuffer& data) override;
    bool asyncWriteComplete() override;
    void outputWritten(std::size_t n) override;
    void onError(const SocketError& error) override;
    std::uint32_t timeoutExtension() override;
    // No read time-out once the daemon has sent a valid request; before
    // that, what is left of idleRequestTimeout() since the accept (bytes
    // that bring no valid request do not extend it).
    std::uint32_t readTimeout() const override;
    // 120 s: twice the longest the daemon waits for a TLS handshake, and far
    // longer than it takes to send its first request on a new connection.
    virtual std::uint32_t idleRequestTimeout() const { return 120000; }
    // The type's client TLS context and connection pool (the process-wide
    // tables); null refuses the type. Tests serve their own.
    virtual const SslContext* clientContextFor(ClientRequestType type) const;
    virtual FwdClientConnectionPool* poolFor(ClientRequestType type) const;
    // sslServerHandshakeTimeout of server.conf [sslConfig].
    std::uint32_t sslHandshakeTimeout() const override { return SslLibrary::serverHandshakeTimeoutMs(); }

    // Loop thread: queues response bytes for the daemon.
    void writeResponse(std::string_view data);
    // The same for bytes the relay already copied into pool blocks.
    void writeResponse(BlockChain& data);

    // Loop thread: the relay's request bytes went below the low mark, go on
    // taking input.
    void resumeInput();

    FwdClientConnection* currentConnection() const noexcept { return _currentConnection; }

    // Bounds what one connection can queue behind a slow name.
    static constexpr std::size_t kMaxResolving = 64;
    // Lookups of one connection that run at once; the rest wait their turn,
    // so one connection's slow names leave the shared lookup threads to the
    // others.
    static constexpr std::size_t kMaxLookupsPerConnection = 4;

private:
    // A checked request, from its head until its connection is started.
    struct PendingRequest {
        std::string head;
        BlockChain body;          // body bytes that came before the connection was made
        std::size_t counted = 0;  // bytes held here and counted in the relay
        bool headRequest = false;
        bool ended = false;    // the request's last byte came
        bool dropped = false;  // refused after its head: later body bytes go nowhere
        std::string host;
        std::uint32_t port = 0;
        FwdClientConnectionPool* pool = nullptr;
        NameResolver::Handle lookup;  // cancels on destruction
        bool lookupStarted = false;
        bool resolved = false;
        bool ok = false;
        std::uint32_t address = 0;
        std::string error;
        std::shared_ptr<OutboundRequest> rest;  // once the connection started
        RequestRecord record;                   // handed to the connection
    };

    // Logs the refusal line for reason (echoed values cut to a bounded
    // length; repeats beyond a allowance per minute only counted) and
    // counts it under kind for the summary.
    static void refuse(RefusalReason kind, const std::string& reason);
    // The framing's events.
    void onHead();
    void onBody(const char* data, std::size_t n);
    void onEnd();
    // A request the framing cannot follow: the rest of the stream cannot
    // be told apart, so the connection is closed.
    void loseFraming(const std::string& reason);
    // Starts lookups of waiting requests, up to kMaxLookupsPerConnection.
    void startLookups();
    // Starts the requests at the front whose names are resolved, in order.
    void startResolved();
    // After a callback that may have lowered the request bytes.
    void finishHandling();

    // The latest outbound connection; not owned (it deletes itself), kept
    // only to be named in crash reports.
    FwdClientConnection* _currentConnection = nullptr;
    TcpAsyncDataBuffer* _inputBuffer = nullptr;
    TcpChannelLoop& _channelLoop;
    TcpOutboundLoop& _outboundLoop;
    PollableDescriptorRef _socketHandle;
    std::string _token;
    std::shared_ptr<ChannelResponseRelay> _relay;
    HttpRequestFraming _framing;
    std::shared_ptr<PendingRequest> _receiving;  // the request whose body arrives
    std::deque<std::shared_ptr<PendingRequest>> _resolving;
    std::size_t _lookupsRunning = 0;
    std::uint64_t _acceptTick;
    int _handling = 0;  // depth of dataAvailable / completions on the stack
    bool _resumePending = false;
    bool _inLookupCall = false;  // a completion now runs inside resolveIPv4Async
    bool _framingLost = false;
    bool _servedRequest = false;
};

}  // namespace morvex
