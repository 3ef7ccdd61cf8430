// Process-wide TLS state: one-time library initialisation, the mode
// switches (FIPS, Common Criteria), the server session timeout, the client
// session cache settings and the two certificate verification hooks.
//
// Everything here is shared by all threads. The process-wide TLS lock
// (SslLibrary::lock()) guards initialisation, the release of library
// sessions and the client session cache.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "tls/ssl_context_options.h"  // SslInitException

namespace morvex {

class ServerConfig;

// The OpenSSL verify callback signature (preverify result, store context).
using SslVerifyHook = int (*)(int preverifyOk, X509_STORE_CTX* storeCtx);

class SslLibrary {
public:
    // Mode switches the library start reads. Set them before the first
    // initialize(); FIPS mode in particular cannot be left again.
    struct Modes {
        bool fips = false;
        bool commonCriteria = false;
        bool pythonHttpsVerifyDisabled = false;  // the launch configuration's PYTHONHTTPSVERIFY=0
    };
    static void setModes(const Modes& modes);

    // Applies the server configuration's TLS switches: FIPS and Common
    // Criteria modes (for the next initialize()), revocation checking when
    // the certificate status validation method is "crl", the revocation
    // store from its CRL path, the server session timeout and the inbound
    // handshake time-out. Logs once what is asked for but not done here
    // (revocation without a CRL path, the client session cache keys). Call
    // once at start, before building contexts.
    static void configure(const ServerConfig& config);

    // Initialises the library once per process; later calls return at once.
    // Throws BaseException "Can't enable FIPS support: ..." when FIPS mode is
    // asked for and the library cannot enter it.
    static void initialize();
    static bool initialized() noexcept;

    static bool fipsMode() noexcept;
    static bool commonCriteriaMode() noexcept;
    // Changes the Common Criteria switch after start; meant for tests and for
    // the configuration that owns the switch.
    static void setCommonCriteriaMode(bool on) noexcept;

    // The process-wide TLS lock.
    static std::mutex& lock() noexcept;

    // Server session timeout in milliseconds (300000 until configured).
    static std::int64_t serverSessionTimeoutMs() noexcept;
    static void setServerSessionTimeoutMs(std::int64_t ms) noexcept;
    // Time allowed for an inbound TLS handshake in milliseconds (60000 until
    // configured; 0 restores 60000). Read by the inbound channels.
    static std::uint32_t serverHandshakeTimeoutMs() noexcept;
    static void setServerHandshakeTimeoutMs(std::uint32_t ms) noexcept;

    // Client session cache: on/off and its directory (empty: memory only).
    // writeFiles is off in the proxy: it reads cached sessions from disk but
    // never writes them.
    struct ClientSessionCacheSettings {
        bool enabled = false;
        std::string directory;
        bool writeFiles = false;
    };
    static void setClientSessionCache(const ClientSessionCacheSettings& settings);
    static ClientSessionCacheSettings clientSessionCache();
    // The cache switch alone (no copy, no lock).
    static bool clientSessionCacheEnabled() noexcept;

    // Verification hooks installed into client contexts (they judge server
    // certificates) and server contexts (they judge client certificates).
    // Both default to the product's certificate checks (cert_check.h).
    static void setVerifyHooks(SslVerifyHook clientContextHook, SslVerifyHook serverContextHook) noexcept;
    static SslVerifyHook clientContextVerifyHook() noexcept;
    static SslVerifyHook serverContextVerifyHook() noexcept;

    // "SSL error code=<code> message="<text>"" for one library error code.
    static std::string errorText(unsigned long code);
    // The same for the first error in this thread's error queue (which is
    // left in place); "SSL error code=0 ..." when the queue is empty.
    static std::string queueErrorText();
    // All errors of the queue joined with "; " (the queue is emptied).
    static std::string drainErrorQueue();

    // Application data index on SSL_CTX holding the verify-server-name flag
    // (a bool*), and on SSL holding the SslSession*. Stable after initialize().
    static int ctxVerifyNameIndex() noexcept;
    static int sslSessionIndex() noexcept;
};

}  // namespace morvex
