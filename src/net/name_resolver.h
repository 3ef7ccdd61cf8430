// IPv4 name resolution with a per-name rotation: several addresses of a name
// are put in a fixed shuffled order that belongs to the name, and successive
// resolutions start one place further on, so connections spread over them.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace morvex {

class NameResolver {
public:
    // Addresses are IPv4 in network byte order (as in in_addr.s_addr).
    using AddressList = std::vector<std::uint32_t>;

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

    // Replaces the system lookup (empty: back to the real one).
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

    std::mutex _lock;
    Entry _entries[kMaxNames];  // most recently used first
    std::size_t _count = 0;
    std::uint64_t _s0;
    std::uint64_t _s1;
    SystemLookup _lookup;
};

}  // namespace morvex
