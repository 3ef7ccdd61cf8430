#include "scenario_daemon.h"

#include "scenario_checks.h"
#include "support/origin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

namespace morvex::scenario {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kStall = 10s;                // longest wait for answers that should come
constexpr auto kContinueWait = 5s;          // a daemon's wait for 100 Continue, then the body goes anyway
constexpr auto kCanaryLimit = 1000ms;       // the canary's worst allowed wait, on an idle machine
constexpr auto kLossQuiet = 1000ms;         // after a reset, nothing more is taken to mean nothing comes
constexpr long kIdleTicks = 2;              // CPU ticks allowed in a quiet window
constexpr std::size_t kRssSlackKiB = 16 << 10;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// base stretched by how many runnable threads share each core (the 1-minute
// load average), so a machine shared with other jobs does not read as a
// stalled proxy; a stall (a spinning loop, a time-out) still costs seconds
// beyond it. loadText gets the load line.
std::chrono::milliseconds stretchedByLoad(std::chrono::milliseconds base, std::string* loadText = nullptr) {
    std::ifstream load("/proc/loadavg");
    std::string text;
    std::getline(load, text);
    double perCore = std::atof(text.c_str()) / std::max(1u, std::thread::hardware_concurrency());
    if (loadText) *loadText = text;
    return std::chrono::milliseconds(static_cast<long>(base.count() * std::max(1.0, perCore)));
}

std::size_t entries(pid_t pid, const char* dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/" + dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

// Threads other than the name lookup workers (those end 5 s after their
// last lookup, and up to 16 may run).
std::size_t threadsWithoutLookups(pid_t pid) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::ifstream in(it->path() / "comm");
        std::string name;
        std::getline(in, name);
        if (name.rfind("NameLookup", 0) != 0) ++n;
    }
    return n;
}

std::size_t rssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    }
    return 0;
}

// utime + stime of the whole process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}


std::size_t fileSize(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::size_t>(n);
}

