#include "tlsd/async_fwd_channel_acceptor.h"

#include "net/event_loop.h"
#include "net/tcp_channel_loop.h"
#include "tlsd/async_fwd_tcp_channel.h"
#include "tlsd/proxy_stats.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("TLSProxy");
}

AsyncFwdChannelAcceptor::AsyncFwdChannelAcceptor(TcpChannelLoop& listeningLoop,
                                                 const SharedSslServerContext& sslContext, bool useSsl,
                                                 TcpOutboundLoop& outboundLoop, std::string token)
    : TcpChannelAcceptor(listeningLoop),
      _sslContext(sslContext),
      _useSsl(useSsl),
      _outboundLoop(outboundLoop),
      _token(std::move(token)) {
    s_log.debug("AsyncFwdChannelAcceptor - creating dedicated I/O threads count=%u", kDedicatedIoThreads);
    for (unsigned long i = 0; i < kDedicatedIoThreads; ++i) {
        auto thread = std::make_unique<TLSProxyDedicatedIoThread>(listeningLoop, i);
        listeningLoop.addSubordinate(&thread->loop());
        EventLoop::WaitForEventLoopStarted(thread->loop(), *thread);
        _threads.push_back(std::move(thread));
    }
}

AsyncFwdChannelAcceptor::~AsyncFwdChannelAcceptor() {
    s_log.debug("AsyncFwdChannelAcceptor - joining dedicated I/O threads, count=%zu", _threads.size());
    for (auto& thread : _threads) {
        s_log.debug("Joining dedicated I/O thread");
        thread->join();
    }
    _threads.clear();
}

bool AsyncFwdChannelAcceptor::isLocalPeer(std::string_view host) noexcept {
    if (host == "localhost" || host == "127.0.0.1") return true;
    if (host.size() < 3) return false;
    std::size_t zone = host.find('%', 3);
    if (zone != std::string_view::npos) host = host.substr(0, zone);
    if (host.empty() || host.back() != '1') return false;
    std::size_t colons = 0;
    for (std::size_t i = 0; i + 1 < host.size(); ++i) {
        if (host[i] == ':') {
            ++colons;
        } else if (host[i] != '0') {
            return false;
        }
    }
    return colons >= 2;
}

void AsyncFwdChannelAcceptor::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("TcpOutboundLoop %p\r\n", static_cast<const void*>(&_outboundLoop));
    TcpChannelAcceptor::crashLogDescribe(out);
}

TcpChannel* AsyncFwdChannelAcceptor::channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                                                    const SocketAddress& peer) {
    std::string host = peer.hostText();
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!isLocalPeer(host)) {
        s_log.error("TLS proxy can only receive requests from localhost, request was received from %s", host.c_str());
        ProxyStats::instance().refused(RefusalReason::NotLocal);
        return nullptr;
    }
    s_log.debug("Forward Proxy conn factory -> Creating new connection from %s:%u", host.c_str(),
                static_cast<unsigned>(peer.port()));
    ProxyStats::instance().connectionAccepted();
    return new AsyncFwdTcpChannel(socket, _sslContext, _useSsl, loop, _outboundLoop, _token);
}

}  // namespace morvex
