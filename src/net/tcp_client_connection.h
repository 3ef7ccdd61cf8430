// TcpClientConnection: an outbound connection to an IPv4 address and port
// that belongs to a TcpClientConnectionPool; the pool owns the client TLS
// context its connections share. A finished connection leaves the pool's
// idle list (if it is on it) and deletes itself.
#pragma once

#include <cstdint>
#include <string>

#include "net/tcp_outbound.h"
#include "net/timeout.h"

namespace morvex {

class TcpClientConnectionPool;

class TcpClientConnection : public TcpOutbound {
public:
    // ipv4: network byte order; port: host order. With useSsl the pool's
    // client TLS context is used (none in the pool means plain TCP).
    TcpClientConnection(TcpClientConnectionPool& pool, TcpOutboundLoop& loop, bool useSsl, std::uint32_t ipv4,
                        std::uint16_t port, std::string host);
    ~TcpClientConnection() override;

    // Connects to the destination address (see TcpOutbound::connect).
    bool connect();

    TcpClientConnectionPool& pool() const noexcept { return _pool; }
    const SocketAddress& destination() const noexcept { return _dest; }
    const std::string& destinationHost() const noexcept { return _destHost; }
    std::uint32_t key() const noexcept { return _key; }

    // The pool key: address XOR port, for TLS also XOR a hash of the host
    // name, all inverted.
    static std::uint32_t makeKey(std::uint32_t ipv4, std::uint16_t port, bool useSsl, const std::string& host);

    // "TcpClientConnection: ", " peer=", ", port=", then the TcpOutbound dump.
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    // Asks the pool; an accepted peer lets its sessions be kept for reuse.
    bool serverCertificateAcceptable() override;
    // Before the first handshake step, offers a session kept from an earlier
    // connection to the same destination (SNI name, expected peer host,
    // address and port) under the same client context.
    void setupSslSession(SslSession& session, const SslContext& context, const std::string& host) override;
    // The key of this connection's destination in the context's session store.
    std::string sessionReuseKey(const SslSession& session) const;
    // Leaves the pool's idle list and deletes the connection.
    void finished() override;

private:
    friend class TcpClientConnectionPool;

    TcpClientConnectionPool& _pool;
    SocketAddress _dest;
    std::string _destHost;
    std::uint32_t _key;
    SslSession* _session = nullptr;  // the TcpOutbound's session, once set up
    TcpClientConnection* _idlePrev = nullptr;
    TcpClientConnection* _idleNext = nullptr;
    bool _idle = false;
};

class TcpClientConnectionPool {
public:
    // sslContext: the client TLS context shared by the pool's connections,
    // or null (not owned; must outlive the pool).
    TcpClientConnectionPool(TcpOutboundLoop& loop, const SslContext* sslContext, std::uint32_t idleTimeoutMs);
    virtual ~TcpClientConnectionPool();
    TcpClientConnectionPool(const TcpClientConnectionPool&) = delete;
    TcpClientConnectionPool& operator=(const TcpClientConnectionPool&) = delete;

    virtual void crashLogDescribe(CrashLogOutput& out) const noexcept;
    // Whether a connection's server certificate is acceptable; default yes.
    virtual bool certificateAcceptable(TcpClientConnection& connection);

    TcpOutboundLoop& loop() const noexcept { return _loop; }
    const SslContext* sslContext() const noexcept { return _sslContext; }

    // The idle list (loop thread). This program never fills it.
    void putIdle(TcpClientConnection* connection) noexcept;
    // Takes an idle connection with the key, or null.
    TcpClientConnection* takeIdle(std::uint32_t key) noexcept;
    void removeIdle(TcpClientConnection* connection) noexcept;
    std::uint32_t idleCount() const noexcept { return _idleCount; }
    std::uint32_t maxIdle() const noexcept { return _maxIdle; }
    std::uint32_t idleTimeout() const noexcept { return _idleTimeout; }
    std::uint32_t sslShutdownTimeout() const noexcept { return _sslShutdownTimeout; }

private:
    class IdleConnectionTrimmer : public OneShotTimeout {
    public:
        explicit IdleConnectionTrimmer(TcpClientConnectionPool& pool) noexcept : _pool(pool) {}
        void callback() override;

    private:
        TcpClientConnectionPool& _pool;
    };

    TcpOutboundLoop& _loop;
    const SslContext* _sslContext;
    TcpClientConnection* _idleHead = nullptr;
    std::uint32_t _idleCount = 0;
    std::uint32_t _maxIdle = 25;
    std::uint32_t _addressOrder = 0;
    std::uint32_t _sslShutdownTimeout = 2000;
    std::uint32_t _idleTimeout;
    IdleConnectionTrimmer _idle_connection_trimmer;
    bool _idle_connection_trimmer_scheduled = false;
};

}  // namespace morvex
