// The proxy's own certificate: one PEM file holding the certificate chain
// and the (encrypted) private key, provided by the daemon at
// <settings dir>/auth/server_tlsproxy.pem. The proxy never creates it.
#pragma once

#include <optional>
#include <string>

#include "tls/ssl_context_options.h"

namespace morvex {

class ServerConfig;

// <settingsDir>/auth/server_tlsproxy.pem
std::string proxyCertificatePath(const std::string& settingsDir);

// The proxy's server options: ServerConfig's server options with the proxy
// certificate as certFile and privateKeyFile, no root CA or CA file, no
// client verification, and `privateKeyPassword` (from the start-up
// document). Logs "TLS proxy certificate is missing or invalid <path>" at
// ERROR and gives nullopt when no file exists at the path.
std::optional<SslServerContextOptions> proxyServerOptions(const ServerConfig& config,
                                                          const std::string& privateKeyPassword);
// Same, with ServerConfig::instance().
std::optional<SslServerContextOptions> proxyServerOptions(const std::string& privateKeyPassword);

}  // namespace morvex
