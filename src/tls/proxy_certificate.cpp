#include "tls/proxy_certificate.h"

#include <sys/stat.h>

#include "tls/server_config.h"
#include "util/logger.h"
#include "util/pathname.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

}  // namespace

std::string proxyCertificatePath(const std::string& settingsDir) {
    return Pathname(settingsDir).joined("auth", "server_tlsproxy.pem").str();
}

std::optional<SslServerContextOptions> proxyServerOptions(const ServerConfig& config,
                                                          const std::string& privateKeyPassword) {
    SslServerContextOptions options = config.sslServerOptions();
    options.certFile = proxyCertificatePath(config.settingsDir());
    options.privateKeyFile = options.certFile;
    options.rootCAPath.clear();
    options.caCertFile.clear();
    options.shouldVerifyClientCert = false;
    options.privateKeyPassword = privateKeyPassword;

    struct stat st {};
    if (::stat(options.certFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        s_log.error("TLS proxy certificate is missing or invalid %s", options.certFile.c_str());
        return std::nullopt;
    }
    return options;
}

std::optional<SslServerContextOptions> proxyServerOptions(const std::string& privateKeyPassword) {
    return proxyServerOptions(ServerConfig::instance(), privateKeyPassword);
}

}  // namespace morvex
