// The error value of socket and TLS input and output: a 32-bit kind and a
// 32-bit detail with fixed texts. Channels and outbound connections pass it
// once to their error slot; errors on the data path never throw.
#pragma once

#include <cstdint>
#include <string>

namespace morvex {

struct SocketError {
    enum Kind : std::uint32_t {
        kNone = 0,
        kTimeout = 1,  // detail: 0 read, 1 write, other connect
        kClosedByPeer = 2,
        kLocalShutdown = 3,
        kUncaughtException = 4,
        kWinsock = 5,  // detail: Winsock code
        kSystem = 6,   // detail: system error code
        kSsl = 7,      // detail: TLS library error code (also every kind >= 12)
        kCannotResolve = 8,
        kNotStarted = 9,
        kSslNotConfigured = 10,
        kCertCheckFailed = 11,
    };
    enum TimeoutDetail : std::uint32_t { kReadTimeout = 0, kWriteTimeout = 1, kConnectTimeout = 2 };

    std::uint32_t kind = kNone;
    std::uint32_t detail = 0;

    constexpr SocketError() = default;
    constexpr SocketError(std::uint32_t k, std::uint32_t d) : kind(k), detail(d) {}

    static constexpr SocketError timeout(std::uint32_t d) { return {kTimeout, d}; }
    static constexpr SocketError closedByPeer() { return {kClosedByPeer, 0}; }
    // A Winsock failure; code 0 means the peer simply went away.
    static constexpr SocketError winsock(std::uint32_t code) {
        return code == 0 ? SocketError{kClosedByPeer, 0} : SocketError{kWinsock, code};
    }
    static constexpr SocketError ssl(std::uint32_t code) { return {kSsl, code}; }

    constexpr bool isError() const { return kind != kNone; }
    constexpr explicit operator bool() const { return isError(); }
    constexpr bool operator==(const SocketError&) const = default;

    // The fixed text of the record (see the table of kinds above).
    std::string text() const;
};

}  // namespace morvex
