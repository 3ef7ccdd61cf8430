#include "scenario_destination.h"
#include "support/origin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>

namespace morvex::scenario {

// --- book ---

void PlanBook::add(const std::string& id, const DestinationPlan& plan, std::uint16_t port) {
    std::lock_guard lock(_mutex);
    Entry& e = _entries[id];
    e.plan = plan;
    e.port = port;
    ++_changes;
}

void PlanBook::clear() {
    std::lock_guard lock(_mutex);
    _entries.clear();
    _anomalies.clear();
}

bool PlanBook::start(const std::string& id, std::uint16_t port, const std::string& bytes, DestinationPlan& plan,
                     bool early) {
    std::lock_guard lock(_mutex);
    ++_changes;
    auto it = _entries.find(id);
    if (it == _entries.end() || it->second.port != port) {
        _anomalies.push_back("destination on port " + std::to_string(port) + " got a request for " +
                             (it == _entries.end() ? "unknown id '" + id + "'"
                                                   : id + " of port " + std::to_string(it->second.port)) +
                             ": " + bytes.substr(0, 200));
        return false;
    }
    it->second.received.push_back(bytes);
    it->second.early = it->second.early || early;
    plan = it->second.plan;
    return true;
}

bool PlanBook::peek(const std::string& id, std::uint16_t port, DestinationPlan& plan) {
    std::lock_guard lock(_mutex);
    auto it = _entries.find(id);
    if (it == _entries.end() || it->second.port != port) return false;
    plan = it->second.plan;
    return true;
}

void PlanBook::extraBytes(const std::string& id, const std::string& bytes) {
    std::lock_guard lock(_mutex);
    ++_changes;
    _anomalies.push_back("destination connection of " + id + " got " + std::to_string(bytes.size()) +
                         " bytes after its request: " + bytes.substr(0, 200));
}

void PlanBook::settle(const std::string& id) {
    std::lock_guard lock(_mutex);
    ++_changes;
    auto it = _entries.find(id);
    if (it != _entries.end()) it->second.settled = true;
}

void PlanBook::anomaly(std::string text) {
    std::lock_guard lock(_mutex);
    ++_changes;
    _anomalies.push_back(std::move(text));
}

bool PlanBook::allSettled(const std::vector<std::string>& ids) {
    std::lock_guard lock(_mutex);
    return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
        auto it = _entries.find(id);
        return it != _entries.end() && it->second.settled;
    });
}

PlanBook::Entry PlanBook::entry(const std::string& id) {
    std::lock_guard lock(_mutex);
    auto it = _entries.find(id);
    return it == _entries.end() ? Entry{} : it->second;
}

std::vector<std::string> PlanBook::anomalies() {
    std::lock_guard lock(_mutex);
    return _anomalies;
}

std::uint64_t PlanBook::changes() {
    std::lock_guard lock(_mutex);
    return _changes;
}

// --- request framing ---

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Value of header `name` (lower case) in head, or "".
std::string headerValue(const std::string& head, const std::string& name) {
    std::string l = lower(head);
    std::size_t at = l.find("\r\n" + name + ":");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    std::size_t end = head.find("\r\n", at);
    std::string v = head.substr(at, end - at);
    v.erase(0, v.find_first_not_of(" \t"));
    return v;
}

}  // namespace

std::size_t requestLength(const std::string& b) {
    std::size_t headEnd = b.find("\r\n\r\n");
    if (headEnd == std::string::npos) return std::string::npos;
    headEnd += 4;
    std::string head = b.substr(0, headEnd);
    if (lower(headerValue(head, "transfer-encoding")).find("chunked") != std::string::npos) {
        std::size_t p = headEnd;
        for (;;) {
            std::size_t eol = b.find("\r\n", p);
            if (eol == std::string::npos) return std::string::npos;
            std::size_t size = std::stoull(b.substr(p, eol - p), nullptr, 16);
            if (size == 0) {
                std::size_t q = eol + 2;
                if (b.size() < q + 2) return std::string::npos;
                if (b.compare(q, 2, "\r\n") == 0) return q + 2;
                std::size_t end = b.find("\r\n\r\n", q);
                return end == std::string::npos ? std::string::npos : end + 4;
            }
            p = eol + 2 + size + 2;
            if (p > b.size()) return std::string::npos;
        }
    }
    std::string length = headerValue(head, "content-length");
    std::size_t total = headEnd + (length.empty() ? 0 : std::stoull(length));
    return b.size() >= total ? total : std::string::npos;
}

// --- server ---

ScenarioDestination::ScenarioDestination(const std::string& certPem, const std::string& keyPem, PlanBook& book)
    : _book(book) {
    _ctx = test::newTlsServerContext(certPem, keyPem, "destination");
    _listenFd = test::listenOnAnyLoopbackPort(_port, 256, "destination");
    if (::pipe2(_wakePipe, O_CLOEXEC) != 0) throw std::runtime_error("destination: cannot listen");
    _acceptor = std::thread([this] { acceptLoop(); });
}

ScenarioDestination::~ScenarioDestination() {
    _stop = true;
    [[maybe_unused]] ssize_t n = ::write(_wakePipe[1], "x", 1);
    _acceptor.join();
    {
        std::lock_guard lock(_mutex);
        for (Worker& w : _workers) {
            if (w.fd >= 0) ::shutdown(w.fd, SHUT_RDWR);
        }
    }
    for (Worker& w : _workers) w.thread.join();
    ::close(_listenFd);
    ::close(_wakePipe[0]);
    ::close(_wakePipe[1]);
    SSL_CTX_free(_ctx);
}

