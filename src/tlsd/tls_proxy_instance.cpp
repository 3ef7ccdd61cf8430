#include "tlsd/tls_proxy_instance.h"

#include "net/socket_ops.h"
#include "tls/server_config.h"
#include "tls/ssl_library.h"
#include "tlsd/tlsproxy_config.h"
#include "util/base_exception.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("TLSProxy");
}

void TLSServerShutdownCallback::callback() {
    _instance.proxy().shutdown();
}

TLSProxyInstance& TLSProxyInstance::instance() {
    static auto* instance = new TLSProxyInstance();
    return *instance;
}

TLSProxyInstance::TLSProxyInstance() : _shutdownCallback(*this), _proxy(std::make_unique<ForwardProxy>()) {}

TLSProxyInstance::~TLSProxyInstance() = default;

bool TLSProxyInstance::start(const std::string& document) {
    s_log.info("Starting TLSProxyInstance...");
    // Every connection costs descriptors on both sides: take all the system allows.
    s_log.info("Open descriptor limit: %llu", static_cast<unsigned long long>(raiseDescriptorLimit()));
    // The FIPS, Common Criteria and revocation switches must be in place
    // before the first context is built.
    SslLibrary::configure(ServerConfig::instance());

    TLSProxyConfig config;
    config.read(document);
    if (!config.judge()) {
        s_log.error("Failed to start TLS proxy server due to bad config.");
        return false;
    }
    TLSProxy& proxy = *_proxy;
    proxy.configure(config);
    if (!proxy.loadTlsSettings()) {
        s_log.error("Failed to load TLS configuration for TLS proxy server initialization");
        return false;
    }

    std::string errorText;
    bool up = false;
    try {
        if (!proxy.sslContextInitialized()) proxy.initializeSslContext();
        if (!proxy.portsBound()) proxy.bindPorts();
        if (!proxy.acceptorsSetUp()) proxy.setupAcceptors();
        proxy.createPools();
        up = proxy.isUp();
        s_log.info("TLS proxy server initialization status: %s", up ? "success" : "fail");
    } catch (const BaseException& e) {
        errorText += " Exception: ";
        errorText += e.what();
        up = false;
    }

    MSignalHandlerRegistry& registry = MSignalHandlerRegistry::instance();
    registry.registerHandler(this, kSignalPriority);
    if (!up) {
        s_log.error("Failed to start TLS proxy server due to initialization failure. %s", errorText.c_str());
        return false;
    }

    {
        // SIGINT and SIGTERM reach the registry while the proxy runs.
        ShutdownSignalDispatcher dispatcher(registry);
        proxy.run();
    }
    proxy.destroyAcceptors();
    s_log.info("Shutting down TLSProxyInstance");
    return true;
}

bool TLSProxyInstance::handleShutdownSignal() {
    s_log.debug("Received a signal to shutdown TLS proxy server");
    if (_shutdownRequested.exchange(true)) return true;
    if (!_proxy->started()) return true;
    _proxy->listeningLoop().runInThread(&_shutdownCallback, true);
    return true;
}

}  // namespace morvex
