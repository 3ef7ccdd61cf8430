#include "net/name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>

#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/lookup_workers.h"
#include "platform/error_codes.h"
#include "platform/winsock.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("NameResolver");

void collectIPv4(const addrinfo* res, NameResolver::AddressList& addrs) {
    for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
        addrs.push_back(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    }
}

int systemLookup(const std::string& host, NameResolver::AddressList& addrs) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = platform::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0) return rc;
    collectIPv4(res, addrs);
    platform::freeaddrinfo(res);
    return addrs.empty() ? static_cast<int>(platform::WSANO_DATA) : 0;
}

bool isDottedIPv4Shape(const std::string& s) {
    int dots = 0;
    for (char c : s) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return dots == 3;
}

// Runs its function once on the loop it was queued on, then frees itself.
class DeferredDelivery final : public InThreadActor {
public:
    explicit DeferredDelivery(std::function<void()> fn) : _fn(std::move(fn)) {}
    void callback() override {
        std::unique_ptr<DeferredDelivery> self(this);
        _fn();
    }

private:
    std::function<void()> _fn;
};

}  // namespace

NameResolver& NameResolver::instance() {
    static NameResolver* resolver = new NameResolver();
    return *resolver;
}

NameResolver::NameResolver() {
    std::random_device rd;
    std::uint64_t t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    _s0 = (static_cast<std::uint64_t>(rd()) << 32 | rd()) ^ t;
    _s1 = (static_cast<std::uint64_t>(rd()) << 32 | rd()) | 1;
}

void NameResolver::setSystemLookup(SystemLookup lookup) {
    std::lock_guard<std::mutex> guard(_lock);
    _lookup = std::move(lookup);
}

void NameResolver::reseed(std::uint64_t s0, std::uint64_t s1) {
    std::lock_guard<std::mutex> guard(_lock);
    _s0 = s0;
    _s1 = (s0 | s1) ? s1 : 1;  // the all-zero state would stick at zero
    _count = 0;
}

std::string NameResolver::stripLeadingZeros(const std::string& host) {
    if (!isDottedIPv4Shape(host)) return host;
    std::string out;
    out.reserve(host.size());
    bool afterDot = false;
    for (std::size_t i = 0; i < host.size(); ++i) {
        char c = host[i];
        // Drop a '0' that starts a part after a dot and is followed by a digit.
        if (afterDot && c == '0' && i + 1 < host.size() && host[i + 1] != '.') continue;
        afterDot = (c == '.');
        out += c;
    }
    return out;
}

void NameResolver::orderAddresses(AddressList& addrs, std::uint32_t seed) {
    // Network order compares as bytes: compare the host-order values.
    std::sort(addrs.begin(), addrs.end(), [](std::uint32_t a, std::uint32_t b) { return ntohl(a) < ntohl(b); });
    std::uint32_t x = seed;
    for (std::size_t i = 0; addrs.size() - i >= 2; ++i) {
        std::size_t left = addrs.size() - i;
        std::swap(addrs[i], addrs[i + x % left]);
        x = x * 1103515245u + 12345u;
    }
}

std::uint32_t NameResolver::hashName(const std::string& name) noexcept {
    std::uint32_t h = 5381;
    for (unsigned char c : name) h = h * 33 + c;
    return h;
}

std::uint64_t NameResolver::nextRandom() noexcept {
    std::uint64_t s1 = _s0;
    const std::uint64_t s0 = _s1;
    _s0 = s0;
    s1 ^= s1 << 23;
    _s1 = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
    return _s1 + s0;
}

void NameResolver::touch(std::uint32_t hash, std::uint32_t& seed, std::uint32_t& position) {
    std::size_t i = 0;
    while (i < _count && _entries[i].hash != hash) ++i;
    Entry e;
    if (i < _count) {
        e = _entries[i];
        ++e.position;
    } else {
        // New name: replaces the least recently used entry once the list is full.
        if (_count < kMaxNames) ++_count;
        i = _count - 1;
        std::uint64_t r = nextRandom();
        e.hash = hash;
        e.seed = static_cast<std::uint32_t>(r);
        e.position = static_cast<std::uint32_t>(r >> 32);
        e.used = true;
    }
    std::move_backward(_entries, _entries + i, _entries + i + 1);
    _entries[0] = e;
    seed = e.seed;
    position = e.position;
}

bool NameResolver::resolveIPv4(const std::string& host, AddressList& addrs, std::string& errorText) {
    addrs.clear();
    std::string name = stripLeadingZeros(host);
    SystemLookup lookup;
    {
        std::lock_guard<std::mutex> guard(_lock);
        lookup = _lookup;
    }
    int rc = lookup ? lookup(name, addrs) : systemLookup(name, addrs);
    return finishLookup(host, rc, addrs, errorText);
}

bool NameResolver::finishLookup(const std::string& host, int rc, AddressList& addrs, std::string& errorText) {
    if (rc == 0 && addrs.empty()) rc = static_cast<int>(platform::WSANO_DATA);
    if (rc != 0) {
        addrs.clear();
        errorText = platform::ErrorText(static_cast<std::uint32_t>(rc));
        return false;
    }
    if (addrs.size() == 1) return true;
    std::uint32_t seed, position;
    {
        std::lock_guard<std::mutex> guard(_lock);
        touch(hashName(host), seed, position);
    }
    orderAddresses(addrs, seed);
    std::rotate(addrs.begin(), addrs.begin() + position % addrs.size(), addrs.end());
    return true;
}

