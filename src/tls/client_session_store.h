// Outbound TLS sessions kept in memory for resumption, one store per client
// context. A key names one destination as the connection saw it (SNI name,
// expected peer host, address and port), so a session is only offered where
// it was made and under the same TLS settings.
//
// TLS 1.2 sessions stay in the store while they last and may be offered to
// several connections. TLS 1.3 tickets are used once while there are
// several: take() hands one out and removes it, and the resumed connection
// brings a fresh one. A key's last ticket is lent out again instead, so that
// more connections at once than tickets in stock still resume (a server that
// takes each ticket only once answers a second use with a full handshake,
// nothing worse). The store keeps at most a few hundred keys, least recently
// used first out.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvex {

class ClientSessionStore {
public:
    static constexpr std::size_t kDefaultMaxKeys = 256;
    // TLS 1.3 tickets kept per key. Each is used once and a server sends two
    // after a full handshake, so a destination with many connections at
    // once needs a stock of them to resume most; beyond 16 the memory of a
    // few hundred destinations would outweigh the handshakes saved.
    static constexpr std::size_t kMaxTicketsPerKey = 16;

    explicit ClientSessionStore(std::size_t maxKeys = kDefaultMaxKeys);
    ~ClientSessionStore();
    ClientSessionStore(const ClientSessionStore&) = delete;
    ClientSessionStore& operator=(const ClientSessionStore&) = delete;

    // The process-wide switch (server.conf [sslConfig] sslClientSessionReuse,
    // default on). Off: nothing is offered and nothing new is kept.
    static void setEnabled(bool on) noexcept;
    static bool enabled() noexcept;

    // A session to offer for key, with a reference for the caller, or null.
    // Expired sessions are dropped on the way.
    SSL_SESSION* take(const std::string& key);
    // Keeps a session for key (takes the caller's reference). A TLS 1.2
    // session replaces what the key held; a TLS 1.3 ticket joins the key's
    // tickets, the oldest leaving beyond kMaxTicketsPerKey.
    void put(const std::string& key, SSL_SESSION* session);
    void forget(const std::string& key);
    void clear();

    std::size_t keyCount() const;
    std::size_t sessionCount(const std::string& key) const;

private:
    struct Entry {
        std::string key;
        std::vector<SSL_SESSION*> sessions;  // oldest first
    };
    using Lru = std::list<Entry>;  // most recently used first

    static void freeAll(Entry& entry) noexcept;
    void erase(Lru::iterator it);

    mutable std::mutex _lock;
    std::size_t _maxKeys;
    Lru _lru;
    std::unordered_map<std::string, Lru::iterator> _index;
};

}  // namespace morvex
