// Outbound TLS sessions kept in memory for resumption, one store per client
// context. A key names one destination as the connection saw it (SNI name,
// expected peer host, address and port), so a session is only offered where
// it was made and under the same TLS settings.
//
// A resumed handshake checks no certificate, so a session carries the trust
// of the full handshake that verified its peer, and only within bounds (the
// Trust it is kept with):
// - it is offered only before the earliest notAfter of the verified chain
//   and, when revocation is checked, before the nextUpdate of the lists
//   used (for a context that verifies nothing there is no such bound);
// - and for at most kMaxTrustAgeSeconds after that full handshake; sessions
//   and tickets that arrive on a resumed connection inherit its Trust, so
//   resumption cannot extend it;
// - a changed revocation store (dropAllTrust()) ends every stored session;
//   a failed verification ends every session of its destination (forget()).
//
// TLS 1.2 sessions stay in the store while they last and may be offered to
// several connections. A TLS 1.3 ticket is used once: take() hands it out
// and removes it; with none left the connection makes a full handshake and
// brings fresh tickets. The store keeps at most a few hundred keys, least
// recently used first out.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvex {

class X509RevocationStore;

class ClientSessionStore {
public:
    static constexpr std::size_t kDefaultMaxKeys = 256;
    // TLS 1.3 tickets kept per key. Each is used once and a server sends two
    // after a full handshake, so a destination with many connections at
    // once needs a stock of them to resume most; beyond 16 the memory of a
    // few hundred destinations would outweigh the handshakes saved.
    static constexpr std::size_t kMaxTicketsPerKey = 16;
    // How long one full verification may be relied on by resumed
    // connections: a replaced or revoked certificate is seen within an hour.
    static constexpr std::time_t kMaxTrustAgeSeconds = 3600;
    static constexpr std::time_t kNoBound = std::numeric_limits<std::time_t>::max();

    // Where a session's trust comes from and how far it reaches.
    struct Trust {
        std::time_t verifiedAt = 0;        // wall-clock seconds of the full handshake
        std::time_t validUntil = kNoBound;  // first second at which that verification no longer holds
        std::uint64_t epoch = 0;           // trustEpoch() at that handshake
    };

    // Wall-clock seconds; tests replace it.
    using Clock = std::function<std::time_t()>;

    explicit ClientSessionStore(std::size_t maxKeys = kDefaultMaxKeys);
    ~ClientSessionStore();
    ClientSessionStore(const ClientSessionStore&) = delete;
    ClientSessionStore& operator=(const ClientSessionStore&) = delete;

    // The process-wide switch (server.conf [sslConfig] sslClientSessionReuse,
    // default on). Off: nothing is offered and nothing new is kept.
    static void setEnabled(bool on) noexcept;
    static bool enabled() noexcept;

    // Ends the trust of every session of every store (any thread): call when
    // what verification relies on changes, e.g. the revocation lists.
    static void dropAllTrust() noexcept;
    static std::uint64_t trustEpoch() noexcept;

    // The clock of this store (set before the store is used by connections).
    void setClock(Clock clock);
    std::time_t now() const;
    // The Trust of a full handshake verified now, valid until validUntil.
    Trust freshTrust(std::time_t validUntil = kNoBound) const;

    // The first second at which a verification of this chain no longer
    // holds: the earliest notAfter of chain and leaf and, with revocation
    // lists (may be null), the earliest nextUpdate of their issuers' lists.
    // A time that cannot be read counts as already past.
    static std::time_t validUntilOf(STACK_OF(X509) * chain, X509* leaf, const X509RevocationStore* crls);

    // A session to offer for key, with a reference for the caller, or null;
    // *trust (when given) receives the Trust it was kept with. Sessions past
    // their lifetime or their Trust's bounds are dropped on the way.
    SSL_SESSION* take(const std::string& key, Trust* trust = nullptr);
    // Keeps a session for key (takes the caller's reference). A TLS 1.2
    // session replaces what the key held; a TLS 1.3 ticket joins the key's
    // tickets, the oldest leaving beyond kMaxTicketsPerKey.
    void put(const std::string& key, SSL_SESSION* session, const Trust& trust);
    // Drops every session of key (any thread).
    void forget(const std::string& key);
    void clear();

    std::size_t keyCount() const;
    std::size_t sessionCount(const std::string& key) const;

private:
    struct Held {
        SSL_SESSION* session;
        Trust trust;
    };
    struct Entry {
        std::string key;
        std::vector<Held> sessions;  // oldest first
    };
    using Lru = std::list<Entry>;  // most recently used first

    bool usable(const Held& held, std::time_t now, std::uint64_t epoch) const noexcept;
    static void freeAll(Entry& entry) noexcept;
    void erase(Lru::iterator it);

    mutable std::mutex _lock;
    std::size_t _maxKeys;
    Clock _clock;
    Lru _lru;
    std::unordered_map<std::string, Lru::iterator> _index;
};

}  // namespace morvex