// --- asynchronous resolution ---

// Shared by the requester's handle and the lookup. `done` is taken under
// `lock` by whichever comes first: the delivery on the reply loop (runs it)
// or a cancel (destroys it).
struct NameResolver::AsyncState {
    explicit AsyncState(EventLoop& loop, Completion fn) : replyLoop(loop), done(std::move(fn)) {}
    EventLoop& replyLoop;
    std::mutex lock;
    Completion done;
};

NameResolver::Handle& NameResolver::Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        cancel();
        _state = std::move(other._state);
    }
    return *this;
}

void NameResolver::Handle::cancel() noexcept {
    if (!_state) return;
    Completion dropped;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        dropped = std::move(_state->done);
        _state->done = nullptr;
    }
    _state.reset();
    // `dropped` (and what it captured) goes here, on the caller's thread.
}

bool NameResolver::Handle::pending() const noexcept {
    if (!_state) return false;
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<bool>(_state->done);
}

NameResolver::~NameResolver() {
    std::unique_lock<std::mutex> guard(_inFlightLock);
    _inFlightDone.wait(guard, [this] { return _inFlight == 0; });
}

void NameResolver::lookupStarted() {
    std::lock_guard<std::mutex> guard(_inFlightLock);
    ++_inFlight;
}

void NameResolver::lookupEnded() {
    std::lock_guard<std::mutex> guard(_inFlightLock);
    if (--_inFlight == 0) _inFlightDone.notify_all();
}

void NameResolver::deliver(const std::shared_ptr<AsyncState>& state, bool ok, AddressList addrs,
                           std::string errorText, bool onCallersThread) {
    // Queued on the reply loop, also when called on the loop's own thread: a
    // completion never runs inside the call that asked for it while the loop
    // runs.
    auto* actor = new DeferredDelivery([state, ok, addrs = std::move(addrs), errorText = std::move(errorText)]() mutable {
        Completion done;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            done = std::move(state->done);
            state->done = nullptr;
        }
        if (done) done(ok, std::move(addrs), std::move(errorText));
    });
    Completion dropped;
    {
        // Checked and queued under the state's lock: once cancelled (its
        // owner is going, and its loop may go right after), nothing is
        // queued on that loop any more.
        std::lock_guard<std::mutex> guard(state->lock);
        if (!state->done) {
            delete actor;
            return;
        }
        if (state->replyLoop.postNowait(actor)) return;
        if (!onCallersThread) {
            // The loop stopped: its owner is being torn down on another
            // thread, and running the completion here would race with it.
            dropped = std::move(state->done);
            state->done = nullptr;
        }
    }
    if (dropped) {
        delete actor;
        return;
    }
    // A loop that has not started: the caller's own thread is the loop's.
    actor->callback();
}

NameResolver::Handle NameResolver::resolveIPv4Async(const std::string& host, EventLoop& replyLoop, Completion done) {
    auto state = std::make_shared<AsyncState>(replyLoop, std::move(done));
    Handle handle(state);
    std::string name = stripLeadingZeros(host);
    in_addr literal{};
    if (isDottedIPv4Shape(name) && inet_pton(AF_INET, name.c_str(), &literal) == 1) {
        deliver(state, true, AddressList{literal.s_addr}, {}, true);
        return handle;
    }
    SystemLookup lookup;
    {
        std::lock_guard<std::mutex> guard(_lock);
        lookup = _lookup;
    }
    startLookup(std::move(lookup), host, name, std::move(state));
    return handle;
}

void NameResolver::startLookup(SystemLookup lookup, const std::string& host, const std::string& name,
                               std::shared_ptr<AsyncState> state) {
    lookupStarted();
    bool queued = false;
    try {
        queued = LookupWorkers::instance().submit([this, lookup = std::move(lookup), host, name, state] {
            AddressList addrs;
            std::string errorText;
            bool ok = false;
            try {
                const int rc = lookup ? lookup(name, addrs) : systemLookup(name, addrs);
                ok = finishLookup(host, rc, addrs, errorText);
            } catch (const std::exception& e) {
                s_log.error("Lookup of %s failed: %s", host.c_str(), e.what());
                addrs.clear();
                finishLookup(host, static_cast<int>(platform::WSAENOBUFS), addrs, errorText);
            }
            deliver(state, ok, std::move(addrs), std::move(errorText), false);
            lookupEnded();
        });
    } catch (const std::exception&) {
        queued = false;
    }
    if (queued) return;
    // No thread to run it: fail this resolution only.
    lookupEnded();
    std::string errorText;
    AddressList none;
    finishLookup(host, static_cast<int>(platform::WSANO_RECOVERY), none, errorText);
    s_log.warn("Could not start the lookup of %s: %s", host.c_str(), errorText.c_str());
    deliver(state, false, {}, std::move(errorText), true);
}

}  // namespace morvex