// The log from byte `mark` on (all of it when it was rolled over meanwhile).
std::string logSince(const std::string& path, std::size_t mark) {
    std::ifstream in(path, std::ios::binary);
    if (fileSize(path) >= mark) in.seekg(static_cast<std::streamoff>(mark));
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Everyone arrives, then waits until released.
class Barrier {
public:
    explicit Barrier(std::size_t count) : _count(count) {}
    void arrive() {
        std::unique_lock lock(_mutex);
        ++_arrived;
        _changed.notify_all();
        _changed.wait(lock, [&] { return _released; });
    }
    bool waitAll(std::chrono::milliseconds timeout) {
        std::unique_lock lock(_mutex);
        return _changed.wait_for(lock, timeout, [&] { return _arrived >= _count; });
    }
    void release() {
        std::lock_guard lock(_mutex);
        _released = true;
        _changed.notify_all();
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::size_t _count, _arrived = 0;
    bool _released = false;
};

std::string requestTo(std::uint16_t port, const std::string& id, const char* type) {
    return "GET /canary/" + id + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
           "\r\nx-morvex-request-type: " + type + "\r\nx-morvex-tlsproxy-token: e2e-token\r\nX-Scenario-Id: " + id +
           "\r\n\r\n";
}

// A small request every 200 ms on its own connection, timed.
class Canary {
public:
    Canary(const Target& t, std::uint64_t seed) : _t(t), _seed(seed), _thread([this] { loop(); }) {}
    ~Canary() { stop(); }
    void stop() {
        {
            std::lock_guard lock(_mutex);
            _stop = true;
        }
        _changed.notify_all();
        if (_thread.joinable()) _thread.join();
    }
    // Holds the canary between requests (for a quiet window).
    void pause(bool on) {
        std::unique_lock lock(_mutex);
        _paused = on;
        _changed.notify_all();
        _changed.wait(lock, [&] { return !_busy || !on; });
    }
    std::chrono::milliseconds worst{0};
    std::string failure;

private:
    void loop() {
        DaemonLink link(_t.proxyPort);
        if (!link.connected()) failure = "the canary could not connect";
        for (std::size_t n = 0; link.connected() && failure.empty(); ++n) {
            {
                std::unique_lock lock(_mutex);
                _changed.wait(lock, [&] { return _stop || !_paused; });
                if (_stop) break;
                _busy = true;
            }
            std::string id = "canary-" + std::to_string(_seed) + "-" + std::to_string(n);
            DestinationPlan plan;
            plan.answer = "HTTP/1.1 200 OK r" + id + "\r\nContent-Length: 2\r\n\r\nok";
            plan.stopAt = plan.answer.size();
            _t.book->add(id, plan, _t.canaryPort);
            auto start = Clock::now();
            std::size_t base = link.received.size();
            link.write(requestTo(_t.canaryPort, id, n % 2 ? "Morvexd" : "Morvex-Base"), kNoLimit, start + 5s);
            while (link.received.size() < base + plan.answer.size() && !link.ended && Clock::now() < start + 5s) {
                link.read(kNoLimit, 50ms);
            }
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            worst = std::max(worst, waited);
            if (link.received.substr(base) != plan.answer) {
                failure = "canary request " + id + " got '" + printable(link.received.substr(base)) + "' after " +
                          std::to_string(waited.count()) + " ms";
            }
            std::unique_lock lock(_mutex);
            _busy = false;
            _changed.notify_all();
            _changed.wait_until(lock, start + 200ms, [&] { return _stop; });
            if (_stop) break;
        }
        link.close();
    }

    const Target& _t;
    std::uint64_t _seed;
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _stop = false, _paused = false, _busy = false;
    std::thread _thread;
};

struct ConnectionResult {
    std::string received;
    bool ended = false;
    std::vector<std::string> failures;
    std::size_t awaitedContinues = 0;
    std::vector<std::string> missedContinues;  // apart from failures: the answers are still read
};

// Reads until `expected` bytes came (at most limit) and the destinations of
// ids are done, or the connection ended; after a reset, also when nothing
// came for kLossQuiet (stretched by the load). A stall past kStall is a
// failure.
void readAnswers(DaemonLink& link, const DaemonConnection& c, const Target& t, const std::vector<std::string>& ids,
                 std::size_t expected, std::size_t limit, ConnectionResult& result, std::size_t from = 0) {
    std::size_t target = std::min(expected, limit);
    bool slow = c.kind == DaemonKind::SlowReader;
    bool mayLose = false;
    for (std::size_t i = from; i < ids.size(); ++i) mayLose = mayLose || c.requests[i].plan.mayLoseBytes();
    // Slow, but done in about 150 reads whatever the size.
    std::size_t chunk = std::max(c.readChunk, expected / 150);
    auto deadline = Clock::now() + kStall;
    auto lastChange = Clock::now();
    const auto quiet = mayLose ? stretchedByLoad(kLossQuiet) : kStall;
    if (!result.failures.empty()) return;  // stalled once already
    // A full wait also waits for every destination to be done, so that the
    // next request does not follow an answer of no bytes at once.
    bool full = target == expected;
    while (!link.ended && (link.received.size() < target || (full && !t.book->allSettled(ids)))) {
        std::size_t n = link.read(slow ? chunk : kNoLimit, 20ms);
        if (slow && n > 0) std::this_thread::sleep_for(c.readPause);
        auto now = Clock::now();
        if (n > 0) lastChange = now;
        // Only a reset can lose bytes; give the proxy a moment to relay what
        // arrived before it.
        if (mayLose && now - lastChange > quiet && t.book->allSettled(ids)) return;
        if (now > deadline) {
            result.failures.push_back("answers stalled: " + std::to_string(link.received.size()) + " of " +
                                      std::to_string(expected) + " bytes after " +
                                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kStall).count()) +
                                      " s; destinations done: " + (t.book->allSettled(ids) ? "yes" : "no"));
            return;
        }
    }
}

// Reads until r's 100 Continue came (it opens r's answer), at most kContinueWait.
void awaitContinue(DaemonLink& link, const Request& r, ConnectionResult& result) {
    const std::string goOn = "HTTP/1.1 100 Continue r" + r.id + "\r\n";
    auto deadline = Clock::now() + kContinueWait;
    while (link.received.find(goOn) == std::string::npos && !link.ended && Clock::now() < deadline) {
        link.read(kNoLimit, 20ms);
    }
    if (link.received.find(goOn) != std::string::npos) {
        ++result.awaitedContinues;
    } else {
        result.missedContinues.push_back(
            "no 100 Continue for " + r.id + " within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kContinueWait).count()) +
            " s of its head; the body went anyway");
    }
}

