// TLSProxy: the proxy object. It owns the listening channel loop (run by the
// main thread), the outbound loop and its thread, the listening socket and
// the acceptors, and brings them up and down in order.
//
// Bring-up (main thread): configure, loadTlsSettings, then
// initializeSslContext, bindPorts and setupAcceptors (each even after an
// earlier failed), createPools; isUp() tells whether all three worked. run()
// then serves until shutdown() (posted to the listening loop) stops it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/pollable_descriptor.h"
#include "net/tcp_channel_loop.h"
#include "net/tcp_outbound.h"
#include "net/timeout.h"
#include "platform/sync.h"
#include "tls/ssl_context.h"
#include "tls/ssl_context_options.h"
#include "tlsd/proxy_stats.h"

namespace morvex {

class AsyncFwdChannelAcceptor;
class OutboundConnectionThread;
class TLSProxyConfig;

struct ListenerSpecification {
    std::string host;
    std::uint32_t port = 0;
    bool useSsl = false;
};

class TLSProxy {
public:
    static constexpr std::uint32_t kPortUnset = 0xFFFFFFFF;
    static constexpr int kListenBacklog = 0x7FFFFFFF;

    // Marks the proxy started once the listening loop runs.
    class set_started : public OneShotTimeout {
    public:
        explicit set_started(TLSProxy& proxy) noexcept : _proxy(proxy) {}
        void callback() override;

    private:
        TLSProxy& _proxy;
    };

    // Writes the summary line every period while anything was counted.
    class SummaryTimer : public PeriodicTimeout {
    public:
        explicit SummaryTimer(TLSProxy& proxy) noexcept : _proxy(proxy) {}
        void callback() override;

    private:
        TLSProxy& _proxy;
    };

    static constexpr std::uint64_t kSummaryIntervalMs = 60000;

    TLSProxy();
    virtual ~TLSProxy();
    TLSProxy(const TLSProxy&) = delete;
    TLSProxy& operator=(const TLSProxy&) = delete;

    // --- virtual operations ---

    // Makes the acceptor for the listening socket (forward proxy only; null
    // otherwise).
    virtual std::unique_ptr<AsyncFwdChannelAcceptor> addListener(TcpChannelLoop& loop,
                                                                 const SharedSslServerContext& sslContext);
    // Logs "TLSProxy is started".
    virtual void onStarted();
    virtual ListenerSpecification listenerSpecification() const = 0;
    // Period of the summary line; a seam for tests that cannot wait a minute.
    virtual std::uint64_t summaryIntervalMs() const { return kSummaryIntervalMs; }

    // --- bring-up (main thread) ---

    // Copies port, token, key password and the valid flag of a judged record.
    void configure(const TLSProxyConfig& config);
    // Loads the proxy's TLS server settings (certificate file and key
    // password); false when they cannot be used.
    bool loadTlsSettings();
    void initializeSslContext();
    void bindPorts();
    void setupAcceptors();
    // One connection pool per request type, on the outbound loop.
    void createPools();
    bool isUp() const noexcept { return _sslContextInitialized && _portsBound && _acceptorsSetUp; }

    bool sslContextInitialized() const noexcept { return _sslContextInitialized; }
    bool portsBound() const noexcept { return _portsBound; }
    bool acceptorsSetUp() const noexcept { return _acceptorsSetUp; }

    // --- running ---

    // Arms the started timer and runs the listening loop until it stops.
    void run();
    // After run(): destroys the acceptors, joining their I/O threads.
    void destroyAcceptors();
    // Under the proxy's lock.
    bool started();
    // The shutdown sequence; runs on the listening loop's thread. Ends with
    // the final summary line.
    void shutdown();
    // Writes "summary ..." (periodic: only when something was counted since
    // the last one) or "final summary ..." on the channel "TLSProxyStats".
    // Listening loop's thread.
    void logSummary(bool final);

    TcpChannelLoop& listeningLoop() noexcept { return _listeningLoop; }
    TcpOutboundLoop& outboundLoop() noexcept { return _outboundLoop; }
    std::uint32_t port() const noexcept { return _fwdProxyPort; }

protected:
    bool _forwardProxy = false;

private:
    bool _sslContextInitialized = false;
    bool _portsBound = false;
    bool _acceptorsSetUp = false;
    SharedSslServerContext _sslContext;
    bool _sslContextReady = false;
    std::optional<SslServerContextOptions> _serverOptions;
    std::uint32_t _fwdProxyPort = kPortUnset;
    std::string _token;
    std::string _privateKeyPassword;
    bool _configValid = false;
    TcpChannelLoop _listeningLoop;
    TcpOutboundLoop _outboundLoop;
    std::unique_ptr<OutboundConnectionThread> _outboundThread;
    platform::CriticalSection _lock;
    bool _started = false;  // _lock
    std::vector<std::unique_ptr<AsyncFwdChannelAcceptor>> _acceptors;
    std::map<std::uint32_t, PollableDescriptorRef> _boundSockets;
    set_started _startedTimer;
    SummaryTimer _summaryTimer;
    ProxyStats::Snapshot _lastSummary;  // listening loop's thread
};

}  // namespace morvex
