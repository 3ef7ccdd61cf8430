// AsyncFwdTcpChannel: one inbound connection of the daemon. Each data
// delivery is one whole request: it is read, checked (token, request type,
// destination) and sent unchanged over a new FwdClientConnection; the
// destination's bytes come back through a ChannelResponseRelay and are
// written to the daemon on this channel's loop, answers in request order.
// A connection that has not brought one valid request within
// idleRequestTimeout() is closed, so idle local clients cannot pile up.
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
#include "tls/ssl_library.h"
#include "tlsd/channel_response_relay.h"

namespace morvex {

class AsyncFwdTcpChannel;
class FwdClientConnection;
class FwdClientConnectionPool;
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
    // One delivery = one request (see the class comment).
    void dataAvailable(TcpAsyncDataBuffer& data) override;
    bool asyncWriteComplete() override;
    void outputWritten(std::size_t n) override;
    void onError(const SocketError& error) override;
    std::uint32_t timeoutExtension() override;
    // No read time-out once the daemon has sent a valid request; before
    // that, idleRequestTimeout().
    std::uint32_t readTimeout() const override { return _servedRequest ? 0 : idleRequestTimeout(); }
    // 120 s: twice the longest the daemon waits for a TLS handshake, and far
    // longer than it takes to send its first request on a new connection.
    virtual std::uint32_t idleRequestTimeout() const { return 120000; }
    // sslServerHandshakeTimeout of server.conf [sslConfig].
    std::uint32_t sslHandshakeTimeout() const override { return SslLibrary::serverHandshakeTimeoutMs(); }

    // Loop thread: queues response bytes for the daemon.
    void writeResponse(std::string_view data);
    // The same for bytes the relay already copied into pool blocks.
    void writeResponse(BlockChain& data);

    const std::string& outboundRequest() const noexcept { return _outboundRequest; }
    FwdClientConnection* currentConnection() const noexcept { return _currentConnection; }

private:
    // Logs the refusal line for reason (echoed values cut to a bounded
    // length; repeats beyond a allowance per minute only counted).
    static void refuse(const std::string& reason);
    void handleRequest(TcpAsyncDataBuffer& data);
    // Starts the requests at the front whose names are resolved, in order.
    void startResolved();

    // A checked request waiting for its destination's address.
    struct PendingRequest {
        std::string bytes;
        std::string host;
        std::uint32_t port = 0;
        FwdClientConnectionPool* pool = nullptr;
        NameResolver::Handle lookup;  // cancels on destruction
        bool resolved = false;
        bool ok = false;
        std::uint32_t address = 0;
        std::string error;
    };
    // Bounds what one connection can queue behind a slow name.
    static constexpr std::size_t kMaxResolving = 64;

    // The latest outbound connection; not owned (it deletes itself), kept
    // only to be named in crash reports.
    FwdClientConnection* _currentConnection = nullptr;
    TcpAsyncDataBuffer* _inputBuffer = nullptr;
    TcpChannelLoop& _channelLoop;
    TcpOutboundLoop& _outboundLoop;
    PollableDescriptorRef _socketHandle;
    std::string _outboundRequest;  // the last delivery's bytes
    std::string _token;
    std::shared_ptr<ChannelResponseRelay> _relay;
    std::deque<std::unique_ptr<PendingRequest>> _resolving;
    bool _servedRequest = false;
};

}  // namespace morvex
