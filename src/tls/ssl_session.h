// One connection's TLS state over the program's own non-blocking socket.
//
// Calling order, inbound: createServer() once the socket is attached, then
// handshake() on every readiness event until it returns > 0, checkPeer()
// when the context verifies peers, then read()/write(), shutdown() to close,
// release() at the end. Outbound: the same with createClient() and
// clientHandshake(). A non-positive result is turned into what the caller
// must do by classify(). A session is used by one loop thread only.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "tls/client_session_store.h"

namespace morvex {

class PollableDescriptor;
class SslContext;

class SslSession {
public:
    // The read-ahead buffer of a client session: four full records.
    static constexpr std::size_t kClientReadAheadBytes = 4 * (16384 + 256);

    // Events to wait for after a want-read / want-write result
    // (FD_READ|FD_OOB|FD_CLOSE and FD_WRITE|FD_CLOSE).
    static constexpr long kWantReadEvents = 37;
    static constexpr long kWantWriteEvents = 34;

    // What a non-positive library result means for the caller.
    struct IoStatus {
        enum Kind {
            WantRead,     // wait for read readiness
            WantWrite,    // wait for write readiness
            SocketError,  // code: the Winsock code of the failed recv/send
            PeerClosed,   // the peer's close notice, or end of stream on the socket
            TlsError,     // code: the first library error code (0 when the queue was empty)
        };
        Kind kind;
        std::uint32_t code;
    };

    SslSession() = default;
    ~SslSession();
    SslSession(const SslSession&) = delete;
    SslSession& operator=(const SslSession&) = delete;

    // Creates the library session over the descriptor (the session's BIO
    // takes its own counted reference). False leaves the session empty.
    bool createServer(const SslContext& ctx, PollableDescriptor* descriptor);
    // As createServer; hostName (may be empty) is sent as SNI. When the
    // target (setTarget) is set and is not a loopback name, it is stored as
    // the expected peer host; failing that, creation fails.
    bool createClient(const SslContext& ctx, PollableDescriptor* descriptor, const std::string& hostName);

    // Client session cache key: host and port of the connection. Set it
    // before createClient(), and only when the client session cache is on.
    void setTarget(const std::string& host, std::uint32_t port);

    // Resumption from the client context's session store (client side; call
    // before the first handshake step; later calls do nothing). key names the
    // destination. Does nothing when the store switch is off or the on-disk
    // client session cache serves this session instead. From then on new
    // sessions the server sends are kept for key, once acceptStoredSessions()
    // has said the peer passed its checks.
    void offerStoredSession(ClientSessionStore* store, std::string key);
    bool storedSessionOffered() const noexcept { return _reuseOffered; }
    // The peer passed the checks after the handshake: sessions that arrived
    // already, and those still to come, go to the store. After a full
    // handshake they carry the trust of this verification (now, bounded by
    // the verified chain's validity when the context verifies) and replace
    // every older session of the key; after a resumed one they inherit the
    // offered session's trust, so resumption never extends it.
    void acceptStoredSessions();
    // The peer was turned down: every stored session of this connection's
    // destination goes (its failed checks and fatal alerts do this already).
    void forgetStoredSessions() const;

    int handshake();
    // The client handshake step with session resumption from the cache.
    int clientHandshake();
    int read(void* buffer, int length);
    int write(const void* data, int length);
    // One SSL_shutdown step: 1 done, 0 not yet complete, < 0 see classify().
    int shutdown();
    // Decrypted bytes already held by the session.
    int pending() const noexcept;
    // True while the session holds bytes that a read returns without the
    // socket: decrypted ones, or records read ahead and not yet processed.
    // Neither announces a socket event.
    bool hasPending() const noexcept;

    // Classifies a non-positive result of the last call. Consumes the
    // library's error state for that call.
    IoStatus classify(int result) const;

    // The check after a completed handshake: library verification result,
    // the peer certificate, then the names against the two lists. A failure
    // also drops every stored session of the destination.
    bool checkPeer(const std::string& commonNameToCheck, const std::string& altNameToCheck) const;

    // Frees the library session (under the process-wide TLS lock).
    void release();

    bool empty() const noexcept { return _ssl == nullptr; }
    SSL* handle() const noexcept { return _ssl; }
    bool handshakeDone() const noexcept { return _handshakeDone; }
    bool closed() const noexcept { return _closed; }
    bool allowRenegotiation() const noexcept { return _allowRenegotiation; }
    bool nameCheck() const noexcept { return _nameCheck; }
    // Client: the target host; server: the host name the client sent in SNI.
    const std::string& targetHost() const noexcept { return _targetHost; }
    std::uint32_t targetPort() const noexcept { return _targetPort; }

    // "SSL: version="...", state="...", cipher="...", compression="..."\r\n"
    // or "SSL: inactive\r\n".
    std::string statusLine() const;

    // Cache key "host:port" of the target, empty when no target is set.
    std::string targetText() const;

private:
    bool create(const SslContext& ctx, PollableDescriptor* descriptor);
    static void infoCallback(const SSL* ssl, int where, int ret);
    static int serverNameCallback(SSL* ssl, int* alert, void* arg);
    // The client context's new-session callback (TLS 1.3 tickets arrive
    // after the handshake): returns 1 when the session was kept.
    static int newClientSessionCallback(SSL* ssl, SSL_SESSION* session);
    void dropStoredSessionState() noexcept;
    friend class SslContext;

    SSL* _ssl = nullptr;
    bool _allowRenegotiation = true;
    bool _handshakeDone = false;
    bool _closed = false;
    bool _nameCheck = false;
    bool _verifyPeer = false;
    bool _resumeOffered = false;
    std::string _targetHost;
    std::uint32_t _targetPort = 0;
    ClientSessionStore* _reuseStore = nullptr;  // set once a session was offered
    std::string _reuseKey;
    bool _reuseOffered = false;
    bool _reuseAccepted = false;
    SSL_SESSION* _reusePending = nullptr;  // arrived before the peer was accepted
    ClientSessionStore::Trust _offeredTrust;  // of the session offered, if any
    ClientSessionStore::Trust _reuseTrust;    // given to sessions kept from this connection
};

}  // namespace morvex