void play(const DaemonConnection& c, const Target& t, Barrier& barrier, ConnectionResult& result) {
    if (c.resetAtOnce) {
        test::resetRightAfterConnect(t.proxyPort);
        barrier.arrive();
        return;
    }
    DaemonLink link(t.proxyPort);
    if (!link.connected()) {
        result.failures.push_back("could not connect to the proxy");
        barrier.arrive();
        return;
    }
    bool holds = c.kind == DaemonKind::PausedReader || c.kind == DaemonKind::Reset;
    std::size_t limit = holds ? c.readBeforePause : kNoLimit;
    std::vector<std::string> ids;
    // Requests whose answers were awaited before the next batch, and the
    // bytes received then (less than their answers when some were cut).
    std::size_t awaited = 0, base = 0;
    auto expected = [&] {
        std::size_t n = base;
        for (std::size_t i = awaited; i < ids.size(); ++i) n += c.requests[i].plan.stopAt;
        return n;
    };
    bool writing = true;  // until a write fails: the rest would only wait as long
    for (std::size_t bi = 0; writing && bi < c.batches.size(); ++bi) {
        const Batch& b = c.batches[bi];
        std::string bytes;
        for (std::size_t i = b.first; i < b.first + b.count; ++i) {
            bytes += c.requests[i].bytes;
            ids.push_back(c.requests[i].id);
        }
        // A request that expects 100 Continue holds its body until that
        // comes, when no earlier answer on the connection may delay it.
        const Request& first = c.requests[b.first];
        std::size_t holdAt =
            first.expectsContinue && (bi == 0 || c.waitBetweenBatches) ? first.headLength : std::string::npos;
        std::size_t at = 0, pieceEnd = 0;
        for (std::size_t piece : b.pieces) {
            pieceEnd += piece;
            while (writing && at < pieceEnd) {
                std::size_t stop = at < holdAt && holdAt < pieceEnd ? holdAt : pieceEnd;
                // Reading goes on while writing: a daemon that stops reading
                // until its upload is out may stall any server.
                if (!link.write(std::string_view(bytes).substr(at, stop - at), kNoLimit, Clock::now() + kStall)) {
                    result.failures.push_back("writing batch " + std::to_string(bi) + " failed after " +
                                              std::to_string(at) + " of " + std::to_string(bytes.size()) + " bytes");
                    writing = false;
                    break;
                }
                at = stop;
                if (at == holdAt) awaitContinue(link, first, result);
            }
        }
        // Normal readers take each batch's answers before writing the next.
        if (c.waitBetweenBatches && bi + 1 < c.batches.size()) {
            readAnswers(link, c, t, ids, expected(), kNoLimit, result, awaited);
            awaited = ids.size();
            base = link.received.size();
        }
    }
    switch (c.kind) {
        case DaemonKind::HalfClose: {
            link.halfClose();
            auto deadline = Clock::now() + kStall;
            while (!link.ended && Clock::now() < deadline) link.read(kNoLimit, 50ms);
            if (!link.ended) result.failures.push_back("the connection did not end after the half-close");
            break;
        }
        case DaemonKind::Reset:
            readAnswers(link, c, t, ids, expected(), limit, result, awaited);
            link.reset();
            break;
        default:
            readAnswers(link, c, t, ids, expected(), limit, result, awaited);
            break;
    }
    barrier.arrive();
    if (c.kind == DaemonKind::PausedReader) readAnswers(link, c, t, ids, expected(), kNoLimit, result, awaited);
    result.received = link.received;
    result.ended = link.ended;
    link.close();
}

}  // namespace

// --- DaemonLink ---

DaemonLink::DaemonLink(std::uint16_t port) {
    _ctx = SSL_CTX_new(TLS_client_method());
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) return;
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, _fd);
    if (SSL_connect(ssl) != 1) {
        SSL_free(ssl);
        return;
    }
    _ssl = ssl;
    SSL_set_mode(_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    ::fcntl(_fd, F_SETFL, ::fcntl(_fd, F_GETFL) | O_NONBLOCK);
}

