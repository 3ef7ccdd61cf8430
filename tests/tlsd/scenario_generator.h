// Randomized proxy scenarios: one seed gives one scenario, the same every
// time (only the destinations' port numbers differ between runs). A scenario
// is a few daemon connections, each a sequence of requests written in some
// way, and for every request the part its destination plays.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::scenario {

// Ways of writing and addressing requests. All are on by default;
// MORVEX_SCENARIO_OFF (a comma list of the names in describe()) turns some
// off, to run the rest against a build that cannot pass them yet.
struct Modes {
    bool split = true;            // a request in several records, or cut anywhere
    bool pipeline = true;         // several requests written back to back
    bool large = true;            // requests longer than one record
    bool chunkedRequests = true;  // request bodies in chunked coding
    bool addressHosts = true;     // Host: 127.0.0.1:port besides localhost
    bool earlyResets = true;      // connections reset right after the TCP connect
    bool early = true;            // destinations answering once the head came, before the body

    static Modes fromEnvironment();
    // "" when every mode is on, else "MORVEX_SCENARIO_OFF=split,pipeline".
    std::string describe() const;
};

class Rng {
public:
    explicit Rng(std::uint64_t seed) : _engine(seed) {}
    std::uint64_t next() { return _engine(); }
    // Uniform in [lo, hi].
    std::size_t between(std::size_t lo, std::size_t hi) { return lo + static_cast<std::size_t>(next() % (hi - lo + 1)); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(_engine) < p; }
    // Spread evenly over orders of magnitude, so small and large both come up.
    std::size_t logUniform(std::size_t lo, std::size_t hi);
    // Sizes of bodies: mostly small, now and then up to a few MB.
    std::size_t bodySize(bool large);
    std::string bytes(std::size_t n);

private:
    std::mt19937_64 _engine;
};

// How a destination connection ends.
enum class End : std::uint8_t { KeepAlive, Close, CloseNotify, Reset };

// The part one destination connection plays; every request gets its own.
struct DestinationPlan {
    std::string answer;      // every byte of the answer (1xx first, if any)
    std::size_t stopAt = 0;  // answer bytes written before the end (answer.size(): all)
    std::size_t early = 0;   // answer bytes written once the head came, before the body is read (<= stopAt)
    End end = End::KeepAlive;
    std::size_t recordMin = 1, recordMax = 16384;
    std::vector<std::pair<std::size_t, std::chrono::milliseconds>> pauses;  // at answer offset
    std::uint64_t seed = 0;  // record sizes while playing

    // What the daemon must get: every byte written before the end, since a
    // close or close_notify loses nothing; after a reset (which may drop
    // bytes still in flight) a prefix of them.
    std::string_view sent() const { return std::string_view(answer).substr(0, stopAt); }
    bool mayLoseBytes() const { return end == End::Reset; }
};

struct Request {
    std::string id;  // also in the request's and the answer's first line
    std::string bytes;
    std::size_t headLength = 0;  // request line and headers
    bool expectsContinue = false;  // Expect: 100-continue, its 100 Continue among the early bytes
    std::size_t destination = 0;
    DestinationPlan plan;
};

enum class DaemonKind : std::uint8_t { Normal, SlowReader, PausedReader, HalfClose, Reset };
const char* kindName(DaemonKind kind);

// Requests written together: their bytes back to back, cut into writes.
struct Batch {
    std::size_t first = 0, count = 0;  // requests[first .. first+count)
    std::vector<std::size_t> pieces;   // sizes of the successive writes (sum: the batch's bytes)
};

struct DaemonConnection {
    DaemonKind kind = DaemonKind::Normal;
    std::vector<Request> requests;
    std::vector<Batch> batches;
    bool resetAtOnce = false;                 // Reset: right after the TCP connect, before TLS
    bool waitBetweenBatches = true;           // take a batch's answers before writing the next
    std::size_t readChunk = 16384;            // SlowReader: bytes per read
    std::chrono::milliseconds readPause{0};   // SlowReader: after each read
    std::size_t readBeforePause = 0;          // PausedReader, Reset: bytes read first
};

struct Scenario {
    std::uint64_t seed = 0;
    std::vector<DaemonConnection> connections;
};

// The scenario of seed against destinations listening on ports (at least
// one). Request types are the four that have client TLS settings.
Scenario generate(std::uint64_t seed, const Modes& modes, const std::vector<std::uint16_t>& ports);

// A short printable account of a scenario, for failure messages.
std::string summary(const Scenario& scenario);

}  // namespace morvex::scenario
