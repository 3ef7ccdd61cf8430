// AsyncFwdTcpChannel: one inbound connection of the daemon. Each data
// delivery is one whole request: it is read, checked (token, request type,
// destination) and sent unchanged over a new FwdClientConnection; the
// destination's bytes come back through a ChannelResponseRelay and are
// written to the daemon on this channel's loop.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "net/tcp_channel.h"
#include "net/tcp_outbound.h"
#include "tls/ssl_library.h"
#include "tlsd/proxy_response_callback.h"

namespace morvex {

class AsyncFwdTcpChannel;
class FwdClientConnection;
class TcpChannelLoop;

// The counted link from outbound connections back to a channel. Outbound
// connections may outlive the channel: each keeps the relay alive, and the
// channel clears the link when it goes. The link is read and cleared only on
// the channel's loop thread.
class ChannelResponseRelay final : public ProxyResponseCallback,
                                   public std::enable_shared_from_this<ChannelResponseRelay> {
public:
    ChannelResponseRelay(EventLoop& loop, AsyncFwdTcpChannel* channel) noexcept : _loop(loop), _channel(channel) {}

    // Any thread: copies the bytes and posts their write to the channel's
    // loop; dropped there when the channel has gone.
    void deliverResponse(std::string_view data) override;
    // Channel's loop thread.
    void detach() noexcept { _channel = nullptr; }

private:
    EventLoop& _loop;
    AsyncFwdTcpChannel* _channel;
};

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
    void onError(const SocketError& error) override;
    // sslServerHandshakeTimeout of server.conf [sslConfig].
    std::uint32_t sslHandshakeTimeout() const override { return SslLibrary::serverHandshakeTimeoutMs(); }

    // Loop thread: queues response bytes for the daemon.
    void writeResponse(std::string_view data);

    const std::string& outboundRequest() const noexcept { return _outboundRequest; }
    FwdClientConnection* currentConnection() const noexcept { return _currentConnection; }

private:
    // Logs the refusal line for reason.
    static void refuse(const std::string& reason);
    void handleRequest(TcpAsyncDataBuffer& data);

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
};

}  // namespace morvex
