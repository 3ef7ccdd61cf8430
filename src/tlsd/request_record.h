// The completion line: one line per proxied request, written when its
// outbound connection ends, under the channel "TLSProxyRequest" (so the
// logging configuration can route it or turn it off; INFO by default).
//
// Keys, always in this order:
//   type method dest addr sni tls cipher resumed status sent relayed
//   resolve_ms connect_ms first_byte_ms total_ms outcome
// Plain form: key=value separated by blanks; a value that is empty or
// unknown is "-"; a value holding a blank, '"', '\', '=' or a byte outside
// printable ASCII is written in double quotes with \" \\ and \xHH escapes.
// JSON form (when the channel's first appender serialises JSON): one object
// with the same keys; numbers and booleans as JSON values, unknown as null.
// Every text value is cut to kMaxValueBytes.
//
// Filling a record (the outbound connection owns one):
//   RequestRecord r; r.begin();                 // when the request was read
//   r.type = ...; r.method = ...; r.host = ...; r.port = ...;
//   r.markResolved(ipv4);                      // after the lookup
//   r.markConnectStarted(); ... r.markConnected();   // TCP connect + TLS handshake
//   r.noteTlsSession(sslSession().handle());   // version, cipher, resumed once up
//   r.markFirstByte();                         // first answer byte (once)
//   r.sent += n; r.relayed += n; r.status = 200;
//   r.outcome = RequestRecord::outcomeFor(error, phase);  // in the error slot
//   CompletionLog::write(r);                   // when the connection ends
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tls/client_request_type.h"
#include "tlsd/proxy_stats.h"

struct ssl_st;

namespace morvex {

struct SocketError;

struct RequestRecord {
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxValueBytes = 256;
    static constexpr double kUnset = -1.0;

    ClientRequestType type = ClientRequestType::Unknown;
    std::string method;
    std::string host;  // as the Host header named it
    std::uint32_t port = 0;
    std::uint32_t ipv4 = 0;  // network byte order; only with hasAddress
    bool hasAddress = false;
    std::string sni;
    std::string tlsVersion;  // "TLSv1.3"; empty without TLS
    std::string cipher;
    HandshakeKind handshake = HandshakeKind::None;
    int status = -1;  // answer status code; -1 when none was framed
    std::uint64_t sent = 0;     // bytes written to the destination
    std::uint64_t relayed = 0;  // bytes handed to the daemon
    // Milliseconds; kUnset when the step did not happen.
    double resolveMs = kUnset;
    double connectMs = kUnset;    // TCP connect and TLS handshake
    double firstByteMs = kUnset;  // from the connection being up to the first answer byte
    double totalMs = kUnset;      // from begin() to the end of the connection
    RequestOutcome outcome = RequestOutcome::Complete;

    // --- marks (any one thread at a time; each sets its timing from now) ---
    void begin() noexcept { _begun = Clock::now(); }
    void markResolved(std::uint32_t ipv4NetworkOrder) noexcept;
    void markConnectStarted() noexcept { _connectStarted = Clock::now(); }
    void markConnected() noexcept;
    // Only the first call counts.
    void markFirstByte() noexcept;
    // Sets totalMs (CompletionLog::write calls it when still unset).
    void markEnded() noexcept;

    Clock::time_point begun() const noexcept { return _begun; }

    // Takes protocol version, cipher and whether the session was resumed
    // from an outbound TLS connection whose handshake has finished (null:
    // no TLS, nothing changes).
    void noteTlsSession(const ssl_st* ssl);

    // Where the outbound connection was when an error ended it.
    enum class Phase { Connecting, Handshake, Open };
    // The outcome an error of the outbound connection stands for: a read or
    // write time-out is read-timeout, a connect time-out fails its phase; a
    // close by the destination, a reset (Winsock 10053/10054 or ECONNRESET)
    // and the proxy's own stop by name; any other error by phase
    // (connect-failed, handshake-failed, else reset).
    static RequestOutcome outcomeFor(const SocketError& error, Phase phase) noexcept;

private:
    Clock::time_point _begun{};
    Clock::time_point _connectStarted{};
    Clock::time_point _connected{};
};

class CompletionLog {
public:
    // The channel's name, as category.<name> in the logging configuration.
    static constexpr const char* kChannel = "TLSProxyRequest";

    // Counts the request in ProxyStats and, when the channel is on for INFO,
    // writes its line (in the form of the channel's first appender). Marks
    // the end first if the caller did not. Any thread; allocates only the
    // line's text, reusing a per-thread buffer.
    static void write(RequestRecord& record);

    // The line's text; appended to out. Exposed for tests and tools.
    static void formatPlain(const RequestRecord& record, std::string& out);
    static void formatJson(const RequestRecord& record, std::string& out);
};

}  // namespace morvex