DaemonLink::~DaemonLink() {
    close();
    SSL_CTX_free(_ctx);
}

std::size_t DaemonLink::readAvailable(std::size_t max) {
    std::size_t total = 0;
    char buf[16384];
    while (_ssl && !ended && total < max) {
        int n = SSL_read(_ssl, buf, static_cast<int>(std::min(sizeof buf, max - total)));
        if (n > 0) {
            received.append(buf, static_cast<std::size_t>(n));
            total += static_cast<std::size_t>(n);
            continue;
        }
        int e = SSL_get_error(_ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) ended = true;
        break;
    }
    return total;
}

bool DaemonLink::write(std::string_view bytes, std::size_t readLimit, Clock::time_point deadline) {
    while (_ssl && !bytes.empty()) {
        int n = SSL_write(_ssl, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 16384)));
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        int e = SSL_get_error(_ssl, n);
        if ((e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) || Clock::now() > deadline) return false;
        bool reading = received.size() < readLimit && !ended;
        short events = e == SSL_ERROR_WANT_READ ? POLLIN : static_cast<short>(POLLOUT | (reading ? POLLIN : 0));
        pollfd p{_fd, events, 0};
        ::poll(&p, 1, 20);
        if (reading && (p.revents & POLLIN)) readAvailable(readLimit - received.size());
    }
    if (_ssl && received.size() < readLimit) readAvailable(readLimit - received.size());
    return _ssl != nullptr;
}

std::size_t DaemonLink::read(std::size_t max, std::chrono::milliseconds timeout) {
    if (!_ssl || ended) return 0;
    std::size_t n = readAvailable(max);
    if (n > 0 || ended) return n;
    pollfd p{_fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(timeout.count()));
    return readAvailable(max);
}

void DaemonLink::halfClose() {
    if (_fd >= 0) ::shutdown(_fd, SHUT_WR);
}

