#include "tlsd/proxy_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace morvex {

namespace {

constexpr const char* kOutcomeNames[kRequestOutcomeCount] = {
    "complete", "closed-by-destination", "reset", "read-timeout", "connect-failed", "handshake-failed",
    "daemon-gone", "stopped"};

constexpr const char* kRefusalNames[kRefusalReasonCount] = {
    "not-local", "bad-request", "wrong-token", "unsupported-type", "resolve-failed", "busy", "no-outbound-loop"};

template <std::size_t N>
std::array<std::uint64_t, N> load(const std::array<std::atomic<std::uint64_t>, N>& counters) noexcept {
    std::array<std::uint64_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = counters[i].load(std::memory_order_relaxed);
    return out;
}

// Appends " key=name:n,name:n" over the non-zero entries ("-" when none).
template <std::size_t N, typename NameOf>
void appendList(std::string& out, const char* key, const std::array<std::uint64_t, N>& counts, NameOf nameOf) {
    out += ' ';
    out += key;
    out += '=';
    bool any = false;
    for (std::size_t i = 0; i < N; ++i) {
        if (counts[i] == 0) continue;
        if (any) out += ',';
        out += nameOf(i);
        out += ':';
        out += std::to_string(counts[i]);
        any = true;
    }
    if (!any) out += '-';
}

void appendField(std::string& out, const char* key, std::uint64_t value) {
    out += ' ';
    out += key;
    out += '=';
    out += std::to_string(value);
}

void appendQuantile(std::string& out, const char* key, const LatencyHistogram::Counts& counts, double q) {
    std::uint32_t bound = LatencyHistogram::quantileUpperBound(counts, q);
    out += ' ';
    out += key;
    out += '=';
    if (bound == UINT32_MAX) {
        out += '>';
        out += std::to_string(LatencyHistogram::kUpperBoundsMs.back());
    } else {
        out += std::to_string(bound);
    }
}

}  // namespace

const char* outcomeName(RequestOutcome outcome) noexcept {
    auto i = static_cast<std::size_t>(outcome);
    return i < kRequestOutcomeCount ? kOutcomeNames[i] : "unknown";
}

const char* refusalName(RefusalReason reason) noexcept {
    auto i = static_cast<std::size_t>(reason);
    return i < kRefusalReasonCount ? kRefusalNames[i] : "unknown";
}

std::size_t LatencyHistogram::bucketOf(double ms) noexcept {
    std::size_t i = 0;
    while (i < kUpperBoundsMs.size() && ms > kUpperBoundsMs[i]) ++i;
    return i;
}

LatencyHistogram::Counts LatencyHistogram::counts() const noexcept {
    return load(_counts);
}

std::uint32_t LatencyHistogram::quantileUpperBound(const Counts& counts, double q) noexcept {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts) total += c;
    if (total == 0) return 0;
    // The smallest bucket whose cumulative count reaches ceil(q * total).
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(total));
    if (static_cast<double>(rank) < q * static_cast<double>(total)) ++rank;
    if (rank == 0) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        seen += counts[i];
        if (seen >= rank) return i < kUpperBoundsMs.size() ? kUpperBoundsMs[i] : UINT32_MAX;
    }
    return UINT32_MAX;
}

bool ProxyStats::Snapshot::changedSince(const Snapshot& e) const noexcept {
    return accepted != e.accepted || closed != e.closed || requests != e.requests || refusals != e.refusals ||
           outcomes != e.outcomes || bytesToDestinations != e.bytesToDestinations ||
           bytesToDaemon != e.bytesToDaemon;
}

ProxyStats::ProcessFigures ProxyStats::ProcessFigures::current() {
    ProcessFigures figures;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        std::uint64_t n = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        ::closedir(dir);
        figures.descriptorsInUse = n > 0 ? n - 1 : 0;  // less the directory's own descriptor
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.descriptorLimit = limit.rlim_cur;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long long size = 0;
        unsigned long long resident = 0;
        if (std::fscanf(statm, "%llu %llu", &size, &resident) == 2) {
            figures.rssKiB = resident * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE)) / 1024;
        }
        std::fclose(statm);
    }
    return figures;
}

ProxyStats& ProxyStats::instance() {
    static auto* stats = new ProxyStats();
    return *stats;
}

void ProxyStats::requestReceived(ClientRequestType type) noexcept {
    auto i = static_cast<std::size_t>(type);
    if (i > 0 && i < kRequestTypeSlots) add(_requests[i], 1);
}

void ProxyStats::outboundEnded(RequestOutcome outcome, std::uint64_t sent, std::uint64_t relayed, HandshakeKind handshake,
                               double totalMs) noexcept {
    auto i = static_cast<std::size_t>(outcome);
    if (i < kRequestOutcomeCount) add(_outcomes[i], 1);
    add(_bytesToDestinations, sent);
    add(_bytesToDaemon, relayed);
    if (handshake == HandshakeKind::Full) add(_full, 1);
    if (handshake == HandshakeKind::Resumed) add(_resumed, 1);
    if (totalMs >= 0) _totalMs.record(totalMs);
}

ProxyStats::Snapshot ProxyStats::snapshot() const noexcept {
    Snapshot s;
    s.accepted = _accepted.load(std::memory_order_relaxed);
    s.closed = _closed.load(std::memory_order_relaxed);
    s.requests = load(_requests);
    s.refusals = load(_refusals);
    s.outcomes = load(_outcomes);
    s.bytesToDestinations = _bytesToDestinations.load(std::memory_order_relaxed);
    s.bytesToDaemon = _bytesToDaemon.load(std::memory_order_relaxed);
    s.resumedHandshakes = _resumed.load(std::memory_order_relaxed);
    s.fullHandshakes = _full.load(std::memory_order_relaxed);
    s.totalMs = _totalMs.counts();
    return s;
}

std::string ProxyStats::summaryLine(const char* label, const Snapshot& s, const ProcessFigures& process) {
    std::string out;
    out.reserve(512);
    out += label;
    appendField(out, "connections_accepted", s.accepted);
    appendField(out, "connections_open", s.open());
    appendList(out, "requests", s.requests,
               [](std::size_t i) { return toString(static_cast<ClientRequestType>(i)); });
    appendList(out, "refused", s.refusals, [](std::size_t i) { return refusalName(static_cast<RefusalReason>(i)); });
    appendList(out, "outcomes", s.outcomes,
               [](std::size_t i) { return outcomeName(static_cast<RequestOutcome>(i)); });
    appendField(out, "bytes_to_destinations", s.bytesToDestinations);
    appendField(out, "bytes_to_daemon", s.bytesToDaemon);
    appendField(out, "handshakes_resumed", s.resumedHandshakes);
    appendField(out, "handshakes_full", s.fullHandshakes);
    std::uint64_t handshakes = s.resumedHandshakes + s.fullHandshakes;
    out += " resumed_pct=";
    out += handshakes == 0 ? std::string("-") : std::to_string(s.resumedHandshakes * 100 / handshakes);
    appendQuantile(out, "total_ms_p50", s.totalMs, 0.50);
    appendQuantile(out, "total_ms_p90", s.totalMs, 0.90);
    appendQuantile(out, "total_ms_p99", s.totalMs, 0.99);
    out += " fds=";
    out += std::to_string(process.descriptorsInUse);
    out += '/';
    out += std::to_string(process.descriptorLimit);
    appendField(out, "rss_kib", process.rssKiB);
    return out;
}

}  // namespace morvex
