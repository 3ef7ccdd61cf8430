#include "tls/ssl_library.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>

#include "tls/cert_check.h"
#include "tls/server_config.h"
#include "util/logger.h"
#include "util/thread_scoped_ssl.h"

namespace morvex {

namespace {

Logger s_log("SslLibrary");

struct TlsState {
    std::mutex lock;  // the process-wide TLS lock
    std::atomic<bool> initialized{false};
    std::atomic<bool> fips{false};
    std::atomic<bool> commonCriteria{false};
    SslLibrary::Modes modes;
    std::atomic<std::int64_t> serverSessionTimeoutMs{300000};
    std::atomic<std::uint32_t> serverHandshakeTimeoutMs{60000};
    SslLibrary::ClientSessionCacheSettings sessionCache;  // under lock
    std::atomic<bool> sessionCacheEnabled{false};
    std::atomic<SslVerifyHook> clientHook{&CertificateChecks::verifyServerCertificate};
    std::atomic<SslVerifyHook> serverHook{&CertificateChecks::verifyClientCertificate};
    int ctxVerifyNameIndex = -1;
    int sslSessionIndex = -1;
};

// Never destroyed: sessions may be released from static destructors.
TlsState& state() {
    static TlsState* s = new TlsState;
    return *s;
}

}  // namespace

void SslLibrary::setModes(const Modes& modes) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().modes = modes;
}

void SslLibrary::configure(const ServerConfig& config) {
    Modes modes;
    modes.fips = config.fipsMode();
    modes.commonCriteria = config.commonCriteriaMode();
    setModes(modes);
    setCommonCriteriaMode(modes.commonCriteria);
    const bool crl =
        config.sslServerOptions().certStatusValidationMethod == SslContextOptions::CertStatusValidationMethod::Crl;
    CertificateChecks::setCrlValidation(crl);
    if (!config.crlPath().empty()) {
        CertificateChecks::loadRevocationStore(config.crlPath());
    } else if (crl || modes.commonCriteria) {
        s_log.warn(
            "server.conf/[sslConfig]/crlPath is not set: revocation of peer certificates is not checked although "
            "certificateStatusValidationMethod = crl or commonCriteriaMode asks for it");
    }

    // The proxy's own server context takes its session lifetime and its
    // handshake time-out from [sslConfig].
    setServerSessionTimeoutMs(config.serverSessionTimeoutMs());
    setServerHandshakeTimeoutMs(config.serverHandshakeTimeoutMs());
    // The client session cache belongs to the main daemon: this process
    // never writes sessions, and resuming by host and port alone would let
    // one request type skip the certificate checks of a stricter one.
    if (config.useClientSessionCache() || !config.clientSessionPath().empty()) {
        s_log.warn(
            "server.conf/[sslConfig]/useSslClientSessionCache and sslClientSessionPath are not used by the TLS "
            "proxy: it reads and writes no session files; %s",
            config.clientSessionReuse()
                ? "outbound sessions are resumed from memory per request type and destination instead "
                  "(sslClientSessionReuse)"
                : "outbound sessions are not resumed (sslClientSessionReuse = false)");
    }
}

void SslLibrary::initialize() {
    TlsState& st = state();
    if (st.initialized.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(st.lock);
    if (st.initialized.load(std::memory_order_relaxed)) return;

    // OpenSSL 3 allocates from the process heap and locks internally, so
    // neither allocator hooks nor locking callbacks are installed here.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    st.ctxVerifyNameIndex = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    st.sslSessionIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);

    st.commonCriteria.store(st.modes.commonCriteria, std::memory_order_relaxed);
    if (st.modes.pythonHttpsVerifyDisabled) {
        s_log.warn(
            "PYTHONHTTPSVERIFY is set to 0 in morvex-launch.conf disabling certificate validation for the httplib and "
            "urllib libraries shipped with the embedded Python interpreter; must be set to \"1\" for increased "
            "security");
    }
    if (st.modes.fips) {
        ERR_clear_error();
        if (OSSL_PROVIDER_load(nullptr, "fips") == nullptr || !EVP_default_properties_enable_fips(nullptr, 1)) {
            throw BaseException("Can't enable FIPS support: " + drainErrorQueue());
        }
        s_log.info("Enabled FIPS cryptography module");
        st.fips.store(true, std::memory_order_relaxed);
    }
    setSslLibraryInitialized(true);  // threads free their error queues from now on
    st.initialized.store(true, std::memory_order_release);
}

bool SslLibrary::initialized() noexcept {
    return state().initialized.load(std::memory_order_acquire);
}
bool SslLibrary::fipsMode() noexcept {
    return state().fips.load(std::memory_order_relaxed);
}
bool SslLibrary::commonCriteriaMode() noexcept {
    return state().commonCriteria.load(std::memory_order_relaxed);
}
void SslLibrary::setCommonCriteriaMode(bool on) noexcept {
    state().commonCriteria.store(on, std::memory_order_relaxed);
}

std::mutex& SslLibrary::lock() noexcept {
    return state().lock;
}

std::int64_t SslLibrary::serverSessionTimeoutMs() noexcept {
    return state().serverSessionTimeoutMs.load(std::memory_order_relaxed);
}
void SslLibrary::setServerSessionTimeoutMs(std::int64_t ms) noexcept {
    state().serverSessionTimeoutMs.store(ms, std::memory_order_relaxed);
}

std::uint32_t SslLibrary::serverHandshakeTimeoutMs() noexcept {
    return state().serverHandshakeTimeoutMs.load(std::memory_order_relaxed);
}
void SslLibrary::setServerHandshakeTimeoutMs(std::uint32_t ms) noexcept {
    state().serverHandshakeTimeoutMs.store(ms == 0 ? 60000 : ms, std::memory_order_relaxed);
}

void SslLibrary::setClientSessionCache(const ClientSessionCacheSettings& settings) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().sessionCache = settings;
    state().sessionCacheEnabled.store(settings.enabled, std::memory_order_relaxed);
}

bool SslLibrary::clientSessionCacheEnabled() noexcept {
    return state().sessionCacheEnabled.load(std::memory_order_relaxed);
}

SslLibrary::ClientSessionCacheSettings SslLibrary::clientSessionCache() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().sessionCache;
}

void SslLibrary::setVerifyHooks(SslVerifyHook clientContextHook, SslVerifyHook serverContextHook) noexcept {
    state().clientHook.store(clientContextHook);
    state().serverHook.store(serverContextHook);
}
SslVerifyHook SslLibrary::clientContextVerifyHook() noexcept {
    return state().clientHook.load();
}
SslVerifyHook SslLibrary::serverContextVerifyHook() noexcept {
    return state().serverHook.load();
}

std::string SslLibrary::errorText(unsigned long code) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return "SSL error code=" + std::to_string(code) + " message=\"" + text + "\"";
}

std::string SslLibrary::queueErrorText() {
    return errorText(ERR_peek_error());
}

std::string SslLibrary::drainErrorQueue() {
    std::string out;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        if (!out.empty()) out += "; ";
        out += errorText(code);
    }
    return out.empty() ? errorText(0) : out;
}

int SslLibrary::ctxVerifyNameIndex() noexcept {
    return state().ctxVerifyNameIndex;
}
int SslLibrary::sslSessionIndex() noexcept {
    return state().sslSessionIndex;
}

}  // namespace morvex
