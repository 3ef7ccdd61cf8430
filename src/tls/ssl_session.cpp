#include "tls/ssl_session.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "net/pollable_descriptor.h"
#include "platform/winsock.h"
#include "tls/cert_check.h"
#include "tls/client_session_store.h"
#include "tls/ssl_context.h"
#include "tls/ssl_library.h"
#include "tls/ssl_session_cache.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("SslSession");

// The socket BIO: reads and writes the descriptor's socket with the
// platform calls and turns WSAEWOULDBLOCK into the library's retry flags.
constexpr int kSocketBioType = 0x464;

struct SocketBioData {
    PollableDescriptor* descriptor;  // one counted reference
    int closeFlag;
    int lastError;  // Winsock code of the last failed recv/send, 0 after success or end of stream
};

SocketBioData* bioData(BIO* bio) {
    return static_cast<SocketBioData*>(BIO_get_data(bio));
}

int socketBioRead(BIO* bio, char* buf, int len) {
    BIO_clear_retry_flags(bio);
    SocketBioData* d = bioData(bio);
    const int n = platform::recv(d->descriptor->socket(), buf, len, 0);
    if (n < 0) {
        d->lastError = platform::WSAGetLastError();
        if (d->lastError == platform::WSAEWOULDBLOCK) BIO_set_retry_read(bio);
    } else {
        d->lastError = 0;
    }
    return n;
}

int socketBioWrite(BIO* bio, const char* buf, int len) {
    BIO_clear_retry_flags(bio);
    SocketBioData* d = bioData(bio);
    const int n = d->descriptor->send(buf, len);
    if (n < 0) {
        d->lastError = platform::WSAGetLastError();
        if (d->lastError == platform::WSAEWOULDBLOCK) BIO_set_retry_write(bio);
    } else {
        d->lastError = 0;
    }
    return n;
}

long socketBioCtrl(BIO* bio, int cmd, long num, void*) {
    SocketBioData* d = bioData(bio);
    switch (cmd) {
        case BIO_CTRL_GET_CLOSE:
            return d ? d->closeFlag : 0;
        case BIO_CTRL_SET_CLOSE:
            if (d) d->closeFlag = static_cast<int>(num);
            return 1;
        case BIO_CTRL_FLUSH:
        case BIO_CTRL_DUP:
            return 1;
        default:
            return 0;
    }
}

int socketBioDestroy(BIO* bio) {
    if (SocketBioData* d = bioData(bio)) {
        d->descriptor->release();
        delete d;
        BIO_set_data(bio, nullptr);
    }
    return 1;
}

BIO_METHOD* socketBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(kSocketBioType, "PollableDescriptor");
        BIO_meth_set_read(m, &socketBioRead);
        BIO_meth_set_write(m, &socketBioWrite);
        BIO_meth_set_ctrl(m, &socketBioCtrl);
        BIO_meth_set_destroy(m, &socketBioDestroy);
        return m;
    }();
    return method;
}

bool isLoopbackName(const std::string& host) {
    return host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "[::1]" || host == "0:0:0:0:0:0:0:1";
}

bool isNameMismatch(long code) {
    return code == X509_V_ERR_HOSTNAME_MISMATCH || code == X509_V_ERR_EMAIL_MISMATCH ||
           code == X509_V_ERR_IP_ADDRESS_MISMATCH;
}

}  // namespace

SslSession::~SslSession() {
    release();
}

void SslSession::setTarget(const std::string& host, std::uint32_t port) {
    _targetHost = host;
    _targetPort = port;
}

std::string SslSession::targetText() const {
    if (_targetHost.empty()) return {};
    return _targetHost + ":" + std::to_string(_targetPort);
}

