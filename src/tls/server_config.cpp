#include "tls/server_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "tls/client_session_store.h"
#include "tls/ssl_options_loader.h"
#include "tls/ssl_password_crypt.h"
#include "util/logger.h"
#include "util/pathname.h"
#include "util/process_environment.h"

namespace morvex {

namespace {

Logger s_log("ServerConfig");

constexpr std::int64_t kDefaultServerSessionTimeoutMs = 300000;
constexpr std::uint32_t kDefaultServerHandshakeTimeoutMs = 60000;

// Copies `from` into `to` when `to` is empty.
void fillIfEmpty(std::string& to, const std::string& from) {
    if (to.empty()) to = from;
}

// The rules a stanza must meet in Common Criteria mode; empty when it does.
std::vector<std::string> complianceProblems(const SslClientContextOptions& o) {
    std::vector<std::string> reasons;
    if (!o.shouldVerifyServerCert) reasons.emplace_back("sslVerifyServerCert must be true");
    if (!o.shouldVerifyServerName) reasons.emplace_back("sslVerifyServerName must be true");
    if (o.sslVersions & ~(SslVersion::TLS1_2 | SslVersion::TLS1_3)) {
        reasons.emplace_back("sslVersions must be tls1.2");
    }
    if (o.sslVersions == 0) reasons.emplace_back("sslVersions must not be empty");
    return reasons;
}

}  // namespace

ServerConfig& ServerConfig::instance() {
    // Never destroyed: other process-wide objects may use it during exit.
    static ServerConfig* const s_instance = [] {
        const ProcessEnvironment& env = ProcessEnvironment::instance();
        Setup setup;
        setup.homeDir = env.homeDirectory().str();
        setup.settingsDir = env.settingsDirectory().str();
        return new ServerConfig(std::move(setup));
    }();
    return *s_instance;
}

ServerConfig::ServerConfig(Setup setup)
    : _setup(std::move(setup)), _store(std::make_unique<ConfigStore>(_setup.settingsDir)) {
    _fipsMode = readBooleanSwitch(*_store, "server", "sslConfig", "fipsMode", false);
    _commonCriteriaMode = readBooleanSwitch(*_store, "server", "sslConfig", "commonCriteriaMode", false);
    if (auto v = _store->value("server", "sslConfig", "crlPath")) _crlPath = *v;
    _clientSessionReuse = readBooleanSwitch(*_store, "server", "sslConfig", "sslClientSessionReuse", true);
    ClientSessionStore::setEnabled(_clientSessionReuse);
    if (!_clientSessionReuse) s_log.info("Outbound TLS session reuse is off (sslClientSessionReuse)");
    loadSslConfig();
}

std::uint32_t ServerConfig::serverHandshakeTimeoutMs() const noexcept {
    const std::int64_t ms = _serverOptions.sslServerHandshakeTimeout;
    if (ms <= 0) return kDefaultServerHandshakeTimeoutMs;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(ms);
}

SslOptionsLoadEnv ServerConfig::loadEnv() const {
    SslOptionsLoadEnv env;
    env.settingsDir = _setup.settingsDir;
    env.homeDir = _setup.homeDir;
    env.mainDaemonProcess = _setup.mainDaemonProcess;
    const std::string secretPath = instanceSecretPath(_setup.settingsDir);
    // Loads that share this env read the same stanza for both kinds: the
    // secret is read, and a failure reported, once.
    auto decrypted = std::make_shared<std::map<std::string, std::optional<std::string>>>();
    env.decryptPassword = [secretPath, decrypted](const std::string& value) -> std::optional<std::string> {
        if (auto known = decrypted->find(value); known != decrypted->end()) return known->second;
        std::optional<std::string> secret = readInstanceSecret(secretPath);
        std::optional<std::string> plain;
        if (!secret) {
            s_log.error("No usable instance secret in %s to decrypt an sslPassword", secretPath.c_str());
        } else {
            plain = decryptSslPassword(value, *secret);
        }
        decrypted->emplace(value, plain);
        return plain;
    };
    env.reportedFailures = std::make_shared<std::set<std::string>>();
    return env;
}

std::int64_t ServerConfig::serverSessionTimeoutMs() const noexcept {
    return _serverOptions.sslServerSessionTimeout < 0 ? kDefaultServerSessionTimeoutMs
                                                      : _serverOptions.sslServerSessionTimeout;
}

void ServerConfig::loadSslConfig() {
    if (!_store->hasStanza("server", "sslConfig")) {
        s_log.info("No SSL configuration present, assuming SSL using defaults.");
        return;
    }
    const SslOptionsLoadEnv env = loadEnv();
    // Both kinds are read even when one fails: a failed load has read every
    // key but the failing one, and what does not need that value keeps
    // working (a password that cannot be decrypted stays empty).
    const bool serverLoaded = loadSslServerOptions(*_store, "server", "sslConfig", _serverOptions, env);
    const bool clientLoaded = loadSslClientOptions(*_store, "server", "sslConfig", _clientOptions, env);
    completeClientOptions();
    if (!serverLoaded || !clientLoaded) {
        s_log.error("unable to load SSL settings");
        return;
    }
    _sslConfigLoaded = true;

    struct stat st {};
    if (::stat(_serverOptions.certFile.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        s_log.info(
            "No '%s' certificate found.  Morvexd communication will not work without this.  If this is a fresh "
            "installation, this should be OK.",
            _serverOptions.certFile.c_str());
        return;
    }
    if (_setup.utilityProcess) {
        s_log.info("Skipping SslClientContext init for utility process");
        return;
    }
    if (!_setup.initClientContext || !_setup.initClientContext(*this)) {
        s_log.error("Couldn't initialize SSL Context for HTTPClient in ServerConfig");
        return;
    }
    s_log.infoStream() << "SSL session cache path " << clientSessionPath() << " enabled "
                       << (useClientSessionCache() ? "true" : "false") << " session timeout on SSL server "
                       << serverSessionTimeoutMs();
}

void ServerConfig::completeClientOptions() {
    SslClientContextOptions& c = _clientOptions;
    const SslServerContextOptions& s = _serverOptions;
    fillIfEmpty(c.rootCAPath, s.rootCAPath);
    fillIfEmpty(c.caCertFile, s.caCertFile);
    fillIfEmpty(c.certFile, s.certFile);
    fillIfEmpty(c.privateKeyFile, s.privateKeyFile);
    fillIfEmpty(c.caTrustStorePath, s.caTrustStorePath);
    fillIfEmpty(c.privateKeyPassword, s.privateKeyPassword);
    fillIfEmpty(c.commonNameToCheck, s.commonNameToCheck);
    fillIfEmpty(c.altNameToCheck, s.altNameToCheck);
    fillIfEmpty(c.cipherSuite, s.cipherSuite);
    fillIfEmpty(c.ecdhCurves, s.ecdhCurves);
    fillIfEmpty(c.caTrustStore, s.caTrustStore);
    fillIfEmpty(c.cipherSuitesTls13, s.cipherSuitesTls13);
    c.quietShutdown = s.quietShutdown;
    c.logCertificateData = s.logCertificateData;
    c.maxCertlogCacheEntries = s.maxCertlogCacheEntries;
    c.certLogRepeatFrequency = s.certLogRepeatFrequency;
}

void ServerConfig::logComplianceIfNeeded(const SslClientContextOptions& options, const std::string& confName,
                                         const std::string& stanza) const {
    if (!_commonCriteriaMode) return;
    std::vector<std::string> reasons = complianceProblems(options);
    if (reasons.empty()) {
        s_log.debug("Settings in stanza=%s, config=%s, are common criteria compliant. ", stanza.c_str(),
                    confName.c_str());
        return;
    }
    std::string joined;
    for (const std::string& r : reasons) {
        if (!joined.empty()) joined += ", ";
        joined += r;
    }
    s_log.error("Settings in stanza=%s, config=%s, are not common criteria compliant. Common Criteria Error - %s",
                stanza.c_str(), confName.c_str(), joined.c_str());
}

std::optional<SslClientContextOptions> ServerConfig::clientOptionsFor(ClientRequestType type) const {
    SslOptionsLoadEnv env = loadEnv();
    env.rootCADefaults = &_serverOptions;

    switch (type) {
        case ClientRequestType::DeploymentClient: {
            SslClientContextOptions options = _clientOptions;
            if (!loadSslClientOptions(*_store, "deploymentclient", "deployment-client", options, env)) {
                s_log.warn("Unable to use SSL configuration for Deployment Client connection");
                return std::nullopt;
            }
            logComplianceIfNeeded(options, "deploymentclient", "deployment-client");
            return options;
        }
        case ClientRequestType::MorvexBase: {
            SslClientContextOptions options;
            if (!loadSslClientOptions(*_store, "server", "applicationsManagement", options, env)) return std::nullopt;
            logComplianceIfNeeded(options, "server", "applicationsManagement");
            return options;
        }
        case ClientRequestType::Telemetry: {
            SslClientContextOptions options = _clientOptions;
            options.shouldVerifyServerCert = true;
            options.shouldVerifyServerName = true;
            options.rootCAPath = Pathname(_setup.settingsDir).joined("auth", "appsCA.pem").str();
            options.caCertFile = options.rootCAPath;
            return options;
        }
        case ClientRequestType::Morvexd:
            return _clientOptions;
        default:
            return std::nullopt;
    }
}

}  // namespace morvex
