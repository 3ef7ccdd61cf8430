// Process-wide counters of what the proxy did, for the operator's summary
// line: connections, requests by type, refusals by reason, outbound outcomes,
// bytes each way, resumed against full handshakes and a histogram of total
// request times. Every counter is a relaxed atomic: any thread may count
// without a lock and without allocating; a snapshot is only approximately
// consistent across counters, which a summary can live with.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tls/client_request_type.h"

namespace morvex {

// How an outbound connection ended. The names are the completion line's
// "outcome" values.
enum class RequestOutcome : std::uint8_t {
    Complete,             // the answer was whole by its framing
    ClosedByDestination,  // the destination closed first (answer unframed or cut)
    Reset,                // connection reset or aborted by the destination
    ReadTimeout,          // the destination stayed silent too long
    ConnectFailed,        // refused, unreachable or connect time-out
    HandshakeFailed,      // TLS handshake failed or timed out
    DaemonGone,           // the daemon's connection closed while relaying
    Stopped,              // the proxy stopped while the request ran
};
inline constexpr std::size_t kRequestOutcomeCount = 8;
const char* outcomeName(RequestOutcome outcome) noexcept;

// Why a request (or a connection) was refused. Each refusal keeps its own
// ERROR line; these kinds only feed the summary.
enum class RefusalReason : std::uint8_t {
    NotLocal,         // peer not on the local host (at accept)
    BadRequest,       // the reader gave an error (unparsable, too large, bad type header)
    WrongToken,       // token header missing or different
    UnsupportedType,  // no client TLS context for the type
    ResolveFailed,    // the destination host did not resolve
    Busy,             // too many requests of one connection wait for resolution
    NoOutboundLoop,   // the outbound loop could not take the connect
};
inline constexpr std::size_t kRefusalReasonCount = 7;
const char* refusalName(RefusalReason reason) noexcept;

// The outbound TLS handshake of one request.
enum class HandshakeKind : std::uint8_t { None, Full, Resumed };

// Request types counted by the summary: the header's five kinds.
inline constexpr std::size_t kRequestTypeSlots = 6;  // index = ClientRequestType value, 0 unused

// Fixed buckets of total request time: upper bounds in ms (1-2-5 steps up to
// 300 s) and one overflow bucket. Recording is one atomic increment.
class LatencyHistogram {
public:
    static constexpr std::array<std::uint32_t, 18> kUpperBoundsMs = {
        1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 300000};
    static constexpr std::size_t kBuckets = kUpperBoundsMs.size() + 1;

    using Counts = std::array<std::uint64_t, kBuckets>;

    static std::size_t bucketOf(double ms) noexcept;
    void record(double ms) noexcept { _counts[bucketOf(ms)].fetch_add(1, std::memory_order_relaxed); }
    Counts counts() const noexcept;

    // The upper bound (ms) of the bucket holding the q-quantile (0 < q <= 1)
    // of counts; 0 when counts are all zero; UINT32_MAX for the overflow
    // bucket.
    static std::uint32_t quantileUpperBound(const Counts& counts, double q) noexcept;

private:
    std::array<std::atomic<std::uint64_t>, kBuckets> _counts{};
};

class ProxyStats {
public:
    struct Snapshot {
        std::uint64_t accepted = 0;
        std::uint64_t closed = 0;
        std::array<std::uint64_t, kRequestTypeSlots> requests{};
        std::array<std::uint64_t, kRefusalReasonCount> refusals{};
        std::array<std::uint64_t, kRequestOutcomeCount> outcomes{};
        std::uint64_t bytesToDestinations = 0;
        std::uint64_t bytesToDaemon = 0;
        std::uint64_t resumedHandshakes = 0;
        std::uint64_t fullHandshakes = 0;
        LatencyHistogram::Counts totalMs{};

        std::uint64_t open() const noexcept { return accepted > closed ? accepted - closed : 0; }
        // Whether anything was counted between `earlier` and this one.
        bool changedSince(const Snapshot& earlier) const noexcept;
    };

    // What the summary adds about the process itself.
    struct ProcessFigures {
        std::uint64_t descriptorsInUse = 0;
        std::uint64_t descriptorLimit = 0;
        std::uint64_t rssKiB = 0;
        // Read from /proc/self and the descriptor limit.
        static ProcessFigures current();
    };

    // The process-wide counters (never destroyed).
    static ProxyStats& instance();

    ProxyStats() = default;
    ProxyStats(const ProxyStats&) = delete;
    ProxyStats& operator=(const ProxyStats&) = delete;

    // Any thread.
    void connectionAccepted() noexcept { add(_accepted, 1); }
    void connectionClosed() noexcept { add(_closed, 1); }
    // A request whose metadata was read (counted before the checks).
    void requestReceived(ClientRequestType type) noexcept;
    void refused(RefusalReason reason) noexcept { add(_refusals[static_cast<std::size_t>(reason)], 1); }
    // One ended outbound connection; CompletionLog::write calls it. A
    // negative totalMs is not put in the histogram.
    void outboundEnded(RequestOutcome outcome, std::uint64_t sent, std::uint64_t relayed, HandshakeKind handshake,
                       double totalMs) noexcept;

    Snapshot snapshot() const noexcept;

    // "<label> connections_accepted=… connections_open=… requests=Telemetry:3,…
    // refused=wrong-token:1 outcomes=complete:2,reset:1 bytes_to_destinations=…
    // bytes_to_daemon=… handshakes_resumed=… handshakes_full=… resumed_pct=…
    // total_ms_p50=… total_ms_p90=… total_ms_p99=… fds=used/limit rss_kib=…".
    // Lists show only non-zero entries ("-" when none).
    static std::string summaryLine(const char* label, const Snapshot& snapshot, const ProcessFigures& process);

private:
    static void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) noexcept {
        counter.fetch_add(n, std::memory_order_relaxed);
    }

    std::atomic<std::uint64_t> _accepted{0};
    std::atomic<std::uint64_t> _closed{0};
    std::array<std::atomic<std::uint64_t>, kRequestTypeSlots> _requests{};
    std::array<std::atomic<std::uint64_t>, kRefusalReasonCount> _refusals{};
    std::array<std::atomic<std::uint64_t>, kRequestOutcomeCount> _outcomes{};
    std::atomic<std::uint64_t> _bytesToDestinations{0};
    std::atomic<std::uint64_t> _bytesToDaemon{0};
    std::atomic<std::uint64_t> _resumed{0};
    std::atomic<std::uint64_t> _full{0};
    LatencyHistogram _totalMs;
};

}  // namespace morvex