bool SslSession::create(const SslContext& ctx, PollableDescriptor* descriptor) {
    if (_ssl != nullptr || ctx.handle() == nullptr || descriptor == nullptr) return false;
    BIO* bio = BIO_new(socketBioMethod());
    if (bio == nullptr) return false;
    descriptor->addRef();
    BIO_set_data(bio, new SocketBioData{descriptor, BIO_CLOSE, 0});
    BIO_set_init(bio, 1);

    _ssl = SSL_new(ctx.handle());
    if (_ssl == nullptr) {
        BIO_free(bio);  // drops the descriptor reference
        ERR_clear_error();
        return false;
    }
    SSL_set_ex_data(_ssl, SslLibrary::sslSessionIndex(), this);
    _allowRenegotiation = ctx.allowRenegotiation();
    _handshakeDone = false;
    _closed = false;
    _resumeOffered = false;
    dropStoredSessionState();
    SSL_set_info_callback(_ssl, &SslSession::infoCallback);
    SSL_set_bio(_ssl, bio, bio);
    SSL_set_mode(_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return true;
}

bool SslSession::createServer(const SslContext& ctx, PollableDescriptor* descriptor) {
    if (!create(ctx, descriptor)) return false;
    SSL_set_accept_state(_ssl);
    return true;
}

bool SslSession::createClient(const SslContext& ctx, PollableDescriptor* descriptor, const std::string& hostName) {
    if (!create(ctx, descriptor)) return false;
    SSL_set_connect_state(_ssl);
    // An answer streams in: one receive takes several records instead of
    // two receives (header, body) for each one.
    SSL_set_read_ahead(_ssl, 1);
    SSL_set_default_read_buffer_len(_ssl, kClientReadAheadBytes);
    if (!hostName.empty()) {
        if (SSL_set_tlsext_host_name(_ssl, hostName.c_str()) == 1) {
            s_log.debug("Enabled tlsext. Hostname set to %s", hostName.c_str());
        } else {
            ERR_clear_error();
            s_log.error("Could not set tlsext hostname to %s", hostName.c_str());
        }
    }
    _nameCheck = ctx.verifyServerName();
    _verifyPeer = ctx.verifyPeer();
    if (!_targetHost.empty() && !isLoopbackName(_targetHost)) {
        X509_VERIFY_PARAM* param = SSL_get0_param(_ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        bool stored = X509_VERIFY_PARAM_set1_ip_asc(param, _targetHost.c_str()) == 1;
        if (!stored) {
            ERR_clear_error();
            stored = X509_VERIFY_PARAM_set1_host(param, _targetHost.c_str(), 0) == 1;
        }
        if (!stored) {
            ERR_clear_error();
            s_log.error("Could not store verifyServerName into SSL context. Hostname set to %s", _targetHost.c_str());
            release();
            return false;
        }
        s_log.debug("Stored verifyServerName=%s into SSL context", _targetHost.c_str());
    }
    return true;
}

void SslSession::offerStoredSession(ClientSessionStore* store, std::string key) {
    if (_reuseOffered || _ssl == nullptr || store == nullptr || !ClientSessionStore::enabled()) return;
    // The on-disk cache, when on, owns resumption for this session.
    if (!_targetHost.empty() && SslLibrary::clientSessionCacheEnabled()) return;
    _reuseOffered = true;
    _reuseStore = store;
    _reuseKey = std::move(key);
    if (SSL_SESSION* stored = store->take(_reuseKey, &_offeredTrust)) {
        if (SSL_set_session(_ssl, stored) != 1) ERR_clear_error();
        SSL_SESSION_free(stored);
    }
}

void SslSession::acceptStoredSessions() {
    if (_reuseStore == nullptr || _reuseAccepted) return;
    _reuseAccepted = true;
    if (SSL_session_reused(_ssl)) {
        _reuseTrust = _offeredTrust;
    } else {
        _reuseStore->forget(_reuseKey);
        std::time_t validUntil = ClientSessionStore::kNoBound;
        if (_verifyPeer) {
            std::shared_ptr<const X509RevocationStore> crls;
            if (CertificateChecks::crlValidation() || SslLibrary::commonCriteriaMode()) {
                crls = CertificateChecks::revocationStore();
            }
            validUntil = ClientSessionStore::validUntilOf(SSL_get0_verified_chain(_ssl),
                                                          SSL_get0_peer_certificate(_ssl), crls.get());
        }
        _reuseTrust = _reuseStore->freshTrust(validUntil);
    }
    if (_reusePending != nullptr) {
        _reuseStore->put(_reuseKey, _reusePending, _reuseTrust);
        _reusePending = nullptr;
    }
}

int SslSession::newClientSessionCallback(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<SslSession*>(SSL_get_ex_data(ssl, SslLibrary::sslSessionIndex()));
    if (self == nullptr || self->_reuseStore == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
    // Keep a copy: the library marks the connection's own session as not
    // resumable when the connection ends without our close notice, which is
    // how most outbound connections end (the origin closes).
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    if (copy == nullptr) return 0;
    if (self->_reuseAccepted) {
        self->_reuseStore->put(self->_reuseKey, copy, self->_reuseTrust);
    } else {
        if (self->_reusePending != nullptr) SSL_SESSION_free(self->_reusePending);
        self->_reusePending = copy;
    }
    return 0;  // the library keeps its own reference
}

void SslSession::dropStoredSessionState() noexcept {
    if (_reusePending != nullptr) SSL_SESSION_free(_reusePending);
    _reusePending = nullptr;
    _reuseStore = nullptr;
    _reuseKey.clear();
    _reuseOffered = false;
    _reuseAccepted = false;
    _offeredTrust = {};
    _reuseTrust = {};
}

void SslSession::forgetStoredSessions() const {
    if (_reuseStore != nullptr) _reuseStore->forget(_reuseKey);
}

int SslSession::handshake() {
    ERR_clear_error();
    const int ret = SSL_do_handshake(_ssl);
    if (ret > 0) _handshakeDone = true;
    return ret;
}

int SslSession::clientHandshake() {
    const bool cacheOn = !_targetHost.empty() && SslLibrary::clientSessionCacheEnabled();
    if (!cacheOn) return handshake();
    const std::string target = targetText();
    if (!_resumeOffered) {
        _resumeOffered = true;
        if (SSL_SESSION* cached = SslClientSessionCache::find(target)) {
            SSL_set_session(_ssl, cached);
            SSL_SESSION_free(cached);
        }
    }
    const int ret = handshake();
    if (ret > 0) {
        SSL_SESSION* session = SSL_get1_session(_ssl);
        if (!SSL_session_reused(_ssl)) {
            s_log.debug("NEW SESSION ssl=%p target=%s session=%p ref=%d", static_cast<void*>(_ssl), target.c_str(),
                        static_cast<void*>(session), 1);
            SslClientSessionCache::store(target, session);
        } else {
            s_log.debug("REUSED SESSION ssl=%p target=%s session=%p", static_cast<void*>(_ssl), target.c_str(),
                        static_cast<void*>(session));
            SSL_SESSION_free(session);
        }
    }
    s_log.debug("SESSION ssl=%p target=%s ret=%d", static_cast<void*>(_ssl), target.c_str(), ret);
    return ret;
}

int SslSession::read(void* buffer, int length) {
    ERR_clear_error();
    if (_closed) {
        ERR_raise(ERR_LIB_SSL, SSL_R_NO_RENEGOTIATION);
        return -1;
    }
    return SSL_read(_ssl, buffer, length);
}

int SslSession::write(const void* data, int length) {
    ERR_clear_error();
    if (_closed) {
        ERR_raise(ERR_LIB_SSL, SSL_R_NO_RENEGOTIATION);
        return -1;
    }
    return SSL_write(_ssl, data, length);
}

int SslSession::shutdown() {
    ERR_clear_error();
    return SSL_shutdown(_ssl);
}

int SslSession::pending() const noexcept {
    return _ssl ? SSL_pending(_ssl) : 0;
}

bool SslSession::hasPending() const noexcept {
    return _ssl != nullptr && SSL_has_pending(_ssl) == 1;
}

SslSession::IoStatus SslSession::classify(int result) const {
    if (_closed || _ssl == nullptr) return {IoStatus::TlsError, static_cast<std::uint32_t>(ERR_get_error())};
    switch (SSL_get_error(_ssl, result)) {
        case SSL_ERROR_WANT_READ:
            return {IoStatus::WantRead, 0};
        case SSL_ERROR_WANT_WRITE:
            return {IoStatus::WantWrite, 0};
        case SSL_ERROR_ZERO_RETURN:
            return {IoStatus::PeerClosed, 0};
        case SSL_ERROR_SYSCALL: {
            const auto* d = static_cast<SocketBioData*>(BIO_get_data(SSL_get_rbio(_ssl)));
            const int code = d ? d->lastError : 0;
            if (code == 0) return {IoStatus::PeerClosed, 0};
            return {IoStatus::SocketError, static_cast<std::uint32_t>(code)};
        }
        default: {
            const unsigned long code = ERR_get_error();
            // End of stream on the socket without a close notice.
            if (ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                return {IoStatus::PeerClosed, 0};
            }
            return {IoStatus::TlsError, static_cast<std::uint32_t>(code)};
        }
    }
}

bool SslSession::checkPeer(const std::string& commonNameToCheck, const std::string& altNameToCheck) const {
    s_log.debug("verifying with commonNameToCheck=%s altNamesToCheck=%s", commonNameToCheck.c_str(),
                altNameToCheck.c_str());
    if (_ssl == nullptr) return false;
    const long result = SSL_get_verify_result(_ssl);
    if (result != X509_V_OK) {
        const char* text = X509_verify_cert_error_string(result);
        if (_nameCheck || !isNameMismatch(result)) {
            s_log.error("Peer certificate validation error failed, %ld %s", result, text);
            forgetStoredSessions();
            return false;
        }
        s_log.warn("Peer certificate validation error ignored, %ld %s", result, text);
    }
    X509* peer = SSL_get1_peer_certificate(_ssl);
    if (peer == nullptr) {
        s_log.error("No certificate presented by the peer");
        forgetStoredSessions();
        return false;
    }
    const bool ok = CertificateChecks::checkNames(peer, commonNameToCheck, altNameToCheck);
    X509_free(peer);
    if (!ok) forgetStoredSessions();
    return ok;
}

void SslSession::release() {
    if (_ssl == nullptr) return;
    dropStoredSessionState();
    std::lock_guard<std::mutex> guard(SslLibrary::lock());
    SSL_free(_ssl);
    _ssl = nullptr;
}

std::string SslSession::statusLine() const {
    if (_ssl == nullptr) return "SSL: inactive\r\n";
    const COMP_METHOD* comp = SSL_get_current_compression(_ssl);
    const char* cipher = SSL_get_cipher_name(_ssl);
    std::string line = "SSL: version=\"";
    line += SSL_get_version(_ssl);
    line += "\", state=\"";
    line += SSL_state_string_long(_ssl);
    line += "\", cipher=\"";
    line += cipher ? cipher : "";
    line += "\", compression=\"";
    line += comp ? SSL_COMP_get_name(comp) : "none";
    line += "\"\r\n";
    return line;
}

void SslSession::infoCallback(const SSL* ssl, int where, int ret) {
    auto* self = static_cast<SslSession*>(SSL_get_ex_data(ssl, SslLibrary::sslSessionIndex()));
    if (self == nullptr) return;
    // TLS 1.3 reports post-handshake messages (tickets, key updates) as
    // handshake starts too; only older versions can renegotiate.
    if ((where & SSL_CB_HANDSHAKE_START) && self->_handshakeDone && !self->_allowRenegotiation &&
        SSL_version(ssl) < TLS1_3_VERSION) {
        self->_closed = true;
    }
    if ((where & SSL_CB_ALERT) && std::strcmp(SSL_alert_type_string(ret), "F") == 0) {
        // A session that ended in a fatal alert (a failed verification
        // among them) must not be resumed, nor any other of its destination.
        if (self->_reuseStore != nullptr) {
            self->forgetStoredSessions();
            if (self->_reusePending != nullptr) SSL_SESSION_free(self->_reusePending);
            self->_reusePending = nullptr;
            self->_reuseAccepted = false;
        }
        s_log.warn("Received fatal SSL3 alert. ssl_state='%s', alert_description='%s'.", SSL_state_string_long(ssl),
                   SSL_alert_desc_string_long(ret));
    }
}

int SslSession::serverNameCallback(SSL* ssl, int* alert, void*) {
    auto* self = static_cast<SslSession*>(SSL_get_ex_data(ssl, SslLibrary::sslSessionIndex()));
    try {
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        if (self != nullptr && name != nullptr) self->_targetHost = name;
    } catch (const std::exception& e) {
        s_log.error("Error receiving SNI: %s", e.what());
        *alert = SSL_AD_INTERNAL_ERROR;
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace morvex
