#include "tls/client_session_store.h"

#include <openssl/x509.h>

#include <algorithm>
#include <atomic>

#include "tls/x509_crl_check.h"

namespace morvex {

namespace {

std::atomic<bool> s_enabled{true};
std::atomic<std::uint64_t> s_trustEpoch{1};

bool isTls13(const SSL_SESSION* session) noexcept {
    return SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION;
}

bool expired(const SSL_SESSION* session, std::time_t now) noexcept {
    return SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) <= now;
}

// Seconds since the epoch of an ASN.1 time; 0 (long past) when unreadable.
std::time_t secondsOf(const ASN1_TIME* t) noexcept {
    std::tm tm{};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    return timegm(&tm);
}

}  // namespace

ClientSessionStore::ClientSessionStore(std::size_t maxKeys)
    : _maxKeys(maxKeys == 0 ? 1 : maxKeys), _clock([] { return std::time(nullptr); }) {}

ClientSessionStore::~ClientSessionStore() {
    clear();
}

void ClientSessionStore::setEnabled(bool on) noexcept {
    s_enabled.store(on, std::memory_order_relaxed);
}

bool ClientSessionStore::enabled() noexcept {
    return s_enabled.load(std::memory_order_relaxed);
}

void ClientSessionStore::dropAllTrust() noexcept {
    s_trustEpoch.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t ClientSessionStore::trustEpoch() noexcept {
    return s_trustEpoch.load(std::memory_order_acquire);
}

void ClientSessionStore::setClock(Clock clock) {
    std::lock_guard<std::mutex> guard(_lock);
    _clock = std::move(clock);
}

std::time_t ClientSessionStore::now() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _clock();
}

ClientSessionStore::Trust ClientSessionStore::freshTrust(std::time_t validUntil) const {
    return Trust{now(), validUntil, trustEpoch()};
}

std::time_t ClientSessionStore::validUntilOf(STACK_OF(X509) * chain, X509* leaf, const X509RevocationStore* crls) {
    std::time_t bound = kNoBound;
    auto include = [&](X509* cert) {
        bound = std::min(bound, secondsOf(X509_get0_notAfter(cert)));
        if (crls == nullptr) return;
        if (X509_CRL* crl = crls->findByIssuer(X509_get_issuer_name(cert))) {
            if (const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl)) bound = std::min(bound, secondsOf(next));
        }
    };
    if (leaf != nullptr) include(leaf);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) include(sk_X509_value(chain, i));
    return bound;
}

bool ClientSessionStore::usable(const Held& held, std::time_t now, std::uint64_t epoch) const noexcept {
    const Trust& t = held.trust;
    // A clock that went back past the verification counts as untrusted too.
    return !expired(held.session, now) && SSL_SESSION_is_resumable(held.session) && t.epoch == epoch &&
           now < t.validUntil && now >= t.verifiedAt && now - t.verifiedAt < kMaxTrustAgeSeconds;
}

void ClientSessionStore::freeAll(Entry& entry) noexcept {
    for (Held& h : entry.sessions) SSL_SESSION_free(h.session);
    entry.sessions.clear();
}

void ClientSessionStore::erase(Lru::iterator it) {
    freeAll(*it);
    _index.erase(it->key);
    _lru.erase(it);
}

SSL_SESSION* ClientSessionStore::take(const std::string& key, Trust* trust) {
    std::lock_guard<std::mutex> guard(_lock);
    auto found = _index.find(key);
    if (found == _index.end()) return nullptr;
    Lru::iterator it = found->second;
    std::vector<Held>& sessions = it->sessions;
    const std::time_t now = _clock();
    const std::uint64_t epoch = trustEpoch();
    std::erase_if(sessions, [&](Held& h) {
        if (usable(h, now, epoch)) return false;
        SSL_SESSION_free(h.session);
        return true;
    });
    if (sessions.empty()) {
        erase(it);
        return nullptr;
    }
    Held held = sessions.back();
    SSL_SESSION* session = held.session;
    if (isTls13(session)) {
        // Used once (RFC 8446, C.4): the caller gets the store's reference.
        sessions.pop_back();
    } else {
        // A copy: the library may mark the session a connection used as not
        // resumable when that connection ends, and this one stays shared.
        session = SSL_SESSION_dup(session);
        if (session == nullptr) return nullptr;
    }
    if (trust != nullptr) *trust = held.trust;
    if (sessions.empty()) {
        erase(it);
    } else {
        _lru.splice(_lru.begin(), _lru, it);
    }
    return session;
}

void ClientSessionStore::put(const std::string& key, SSL_SESSION* session, const Trust& trust) {
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
    std::vector<Held>& sessions = it->sessions;
    // One protocol per key: a TLS 1.2 session or a set of TLS 1.3 tickets.
    if (!isTls13(session) || (!sessions.empty() && !isTls13(sessions.front().session))) freeAll(*it);
    sessions.push_back(Held{session, trust});
    if (sessions.size() > kMaxTicketsPerKey) {
        SSL_SESSION_free(sessions.front().session);
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
