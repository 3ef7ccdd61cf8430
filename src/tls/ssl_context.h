// TLS contexts: one configured library context (client or server side) and
// the shared, reference-counted server context handed to every accepted
// connection.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "tls/client_session_store.h"
#include "tls/ssl_context_options.h"
#include "tls/ssl_library.h"

namespace morvex {

class SslContext {
public:
    SslContext() = default;
    ~SslContext();
    SslContext(const SslContext&) = delete;
    SslContext& operator=(const SslContext&) = delete;

    // Builds a client context. Returns false when the build failed; the
    // exception's text (SslInitException, or the library start failing) has
    // then been logged as an error and the object stays empty.
    bool initClient(const SslClientContextOptions& options);
    // Builds a server context; throws SslInitException (or BaseException
    // when the library cannot start) on failure.
    void initServer(const SslServerContextOptions& options);

    SSL_CTX* handle() const noexcept { return _ctx; }
    bool isServer() const noexcept { return _server; }
    const std::string& cipherList() const noexcept { return _cipherList; }
    const std::string& curveList() const noexcept { return _curveList; }
    const std::string& commonNameToCheck() const noexcept { return _commonNameToCheck; }
    const std::string& altNameToCheck() const noexcept { return _altNameToCheck; }
    bool verifyPeer() const noexcept { return _verifyPeer; }
    bool verifyServerName() const noexcept { return _verifyServerName; }
    bool allowRenegotiation() const noexcept { return _allowRenegotiation; }
    // Server contexts: whether peers may renegotiate (sessions created
    // afterwards). Refused renegotiation is refused by the library itself.
    void setAllowRenegotiation(bool allow) noexcept;

    // Client contexts: the in-memory store of sessions to resume (lives as
    // long as the context); null for a server context or an empty one.
    ClientSessionStore* clientSessionStore() const noexcept { return _sessionStore.get(); }

    // The context's own certificate (not owned), or null.
    X509* certificate() const noexcept;

private:
    void build(const SslContextOptions& options, bool server, bool verifyPeer, bool verifyServerName);
    void loadTrustStores(const SslContextOptions& options, bool server);
    bool loadOsTrustStore(bool server);
    void applyCurves(const std::string& curves, bool server);
    void applyServerSettings(const SslServerContextOptions& options);
    bool loadDhParameters(const std::string& path);

    SSL_CTX* _ctx = nullptr;
    bool _server = false;
    std::string _cipherList;
    std::string _curveList;
    std::string _commonNameToCheck;
    std::string _altNameToCheck;
    std::string _passPhrase;
    bool _verifyPeer = false;
    bool _verifyServerName = false;
    bool _allowRenegotiation = true;
    std::unique_ptr<ClientSessionStore> _sessionStore;
};

// A handle on a server context that lives as long as any copy of the handle.
// Copies are cheap (a shared pointer and a flag) and may cross threads; the
// context is read-only once built.
class SharedSslServerContext {
public:
    SharedSslServerContext() = default;  // invalid
    // Builds the context from the options (moved in). Throws SslInitException.
    static SharedSslServerContext create(SslServerContextOptions&& options);

    bool valid() const noexcept { return _valid; }
    explicit operator bool() const noexcept { return _valid; }
    const SslContext& context() const noexcept;
    const SslServerContextOptions& options() const noexcept;
    long useCount() const noexcept { return _shared.use_count(); }

private:
    struct Shared;
    std::shared_ptr<Shared> _shared;
    bool _valid = false;
};

// The proxy's start-up step "Initializing SSL Context": builds the server
// context from the options and logs the certificate information line. On
// success returns true and fills handle; on failure logs "Error setting up
// SSL for the TLS proxy server. ..." and returns false.
bool initializeProxySslContext(SslServerContextOptions&& options, SharedSslServerContext& handle);

// The certificate information line: "channel=<channel>, subject="...",
// subjectAltName="...", serial=..., notValidBefore=..., notValidAfter=...,
// issuer="...", sha256-fingerprint=...".
std::string certificateInfoLine(const std::string& channel, X509* cert);

}  // namespace morvex
