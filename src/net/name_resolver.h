// IPv4 name resolution with a per-name rotation: several addresses of a name
// are put in a fixed shuffled order that belongs to the name, and successive
// resolutions start one place further on, so connections spread over them.
//
// resolveIPv4 blocks its caller; resolveIPv4Async does the lookup off the
// caller's loop (on a LookupWorkers thread) and posts the outcome back to a
// loop, so a name that never answers holds up nothing else.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace morvex {

class EventLoop;

class NameResolver {
public:
    // Addresses are IPv4 in network byte order (as in in_addr.s_addr).
    using AddressList = std::vector<std::uint32_t>;

    // Outcome of an asynchronous resolution: ok with the addresses (first =
    // the one to use), or not ok with the error text.
    using Completion = std::function<void(bool ok, AddressList addrs, std::string errorText)>;

    struct AsyncState;

    // Keeps an asynchronous resolution's completion alive. Destroying or
    // cancelling it (on the reply loop's thread) guarantees the completion
    // will not run and destroys it there; the lookup itself may still finish
    // in the background and is then dropped. Movable, not copyable.
    class Handle {
    public:
        Handle() noexcept = default;
        Handle(Handle&&) noexcept = default;
        Handle& operator=(Handle&& other) noexcept;
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle() { cancel(); }

        void cancel() noexcept;
        // True from the start until the completion ran or was cancelled.
        bool pending() const noexcept;

    private:
        friend class NameResolver;
        explicit Handle(std::shared_ptr<AsyncState> state) noexcept : _state(std::move(state)) {}
        std::shared_ptr<AsyncState> _state;
    };

    // The system lookup below the resolver: fills addrs (any order) for an
    // IPv4 stream lookup of host and returns 0, or returns the Winsock code
    // of the failure. Tests replace it to supply address lists.
    using SystemLookup = std::function<int(const std::string& host, AddressList& addrs)>;

    // The process-wide resolver.
    static NameResolver& instance();

    // Resolves host. On success fills addrs (first = the one to use) and
    // returns true; on failure returns false with errorText set to the
    // system's message text for the resolver's code. Thread-safe; blocks.
    bool resolveIPv4(const std::string& host, AddressList& addrs, std::string& errorText);

    // As resolveIPv4, without blocking: done runs later on replyLoop's thread
    // (never inside this call while replyLoop runs, the caller on that
    // thread included) with the same addresses, rotation and error texts. A
    // dotted IPv4 literal completes without a lookup. Keep the handle while
    // the completion may still be wanted; see Handle. If replyLoop is not
    // running, a literal (or a lookup that cannot be started) completes
    // inside this call, and a lookup that ends after its loop stopped is
    // dropped without running: its owner is being torn down.
    [[nodiscard]] Handle resolveIPv4Async(const std::string& host, EventLoop& replyLoop, Completion done);

    // Replaces the system lookup (empty: back to the real one). The async
    // path runs a replacement on a worker thread, so it may block.
    void setSystemLookup(SystemLookup lookup);
    // Reseeds the generator of per-name seeds and forgets every name.
    void reseed(std::uint64_t s0, std::uint64_t s1);

    // Removes leading zeros after the dots of a dotted IPv4 literal:
    // "10.001.002.003" -> "10.1.2.3". Other names come back unchanged.
    static std::string stripLeadingZeros(const std::string& host);

    // Sorts ascending (by bytes in network order) and shuffles with the
    // 32-bit LCG x -> x * 1103515245 + 12345 starting from seed.
    static void orderAddresses(AddressList& addrs, std::uint32_t seed);

    static constexpr std::size_t kMaxNames = 12;

    NameResolver();
    // Waits for lookups still running in the background (tests).
    ~NameResolver();
    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;

private:
    struct Entry {
        std::uint32_t hash = 0;
        std::uint32_t seed = 0;
        std::uint32_t position = 0;
        bool used = false;
    };

    static std::uint32_t hashName(const std::string& name) noexcept;
    std::uint64_t nextRandom() noexcept;  // xorshift128+
    // Finds or creates the name's entry, moves it to the front and returns
    // its seed and position (advanced on each lookup). Caller holds _lock.
    void touch(std::uint32_t hash, std::uint32_t& seed, std::uint32_t& position);
    // Turns a lookup's outcome (rc 0 or a Winsock code) into the result:
    // rotation for several addresses, the system text for a failure.
    bool finishLookup(const std::string& host, int rc, AddressList& addrs, std::string& errorText);
    // Hands a finished asynchronous resolution to its reply loop.
    static void deliver(const std::shared_ptr<AsyncState>& state, bool ok, AddressList addrs, std::string errorText,
                        bool onCallersThread);
    // Runs the lookup (the system's when empty) on a lookup worker thread.
    void startLookup(SystemLookup lookup, const std::string& host, const std::string& name,
                     std::shared_ptr<AsyncState> state);
    void lookupStarted();
    void lookupEnded();

    std::mutex _lock;
    Entry _entries[kMaxNames];  // most recently used first
    std::size_t _count = 0;
    std::uint64_t _s0;
    std::uint64_t _s1;
    SystemLookup _lookup;
    // Background lookups still running; the destructor waits for none.
    std::mutex _inFlightLock;
    std::condition_variable _inFlightDone;
    std::size_t _inFlight = 0;
};

}  // namespace morvex
