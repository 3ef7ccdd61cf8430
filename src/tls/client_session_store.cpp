#include "tls/client_session_store.h"

#include <atomic>
#include <ctime>

namespace morvex {

namespace {

std::atomic<bool> s_enabled{true};

bool isTls13(const SSL_SESSION* session) noexcept {
    return SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION;
}

bool expired(const SSL_SESSION* session, std::time_t now) noexcept {
    return SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) <= now;
}

}  // namespace

ClientSessionStore::ClientSessionStore(std::size_t maxKeys) : _maxKeys(maxKeys == 0 ? 1 : maxKeys) {}

ClientSessionStore::~ClientSessionStore() {
    clear();
}

void ClientSessionStore::setEnabled(bool on) noexcept {
    s_enabled.store(on, std::memory_order_relaxed);
}

bool ClientSessionStore::enabled() noexcept {
    return s_enabled.load(std::memory_order_relaxed);
}

void ClientSessionStore::freeAll(Entry& entry) noexcept {
    for (SSL_SESSION* s : entry.sessions) SSL_SESSION_free(s);
    entry.sessions.clear();
}

void ClientSessionStore::erase(Lru::iterator it) {
    freeAll(*it);
    _index.erase(it->key);
    _lru.erase(it);
}

SSL_SESSION* ClientSessionStore::take(const std::string& key) {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _index.find(key);
    if (found == _index.end()) return nullptr;
    Lru::iterator it = found->second;
    std::vector<SSL_SESSION*>& sessions = it->sessions;
    const std::time_t now = std::time(nullptr);
    std::erase_if(sessions, [now](SSL_SESSION* s) {
        if (!expired(s, now) && SSL_SESSION_is_resumable(s)) return false;
        SSL_SESSION_free(s);
        return true;
    });
    if (sessions.empty()) {
        erase(it);
        return nullptr;
    }
    SSL_SESSION* session = sessions.back();
    if (isTls13(session) && sessions.size() > 1) {
        sessions.pop_back();  // the caller gets the store's reference
    } else {
        // A copy: the library may mark the session a connection used as not
        // resumable when that connection ends, and this one stays shared.
        // A key's last TLS 1.3 ticket is lent too: more connections at once
        // than tickets in stock would otherwise each pay a full handshake.
        session = SSL_SESSION_dup(session);
        if (session == nullptr) return nullptr;
    }
    if (sessions.empty()) {
        erase(it);
    } else {
        _lru.splice(_lru.begin(), _lru, it);
    }
    return session;
}

void ClientSessionStore::put(const std::string& key, SSL_SESSION* session) {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _index.find(key);
    Lru::iterator it;
    if (found == _index.end()) {
        _lru.push_front(Entry{key, {}});
        it = _lru.begin();
        _index.emplace(key, it);
    } else {
        it = found->second;
        _lru.splice(_lru.begin(), _lru, it);
    }
    std::vector<SSL_SESSION*>& sessions = it->sessions;
    // One protocol per key: a TLS 1.2 session or a set of TLS 1.3 tickets.
    if (!isTls13(session) || (!sessions.empty() && !isTls13(sessions.front()))) freeAll(*it);
    sessions.push_back(session);
    if (sessions.size() > kMaxTicketsPerKey) {
        SSL_SESSION_free(sessions.front());
        sessions.erase(sessions.begin());
    }
    while (_lru.size() > _maxKeys) erase(std::prev(_lru.end()));
}

void ClientSessionStore::forget(const std::string& key) {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _index.find(key);
    if (found != _index.end()) erase(found->second);
}

void ClientSessionStore::clear() {
    std::lock_guard<std::mutex> guard(_lock);
    for (Entry& e : _lru) freeAll(e);
    _lru.clear();
    _index.clear();
}

std::size_t ClientSessionStore::keyCount() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _lru.size();
}

std::size_t ClientSessionStore::sessionCount(const std::string& key) const {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _index.find(key);
    return found == _index.end() ? 0 : found->second->sessions.size();
}

}  // namespace morvex
