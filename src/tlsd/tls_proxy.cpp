#include "tlsd/tls_proxy.h"

#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <exception>

#include "net/in_thread_actor.h"
#include "net/socket_ops.h"
#include "net/tcp_channel.h"
#include "tls/proxy_certificate.h"
#include "tlsd/async_fwd_channel_acceptor.h"
#include "tlsd/fwd_client_connection.h"
#include "tlsd/outbound_connection_thread.h"
#include "tlsd/parent_watch.h"
#include "tlsd/tlsproxy_config.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");
Logger s_statsLog("TLSProxyStats");

// Ends every channel of the loop at once. Runs on the loop's thread.
void terminateAllChannels(TcpChannelLoop& loop) {
    while (TcpChannel* channel = loop.firstChannel()) {
        channel->finish();
        if (loop.firstChannel() == channel) break;  // not one an acceptor deletes
    }
}

}  // namespace

void TLSProxy::set_started::callback() {
    {
        platform::CriticalSectionGuard guard(_proxy._lock);
        _proxy._started = true;
    }
    _proxy.onStarted();
}

void TLSProxy::SummaryTimer::callback() {
    _proxy.logSummary(false);
}

TLSProxy::TLSProxy() : _startedTimer(*this), _summaryTimer(*this) {}

TLSProxy::~TLSProxy() = default;

std::unique_ptr<AsyncFwdChannelAcceptor> TLSProxy::addListener(TcpChannelLoop& loop,
                                                               const SharedSslServerContext& sslContext) {
    s_log.info("New listener added for TLS proxy server, working as a  %s",
               _forwardProxy ? "forward proxy" : "reverse proxy");
    if (!_forwardProxy) return nullptr;
    return std::make_unique<AsyncFwdChannelAcceptor>(loop, sslContext, listenerSpecification().useSsl, _outboundLoop,
                                                     _token);
}

void TLSProxy::onStarted() {
    s_log.info("TLSProxy is started");
    // Armed only now: a stop signal before the start is ignored.
    if (!ParentWatch::arm()) {
        s_log.warn("The process that started the TLS proxy has gone, stopping");
        ::kill(::getpid(), SIGTERM);
    }
}

void TLSProxy::configure(const TLSProxyConfig& config) {
    _fwdProxyPort = config.port();
    _token = config.token();
    _privateKeyPassword = config.privateKeyPassword();
    _configValid = config.valid();
}

bool TLSProxy::loadTlsSettings() {
    _serverOptions = proxyServerOptions(_privateKeyPassword);
    return _serverOptions.has_value();
}

void TLSProxy::initializeSslContext() {
    // Logs "Initializing SSL Context", the certificate line or the failure.
    if (_serverOptions) initializeProxySslContext(SslServerContextOptions(*_serverOptions), _sslContext);
    _sslContextReady = _sslContext.valid();
    if (_sslContextReady) _sslContextInitialized = true;
}

void TLSProxy::bindPorts() {
    s_log.info("Binding ports");
    ListenerSpecification listener = listenerSpecification();
    SocketAddress address;
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);  // every interface; the acceptor refuses other hosts
    in->sin_port = htons(static_cast<std::uint16_t>(listener.port));
    address.length = sizeof(sockaddr_in);
    try {
        PollableDescriptorRef socket = bindAndListen(address, AF_INET, SOCK_STREAM, kListenBacklog);
        if (!socket) {
            s_log.fatal("Failed to bind port %u for TLS proxy server", listener.port);
            return;
        }
        _boundSockets[listener.port] = std::move(socket);
        _portsBound = true;
    } catch (const std::exception& e) {
        s_log.fatal("Failed to bind to port %u for TLS proxy server, exception: %s", listener.port, e.what());
    }
}

void TLSProxy::setupAcceptors() {
    s_log.info("Setting up acceptors for TLS proxy server");
    if (!_portsBound) {
        s_log.error("Cannot set up accepts without binding ports first");
        return;
    }
    s_log.info("Creating dedicated I/O threads count=%u", AsyncFwdChannelAcceptor::kDedicatedIoThreads);
    _outboundThread.reset();
    _outboundThread = std::make_unique<OutboundConnectionThread>(_outboundLoop);
    // Waits until the loop runs: a request accepted right away can connect.
    EventLoop::WaitForEventLoopStarted(_outboundLoop, *_outboundThread);

    ListenerSpecification listener = listenerSpecification();
    if (listener.useSsl && !_sslContextReady) return;
    auto bound = _boundSockets.find(listener.port);
    if (bound == _boundSockets.end()) {
        s_log.error("Could not accept on :%u", listener.port);
        return;
    }
    PollableDescriptorRef socket = bound->second;
    std::unique_ptr<AsyncFwdChannelAcceptor> acceptor = addListener(_listeningLoop, _sslContext);
    if (acceptor) {
        acceptor->listen(socket);
        _acceptors.push_back(std::move(acceptor));
    }
    s_log.info("Accepting connections on %u%s", _fwdProxyPort, listener.useSsl ? " for SSL" : "");
    _acceptorsSetUp = true;
}

void TLSProxy::createPools() {
    InThreadFunction<void> create([this] { FwdClientConnectionPoolTable::instance().createPools(_outboundLoop); });
    _outboundLoop.runInThread(&create, true);
}

void TLSProxy::run() {
    _listeningLoop.addTimeout(&_startedTimer, 0);
    _listeningLoop.addTimeout(&_summaryTimer, summaryIntervalMs());
    _listeningLoop.run();
}

void TLSProxy::destroyAcceptors() {
    for (auto& acceptor : _acceptors) acceptor.reset();
    _acceptors.clear();
}

bool TLSProxy::started() {
    platform::CriticalSectionGuard guard(_lock);
    return _started;
}

void TLSProxy::shutdown() {
    s_log.debug("terminate TLSProxy");
    // Before the channels go: their connections end as stopped, not as gone daemons.
    FwdClientConnection::setProxyStopping(true);
    const std::vector<TcpChannelLoop*>& subordinates = _listeningLoop.subordinates();
    if (_acceptorsSetUp) {
        for (auto& acceptor : _acceptors) acceptor->stopListening();
        terminateAllChannels(_listeningLoop);
        for (TcpChannelLoop* loop : subordinates) {
            InThreadFunction<void> terminate([loop] { terminateAllChannels(*loop); });
            loop->runInThread(&terminate, true);
        }
    }
    for (TcpChannelLoop* loop : subordinates) loop->stop();
    _listeningLoop.stop();
    _outboundLoop.stop();
    if (_outboundThread) _outboundThread->joinOrCancel();
    // Counted after every connection has ended, so the last outcomes are in.
    _listeningLoop.removeTimeout(&_summaryTimer);
    logSummary(true);
}

void TLSProxy::logSummary(bool final) {
    ProxyStats::Snapshot now = ProxyStats::instance().snapshot();
    if (!final && !now.changedSince(_lastSummary)) return;
    _lastSummary = now;
    if (!s_statsLog.isEnabledFor(LogLevel::Info)) return;
    std::string line =
        ProxyStats::summaryLine(final ? "final summary" : "summary", now, ProxyStats::ProcessFigures::current());
    s_statsLog.write(LogLevel::Info, line);
}

}  // namespace morvex