void DaemonLink::reset() {
    if (_fd < 0) return;
    linger l{1, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (_ssl) SSL_free(_ssl);
    _ssl = nullptr;
    ::close(_fd);
    _fd = -1;
}

void DaemonLink::close() {
    if (_ssl) {
        if (!ended) SSL_shutdown(_ssl);
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
}

// --- checks ---

Outcome run(const Scenario& s, const Target& t) {
    Outcome out;
    t.book->clear();
    for (const DaemonConnection& c : s.connections) {
        for (const Request& r : c.requests) t.book->add(r.id, r.plan, t.destinationPorts[r.destination]);
    }
    std::size_t fds = entries(t.proxyPid, "fd"), threads = threadsWithoutLookups(t.proxyPid);
    [[maybe_unused]] std::size_t rss = rssKiB(t.proxyPid);
    std::size_t logMark = fileSize(t.logPath);

    std::vector<ConnectionResult> results(s.connections.size());
    Barrier barrier(s.connections.size());
    {
        Canary canary(t, s.seed);
        std::vector<std::thread> players;
        for (std::size_t i = 0; i < s.connections.size(); ++i) {
            players.emplace_back([&, i] { play(s.connections[i], t, barrier, results[i]); });
        }
        if (!barrier.waitAll(60s)) out.failures.push_back("connections did not reach the quiet point in 60 s");
        // Every connection is now idle or paused with answers unread: the
        // proxy has nothing to do but wait.
        canary.pause(true);
        std::vector<long> windows;
        for (int i = 0; i < 5; ++i) {
            long before = cpuTicks(t.proxyPid);
            std::this_thread::sleep_for(300ms);
            windows.push_back(cpuTicks(t.proxyPid) - before);
            if (windows.back() <= kIdleTicks) break;
        }
        if (windows.back() > kIdleTicks) {
            std::string list;
            for (long w : windows) list += " " + std::to_string(w);
            out.failures.push_back("the proxy used CPU while every connection was idle or paused (ticks per 300 ms:" +
                                   list + ")");
        }
        canary.pause(false);
        barrier.release();
        for (std::thread& p : players) p.join();
        canary.stop();
        out.canaryWorst = canary.worst;
        if (!canary.failure.empty()) out.failures.push_back(canary.failure);
        std::string loadavg;
        if (std::chrono::milliseconds limit = stretchedByLoad(kCanaryLimit, &loadavg); canary.worst > limit) {
            out.failures.push_back("the canary waited " + std::to_string(canary.worst.count()) + " ms, over " +
                                   std::to_string(limit.count()) + " ms (load average " + loadavg + ")");
        }
    }

    for (std::size_t ci = 0; ci < s.connections.size(); ++ci) {
        const DaemonConnection& c = s.connections[ci];
        std::string where = "connection " + std::to_string(ci) + " (" + kindName(c.kind) + "): ";
        for (const std::string& f : results[ci].failures) out.failures.push_back(where + f);
        for (const std::string& f : results[ci].missedContinues) out.failures.push_back(where + f);
        out.awaitedContinues += results[ci].awaitedContinues;
        bool partial = c.kind == DaemonKind::HalfClose || c.kind == DaemonKind::Reset;
        std::vector<const Request*> requests;
        for (const Request& r : c.requests) {
            requests.push_back(&r);
            PlanBook::Entry e = t.book->entry(r.id);
            out.earlyAnswers += e.early;
            bool exact = e.received.size() == 1 && e.received[0] == r.bytes;
            bool prefix = e.received.empty() ||
                          (e.received.size() == 1 && r.bytes.compare(0, e.received[0].size(), e.received[0]) == 0);
            if (exact || (partial && prefix)) continue;
            std::string got;
            for (const std::string& b : e.received) got += " [" + std::to_string(b.size()) + " B: " + printable(b) + "]";
            out.failures.push_back(where + "request " + r.id + " (" + std::to_string(r.bytes.size()) +
                                   " B) reached its destination as" + (got.empty() ? " nothing" : got));
        }
        if (c.kind == DaemonKind::Reset) continue;
        // After a half-close an answer may also end early because the proxy
        // ended the connection: only others count as cut by a destination.
        std::size_t cuts = 0;
        std::string wrong = checkAnswers(results[ci].received, requests, c.kind == DaemonKind::HalfClose, cuts);
        if (c.kind != DaemonKind::HalfClose) out.cutAnswers += cuts;
        if (!wrong.empty()) out.failures.push_back(where + wrong);
    }
    for (const std::string& a : t.book->anomalies()) out.failures.push_back(a);

    // Every connection is closed: what the proxy holds must come back.
    auto deadline = Clock::now() + 5s;
    while ((entries(t.proxyPid, "fd") > fds || threadsWithoutLookups(t.proxyPid) > threads) && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    std::size_t fdsAfter = entries(t.proxyPid, "fd"), threadsAfter = threadsWithoutLookups(t.proxyPid);
    if (fdsAfter > fds) {
        out.failures.push_back("descriptors " + std::to_string(fds) + " -> " + std::to_string(fdsAfter) + " 5 s after");
    }
    if (threadsAfter > threads) {
        out.failures.push_back("threads " + std::to_string(threads) + " -> " + std::to_string(threadsAfter));
    }
#if !defined(__SANITIZE_ADDRESS__)
    if (std::size_t now = rssKiB(t.proxyPid); now > rss + kRssSlackKiB) {
        out.failures.push_back("RSS " + std::to_string(rss) + " KiB -> " + std::to_string(now) + " KiB");
    }
#endif
    auto reasonsLogged = [&] {
        std::string log = logSince(t.logPath, logMark);
        return countOf(log, "Connection closed, destination server=") + countOf(log, " failed after ");
    };
    std::size_t reasons = reasonsLogged();
    if (reasons < out.cutAnswers) {
        std::this_thread::sleep_for(300ms);  // lines below ERROR reach the file within 100 ms
        reasons = reasonsLogged();
    }
    if (reasons < out.cutAnswers) {
        out.failures.push_back(std::to_string(out.cutAnswers) + " answers were cut but the log gives " +
                               std::to_string(reasons) + " reasons");
    }
    std::string err = t.proxyStderr();
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos) {
        out.failures.push_back("sanitizer report:\n" + err.substr(0, 6000));
    }
    if (!t.proxyRunning()) out.failures.push_back("the proxy is gone; its standard error:\n" + err.substr(0, 6000));
    return out;
}

}  // namespace morvex::scenario
