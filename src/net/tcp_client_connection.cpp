#include "net/tcp_client_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace morvex {

namespace {

SocketAddress makeIPv4(std::uint32_t ipv4, std::uint16_t port) {
    SocketAddress a;
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = ipv4;
    a.length = sizeof(sockaddr_in);
    return a;
}

}  // namespace

// --- TcpClientConnection ---

TcpClientConnection::TcpClientConnection(TcpClientConnectionPool& pool, TcpOutboundLoop& loop, bool useSsl,
                                         std::uint32_t ipv4, std::uint16_t port, std::string host)
    : TcpOutbound(loop, host, useSsl ? pool.sslContext() : nullptr),
      _pool(pool),
      _dest(makeIPv4(ipv4, port)),
      _destHost(std::move(host)),
      _key(makeKey(ipv4, port, useSsl && pool.sslContext(), _destHost)) {}

TcpClientConnection::~TcpClientConnection() {
    if (_idle) _pool.removeIdle(this);
}

bool TcpClientConnection::connect() {
    return TcpOutbound::connect(_dest);
}

std::uint32_t TcpClientConnection::makeKey(std::uint32_t ipv4, std::uint16_t port, bool useSsl,
                                           const std::string& host) {
    std::uint32_t key = ipv4 ^ port;
    if (useSsl) {
        std::uint32_t h = 5381;
        for (unsigned char c : host) h = h * 33 + c;
        key ^= h;
    }
    return ~key;
}

void TcpClientConnection::crashLogDescribe(CrashLogOutput& out) const noexcept {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&_dest.storage)->sin_addr, addr, sizeof addr);
    out.printf("TcpClientConnection: %p", static_cast<const void*>(this));
    out.printf(" peer=%s, port=%u", addr, static_cast<unsigned>(_dest.port()));
    out.write("\r\n");
    TcpOutbound::crashLogDescribe(out);
}

bool TcpClientConnection::serverCertificateAcceptable() {
    if (!_pool.certificateAcceptable(*this)) return false;
    if (_session) _session->acceptStoredSessions();
    return true;
}

std::string TcpClientConnection::sessionReuseKey(const SslSession& session) const {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&_dest.storage)->sin_addr, addr, sizeof addr);
    std::string key = sni();
    key += '|';
    key += session.targetHost();
    key += '|';
    key += addr;
    key += ':';
    key += std::to_string(_dest.port());
    return key;
}

void TcpClientConnection::setupSslSession(SslSession& session, const SslContext& context, const std::string& host) {
    TcpOutbound::setupSslSession(session, context, host);
    _session = &session;
    if (!session.storedSessionOffered() && !session.handshakeDone() && context.clientSessionStore() &&
        ClientSessionStore::enabled()) {
        session.offerStoredSession(context.clientSessionStore(), sessionReuseKey(session));
    }
}

void TcpClientConnection::finished() {
    if (_idle) _pool.removeIdle(this);
    delete this;
}

// --- TcpClientConnectionPool ---

void TcpClientConnectionPool::IdleConnectionTrimmer::callback() {
    // Idle connections are never kept in this program; nothing to trim.
    _pool._idle_connection_trimmer_scheduled = false;
}

TcpClientConnectionPool::TcpClientConnectionPool(TcpOutboundLoop& loop, const SslContext* sslContext,
                                                 std::uint32_t idleTimeoutMs)
    : _loop(loop), _sslContext(sslContext), _idleTimeout(idleTimeoutMs), _idle_connection_trimmer(*this) {}

TcpClientConnectionPool::~TcpClientConnectionPool() {
    if (_idle_connection_trimmer_scheduled) _loop.removeTimeout(&_idle_connection_trimmer);
    while (_idleHead) removeIdle(_idleHead);
}

void TcpClientConnectionPool::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("TcpClientConnectionPool %p", static_cast<const void*>(this));
    if (_sslContext) out.write(", allowSsl");
    out.printf(", _idleCount=%u, _maxIdle=%u, _addressOrder=%u, _sslShutdownTimeout=%u, _idleTimeout=%u", _idleCount,
               _maxIdle, _addressOrder, _sslShutdownTimeout, _idleTimeout);
    out.write(", ");
    out.flag("_idle_connection_trimmer_scheduled", _idle_connection_trimmer_scheduled);
}

bool TcpClientConnectionPool::certificateAcceptable(TcpClientConnection&) {
    return true;
}

void TcpClientConnectionPool::putIdle(TcpClientConnection* c) noexcept {
    if (c->_idle) return;
    c->_idlePrev = nullptr;
    c->_idleNext = _idleHead;
    if (_idleHead) _idleHead->_idlePrev = c;
    _idleHead = c;
    c->_idle = true;
    ++_idleCount;
}

TcpClientConnection* TcpClientConnectionPool::takeIdle(std::uint32_t key) noexcept {
    for (TcpClientConnection* c = _idleHead; c; c = c->_idleNext) {
        if (c->_key == key) {
            removeIdle(c);
            return c;
        }
    }
    return nullptr;
}

void TcpClientConnectionPool::removeIdle(TcpClientConnection* c) noexcept {
    if (!c->_idle) return;
    if (c->_idlePrev) {
        c->_idlePrev->_idleNext = c->_idleNext;
    } else {
        _idleHead = c->_idleNext;
    }
    if (c->_idleNext) c->_idleNext->_idlePrev = c->_idlePrev;
    c->_idlePrev = c->_idleNext = nullptr;
    c->_idle = false;
    --_idleCount;
}

}  // namespace morvex