std::size_t ScenarioDestination::openConnections() {
    std::lock_guard lock(_mutex);
    return static_cast<std::size_t>(
        std::count_if(_workers.begin(), _workers.end(), [](const Worker& w) { return !w.done; }));
}

void ScenarioDestination::acceptLoop() {
    while (!_stop) {
        pollfd fds[2] = {{_listenFd, POLLIN, 0}, {_wakePipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN)) continue;
        int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(_mutex);
        for (auto it = _workers.begin(); it != _workers.end();) {
            if (it->done) {
                it->thread.join();
                it = _workers.erase(it);
            } else {
                ++it;
            }
        }
        Worker& w = _workers.emplace_back();
        w.fd = fd;
        w.thread = std::thread([this, &w] { serve(w); });
    }
}

// Writes a plan's answer in its record sizes and pauses, in steps that go
// on where the last one stopped.
struct AnswerWriter {
    explicit AnswerWriter(const DestinationPlan& p) : plan(p), rng(p.seed) {}
    // Writes up to answer offset `to`; false when the connection failed.
    bool writeTo(SSL* ssl, std::size_t to) {
        while (at < to) {
            while (pause < plan.pauses.size() && plan.pauses[pause].first <= at) {
                std::this_thread::sleep_for(plan.pauses[pause++].second);
            }
            std::size_t limit = to;
            if (pause < plan.pauses.size()) limit = std::min(limit, std::max(plan.pauses[pause].first, at + 1));
            std::size_t n = std::min(limit - at, rng.between(plan.recordMin, plan.recordMax));
            int w = SSL_write(ssl, plan.answer.data() + at, static_cast<int>(n));
            if (w <= 0) return false;
            at += static_cast<std::size_t>(w);
        }
        return true;
    }

    DestinationPlan plan;
    Rng rng;
    std::size_t at = 0, pause = 0;
};

void ScenarioDestination::serve(Worker& worker) {
    int fd = worker.fd;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{30, 0};  // a proxy that never ends a connection must not hang the test
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(_ctx);
    SSL_set_fd(ssl, fd);
    bool reset = false;
    if (SSL_accept(ssl) == 1) {
        std::string bytes;
        std::size_t length = std::string::npos;
        bool early = false;
        DestinationPlan plan;
        auto readUntil = [&](auto done) {
            char buf[16384];
            while (!done()) {
                int n = SSL_read(ssl, buf, sizeof buf);
                if (n <= 0) return false;
                bytes.append(buf, static_cast<std::size_t>(n));
            }
            return true;
        };
        // The head names the request, and so the plan, which may answer
        // before the body is read.
        bool head = readUntil([&] { return bytes.find("\r\n\r\n") != std::string::npos; });
        std::string id = headerValue(bytes.substr(0, bytes.find("\r\n\r\n") + 2), "x-scenario-id");
        std::optional<AnswerWriter> writer;
        try {
            if (head && _book.peek(id, _port, plan) && plan.early > 0) {
                early = requestLength(bytes) == std::string::npos;
                writer.emplace(plan).writeTo(ssl, plan.early);
            }
            readUntil([&] { return (length = requestLength(bytes)) != std::string::npos; });
        } catch (const std::exception&) {  // a chunk size that is no number: not our request
            length = std::string::npos;
        }
        if (length == std::string::npos) {
            // Cut short: the checks judge the bytes against the request.
            if (!id.empty()) {
                if (_book.start(id, _port, bytes, plan, early)) _book.settle(id);
            } else if (!bytes.empty()) {
                _book.anomaly("destination on port " + std::to_string(_port) + " got " +
                              std::to_string(bytes.size()) + " bytes without a request id: " + bytes.substr(0, 200));
            }
        } else if (_book.start(id, _port, bytes.substr(0, length), plan, early)) {
            std::string pending = bytes.substr(length);
            if (!writer) writer.emplace(plan);
            play(ssl, id, *writer, pending);
            reset = plan.end == End::Reset;
            _book.settle(id);
        }
    }
    if (reset) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    SSL_free(ssl);
    {
        std::lock_guard lock(_mutex);
        ::close(fd);
        worker.fd = -1;
    }
    worker.done = true;
}

// Writes the rest of the answer as the plan says and ends the connection's
// TLS part; the caller closes the socket (with a reset when the plan ends so).
void ScenarioDestination::play(SSL* ssl, const std::string& id, AnswerWriter& writer, std::string& pending) {
    if (!pending.empty()) _book.extraBytes(id, pending);
    const DestinationPlan& plan = writer.plan;
    if (!writer.writeTo(ssl, plan.stopAt)) return;
    switch (plan.end) {
        case End::KeepAlive: {
            _book.settle(id);
            // Kept alive: the proxy ends the connection once the answer is
            // whole; anything it sends meanwhile was not asked for here.
            char buf[16384];
            std::string extra;
            for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) extra.append(buf, static_cast<std::size_t>(n));
            if (!extra.empty()) _book.extraBytes(id, extra);
            return;
        }
        case End::CloseNotify:
            SSL_shutdown(ssl);
            return;
        case End::Close:
        case End::Reset:
            return;
    }
}

}  // namespace morvex::scenario
