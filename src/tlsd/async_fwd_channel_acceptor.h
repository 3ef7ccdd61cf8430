// AsyncFwdChannelAcceptor: the forward proxy's acceptor. It owns the six
// dedicated I/O threads whose loops take the accepted connections, refuses
// peers that are not the local host and makes one AsyncFwdTcpChannel per
// accepted connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_channel_acceptor.h"
#include "net/tcp_outbound.h"
#include "tls/ssl_context.h"
#include "tlsd/tls_proxy_dedicated_io_thread.h"

namespace morvex {

class AsyncFwdChannelAcceptor : public TcpChannelAcceptor {
public:
    static constexpr unsigned kDedicatedIoThreads = 6;

    // Builds on the listening loop and creates and starts the dedicated I/O
    // threads (each loop registered as a subordinate of listeningLoop and
    // running before the constructor returns). token: what every request
    // must carry.
    AsyncFwdChannelAcceptor(TcpChannelLoop& listeningLoop, const SharedSslServerContext& sslContext, bool useSsl,
                            TcpOutboundLoop& outboundLoop, std::string token);
    // Joins the dedicated I/O threads (their loops must have been stopped).
    ~AsyncFwdChannelAcceptor() override;

    // Whether numeric peer host text (brackets already removed) names the
    // local host: "localhost", "127.0.0.1" or an IPv6 loopback ("::1",
    // "0:0:0:0:0:0:0:1", optionally with a zone suffix "%...").
    static bool isLocalPeer(std::string_view host) noexcept;

    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    TcpChannel* channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                               const SocketAddress& peer) override;

    const std::vector<std::unique_ptr<TLSProxyDedicatedIoThread>>& threads() const noexcept { return _threads; }

private:
    std::vector<std::unique_ptr<TLSProxyDedicatedIoThread>> _threads;
    SharedSslServerContext _sslContext;
    bool _useSsl;
    TcpOutboundLoop& _outboundLoop;
    std::string _token;
};

}  // namespace morvex
