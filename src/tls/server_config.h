// ServerConfig: the process-wide server configuration. At construction it
// reads the TLS settings of server.conf stanza [sslConfig] into one server
// and one client option set; both stay unchanged afterwards. It also hands
// out the option sets that the proxy's contexts are built from.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tls/client_request_type.h"
#include "tls/ssl_context_options.h"
#include "tls/ssl_options_loader.h"
#include "util/config_store.h"

namespace morvex {

class ServerConfig {
public:
    // Everything the construction needs from the process; instance() fills it
    // from the process environment, tests fill it themselves.
    struct Setup {
        std::string homeDir;      // the product's home directory
        std::string settingsDir;  // the settings directory (home/etc unless configured)
        // The main daemon's process kind: enables the deprecation and
        // invalid-value warnings of the loader. Never the case in the proxy.
        bool mainDaemonProcess = false;
        // A utility process skips building its own client context and keeps
        // the TLS layer's default session settings. The proxy is one.
        bool utilityProcess = true;
        // Non-utility processes only: builds ServerConfig's own client context
        // and applies the session settings (serverSessionTimeoutMs(),
        // clientSessionPath(), useClientSessionCache()) to the TLS layer;
        // returns false on failure.
        std::function<bool(const ServerConfig&)> initClientContext;
    };

    // The process-wide instance, built on first use (thread-safe) from the
    // process environment and never destroyed.
    static ServerConfig& instance();

    explicit ServerConfig(Setup setup);
    ServerConfig(const ServerConfig&) = delete;
    ServerConfig& operator=(const ServerConfig&) = delete;

    const SslServerContextOptions& sslServerOptions() const noexcept { return _serverOptions; }
    const SslClientContextOptions& sslClientOptions() const noexcept { return _clientOptions; }
    // True when [sslConfig] was present and both kinds loaded without error.
    // After a failed load the option sets still hold every key that was
    // readable.
    bool sslConfigLoaded() const noexcept { return _sslConfigLoaded; }

    const ConfigStore& configStore() const noexcept { return *_store; }
    const std::string& homeDir() const noexcept { return _setup.homeDir; }
    const std::string& settingsDir() const noexcept { return _setup.settingsDir; }
    bool mainDaemonProcess() const noexcept { return _setup.mainDaemonProcess; }

    // Process-wide switches read from server.conf [sslConfig] (boolean
    // words, default false / empty): fipsMode, commonCriteriaMode, crlPath.
    // A switch that is not a boolean word keeps its default, with a warning
    // naming file, stanza, key, value and the default.
    bool fipsMode() const noexcept { return _fipsMode; }
    bool commonCriteriaMode() const noexcept { return _commonCriteriaMode; }
    const std::string& crlPath() const noexcept { return _crlPath; }
    // sslClientSessionReuse (boolean word, default true): outbound TLS
    // sessions are kept in memory and resumed on the next connection to the
    // same destination. Construction applies it to ClientSessionStore.
    bool clientSessionReuse() const noexcept { return _clientSessionReuse; }

    // Session settings for the TLS layer: the server session timeout in ms
    // (300000 when sslServerSessionTimeout is unset), the client session
    // cache directory and switch.
    std::int64_t serverSessionTimeoutMs() const noexcept;
    // The time allowed for an inbound handshake: sslServerHandshakeTimeout,
    // 60000 ms when unset.
    std::uint32_t serverHandshakeTimeoutMs() const noexcept;
    const std::string& clientSessionPath() const noexcept { return _clientOptions.sslClientSessionPath; }
    bool useClientSessionCache() const noexcept { return _clientOptions.useSslClientSessionCache; }

    // The client options of a request type; nullopt when that type carries
    // no TLS of the proxy's own or its settings could not be loaded.
    std::optional<SslClientContextOptions> clientOptionsFor(ClientRequestType type) const;

private:
    // The loader's view of this process; sslPassword values in the
    // encrypted form are decrypted with the instance secret.
    SslOptionsLoadEnv loadEnv() const;
    void loadSslConfig();
    void completeClientOptions();
    void logComplianceIfNeeded(const SslClientContextOptions& options, const std::string& confName,
                               const std::string& stanza) const;

    Setup _setup;
    std::unique_ptr<ConfigStore> _store;
    SslServerContextOptions _serverOptions;
    SslClientContextOptions _clientOptions;
    bool _sslConfigLoaded = false;
    bool _fipsMode = false;
    bool _commonCriteriaMode = false;
    std::string _crlPath;
    bool _clientSessionReuse = true;
};

}  // namespace morvex
