#include "scenario_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace morvex::scenario {

namespace {

const char* const kTypes[] = {"Deployment-Client", "Morvex-Base", "Telemetry", "Morvexd"};
constexpr std::size_t kOneRecord = 16000;          // a request that fits one TLS record
constexpr std::size_t kBytesPerScenario = 6 << 20;  // keeps a scenario well under a second

struct ModeName {
    const char* name;
    bool Modes::*flag;
};
const ModeName kModeNames[] = {{"split", &Modes::split},
                               {"pipeline", &Modes::pipeline},
                               {"large", &Modes::large},
                               {"chunked", &Modes::chunkedRequests},
                               {"address", &Modes::addressHosts},
                               {"early-reset", &Modes::earlyResets},
                               {"early", &Modes::early}};

std::string hex(std::size_t n) {
    std::ostringstream out;
    out << std::hex << n;
    return out.str();
}

// The answer to request `id`: interim answers, then the final one framed as
// drawn. Its first line carries the id, so a daemon can tell answers apart.
// `interim` gets the length of the interim answers.
std::string makeAnswer(Rng& rng, const std::string& id, bool head, bool& untilClose, std::size_t& budget,
                       std::size_t& interim) {
    std::string out;
    for (std::size_t i = rng.chance(0.25) ? rng.between(1, 2) : 0; i > 0; --i) {
        out += rng.chance(0.5) ? "HTTP/1.1 100 Continue r" + id + "\r\n\r\n"
                               : "HTTP/1.1 103 Early Hints r" + id + "\r\nLink: </style.css>; rel=preload\r\n\r\n";
    }
    interim = out.size();
    std::size_t size = std::min(rng.bodySize(true), budget);
    budget -= size;
    std::size_t framing = rng.between(0, 99);
    untilClose = false;
    if (head) {
        return out + "HTTP/1.1 200 OK r" + id + "\r\nX-Scenario-Id: " + id +
               "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    }
    if (framing < 10) {
        bool notModified = rng.chance(0.5);
        return out + (notModified ? "HTTP/1.1 304 Not Modified r" : "HTTP/1.1 204 No Content r") + id +
               "\r\nX-Scenario-Id: " + id + "\r\n\r\n";
    }
    std::string body = rng.bytes(size);
    out += "HTTP/1.1 200 OK r" + id + "\r\nX-Scenario-Id: " + id + "\r\n";
    if (framing < 50) return out + "Content-Length: " + std::to_string(size) + "\r\n\r\n" + body;
    if (framing < 85) {
        out += "Transfer-Encoding: chunked\r\n\r\n";
        for (std::size_t at = 0; at < size;) {
            std::size_t n = std::min(size - at, rng.logUniform(1, 65536));
            out += hex(n) + "\r\n" + body.substr(at, n) + "\r\n";
            at += n;
        }
        out += "0\r\n";
        if (framing >= 70) out += "X-Checksum: " + std::to_string(size) + "\r\n";
        return out + "\r\n";
    }
    untilClose = true;
    return out + "Connection: close\r\n\r\n" + body;
}

DestinationPlan makePlan(Rng& rng, const std::string& id, bool head, std::size_t& budget, std::size_t& interim) {
    DestinationPlan plan;
    bool untilClose = false;
    plan.answer = makeAnswer(rng, id, head, untilClose, budget, interim);
    plan.seed = rng.next();
    std::size_t size = plan.answer.size();
    std::size_t cut = rng.between(0, 99);
    plan.stopAt = cut < 8 ? 0 : cut < 18 ? rng.between(1, size - 1) : size;
    const End ends[] = {End::KeepAlive, End::Close, End::CloseNotify, End::Reset};
    plan.end = ends[rng.between(0, 3)];
    // An answer cut short or ended by the close must be followed by a close:
    // a destination that stays silent would only test the 40 s read time-out.
    if ((plan.stopAt < size || untilClose) && plan.end == End::KeepAlive) plan.end = End::Close;
    if (untilClose && plan.stopAt == size && plan.end == End::Reset) plan.end = End::CloseNotify;
    switch (rng.between(0, 3)) {
        case 0: plan.recordMin = 1, plan.recordMax = 16; break;
        case 1: plan.recordMin = plan.recordMax = 16384; break;
        default: plan.recordMin = 1, plan.recordMax = 16384; break;
    }
    plan.recordMin = std::max(plan.recordMin, size / 3000 + 1);
    plan.recordMax = std::max(plan.recordMax, plan.recordMin);
    if (rng.chance(0.3)) {
        for (std::size_t i = rng.between(1, 2); i > 0; --i) {
            plan.pauses.emplace_back(rng.between(0, size), std::chrono::milliseconds(rng.between(1, 40)));
        }
        std::sort(plan.pauses.begin(), plan.pauses.end());
    }
    return plan;
}

// Whether r's destination answers before it reads the body: its interim
// answers only, or the whole answer when small (a daemon writes its batch
// before it reads, so a large one could fill every buffer on the way). Drawn
// from the plan's own seed, so the scenario's other draws stay as they were.
void drawEarly(Request& r, std::size_t interim) {
    DestinationPlan& plan = r.plan;
    std::size_t k = Rng(plan.seed ^ 0xE4A1'7C3Bu).between(0, 99);
    if (k < 30 && interim > 0 && interim <= plan.stopAt) {
        plan.early = interim;
    } else if (k >= 30 && k < 50 && plan.stopAt == plan.answer.size() && plan.answer.size() - interim < (16 << 10)) {
        plan.early = plan.answer.size();
    }
    if (plan.early > 0 && plan.answer.rfind("HTTP/1.1 100 ", 0) == 0) {
        r.expectsContinue = true;
        r.bytes.insert(r.headLength - 2, "Expect: 100-continue\r\n");
        r.headLength += 22;
    }
}

Request makeRequest(Rng& rng, const Modes& modes, const std::string& id, const std::vector<std::uint16_t>& ports,
                    std::size_t& budget) {
    Request r;
    r.id = id;
    r.destination = rng.between(0, ports.size() - 1);
    std::size_t m = rng.between(0, 9);
    const char* method = m < 4 ? "GET" : m < 6 ? "HEAD" : "POST";
    bool post = m >= 6;
    std::string host = (modes.addressHosts && rng.chance(0.4)) ? "127.0.0.1" : "localhost";
    std::vector<std::string> headers = {
        "Host: " + host + ":" + std::to_string(ports[r.destination]),
        std::string("x-morvex-request-type: ") + kTypes[rng.between(0, 3)],
        "x-morvex-tlsproxy-token: e2e-token",
        "X-Scenario-Id: " + id,
        "User-Agent: morvexd-scenario",
    };
    std::shuffle(headers.begin(), headers.end(), std::mt19937_64(rng.next()));
    std::string body;
    if (post) {
        std::size_t size = std::min(rng.bodySize(modes.large), budget);
        budget -= size;
        std::string data = rng.bytes(size);
        if (modes.chunkedRequests && rng.chance(0.4)) {
            headers.push_back("Transfer-Encoding: chunked");
            for (std::size_t at = 0; at < size;) {
                std::size_t n = std::min(size - at, rng.logUniform(1, 65536));
                body += hex(n) + "\r\n" + data.substr(at, n) + "\r\n";
                at += n;
            }
            body += rng.chance(0.3) ? "0\r\nX-Digest: none\r\n\r\n" : "0\r\n\r\n";
        } else {
            headers.push_back("Content-Length: " + std::to_string(size));
            body = std::move(data);
        }
    }
    r.bytes = std::string(method) + " /s/" + id + " HTTP/1.1\r\n";
    for (const std::string& h : headers) r.bytes += h + "\r\n";
    r.bytes += "\r\n";
    r.headLength = r.bytes.size();
    r.bytes += body;
    std::size_t interim = 0;
    r.plan = makePlan(rng, id, m >= 4 && m < 6, budget, interim);
    if (modes.early && r.bytes.size() > r.headLength) drawEarly(r, interim);
    return r;
}

// Cuts a batch's bytes into writes: all at once, head and body apart, or
// anywhere (down to single bytes).
std::vector<std::size_t> makePieces(Rng& rng, const Modes& modes, const DaemonConnection& c, const Batch& b) {
    std::vector<std::size_t> pieces;
    std::size_t total = 0;
    for (std::size_t i = b.first; i < b.first + b.count; ++i) total += c.requests[i].bytes.size();
    std::size_t how = modes.split ? rng.between(0, 2) : 0;
    if (how == 0) {
        if (modes.pipeline) return {total};
        for (std::size_t i = b.first; i < b.first + b.count; ++i) pieces.push_back(c.requests[i].bytes.size());
        return pieces;
    }
    if (how == 1) {
        for (std::size_t i = b.first; i < b.first + b.count; ++i) {
            const Request& r = c.requests[i];
            pieces.push_back(r.headLength);
            if (r.bytes.size() > r.headLength) pieces.push_back(r.bytes.size() - r.headLength);
        }
        return pieces;
    }
    std::vector<std::size_t> cuts;
    for (std::size_t i = rng.between(1, 6); i > 0 && total > 1; --i) {
        std::size_t at = rng.between(1, total - 1);
        cuts.push_back(at);
        if (rng.chance(0.3) && at + 1 < total) cuts.push_back(at + 1);  // a one-byte record
    }
    cuts.push_back(total);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::size_t last = 0;
    for (std::size_t at : cuts) pieces.push_back(at - last), last = at;
    return pieces;
}

}  // namespace

Modes Modes::fromEnvironment() {
    Modes modes;
    const char* off = std::getenv("MORVEX_SCENARIO_OFF");
    std::string list = off ? off : "";
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
        for (const ModeName& m : kModeNames) {
            if (name == m.name) modes.*(m.flag) = false;
        }
    }
    return modes;
}

std::string Modes::describe() const {
    std::string names;
    for (const ModeName& m : kModeNames) {
        if (!(this->*(m.flag))) names += (names.empty() ? "" : ",") + std::string(m.name);
    }
    return names.empty() ? "" : "MORVEX_SCENARIO_OFF=" + names;
}

std::size_t Rng::logUniform(std::size_t lo, std::size_t hi) {
    double l = std::log(static_cast<double>(lo)), h = std::log(static_cast<double>(hi) + 1);
    auto v = static_cast<std::size_t>(std::exp(std::uniform_real_distribution<double>(l, h)(_engine)));
    return std::clamp(v, lo, hi);
}

std::size_t Rng::bodySize(bool large) {
    std::size_t k = between(0, 99);
    if (k < 15) return 0;
    if (k < 70 || !large) return logUniform(1, large ? 4096 : 12000);
    if (k < 96) return logUniform(4096, 256 << 10);
    return logUniform(256 << 10, 3 << 20);
}

std::string Rng::bytes(std::size_t n) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint64_t v = next();
        for (std::size_t j = 0; j < 8 && i + j < n; ++j) out[i + j] = static_cast<char>(v >> (8 * j));
    }
    return out;
}

const char* kindName(DaemonKind kind) {
    switch (kind) {
        case DaemonKind::Normal: return "normal";
        case DaemonKind::SlowReader: return "slow reader";
        case DaemonKind::PausedReader: return "paused reader";
        case DaemonKind::HalfClose: return "half-close";
        case DaemonKind::Reset: return "reset";
    }
    return "?";
}

Scenario generate(std::uint64_t seed, const Modes& modes, const std::vector<std::uint16_t>& ports) {
    Rng rng(seed * 0x9E3779B97F4A7C15ull + 1);
    Scenario s;
    s.seed = seed;
    std::size_t budget = kBytesPerScenario;
    std::size_t count = rng.between(2, 4);
    for (std::size_t ci = 0; ci < count; ++ci) {
        DaemonConnection c;
        std::size_t k = rng.between(0, 99);
        c.kind = k < 45   ? DaemonKind::Normal
                 : k < 60 ? DaemonKind::SlowReader
                 : k < 75 ? DaemonKind::PausedReader
                 : k < 87 ? DaemonKind::HalfClose
                          : DaemonKind::Reset;
        std::size_t n = rng.between(1, 5);
        for (std::size_t ri = 0; ri < n; ++ri) {
            std::string id = std::to_string(seed) + "." + std::to_string(ci) + "." + std::to_string(ri);
            c.requests.push_back(makeRequest(rng, modes, id, ports, budget));
            if (!modes.large && c.requests.back().bytes.size() > kOneRecord) {
                c.requests.back() = makeRequest(rng, modes, id, ports, budget);  // one more try, then drop the body
                if (c.requests.back().bytes.size() > kOneRecord) c.requests.pop_back(), --n, --ri;
            }
        }
        for (std::size_t at = 0; at < c.requests.size();) {
            Batch b;
            b.first = at;
            b.count = modes.pipeline ? rng.between(1, c.requests.size() - at) : 1;
            b.pieces = makePieces(rng, modes, c, b);
            at += b.count;
            c.batches.push_back(std::move(b));
        }
        // Readers that hold back write everything at once, unless no
        // request may follow another before its answer.
        c.waitBetweenBatches = !modes.pipeline || c.kind == DaemonKind::Normal || c.kind == DaemonKind::SlowReader;
        c.resetAtOnce = rng.chance(0.3) && c.kind == DaemonKind::Reset && modes.earlyResets;
        c.readChunk = rng.logUniform(1, 4096);
        c.readPause = std::chrono::milliseconds(rng.between(1, 5));
        std::size_t expected = 0;
        for (const Request& r : c.requests) expected += r.plan.answer.size();
        c.readBeforePause = rng.between(0, expected);
        if (!c.requests.empty()) s.connections.push_back(std::move(c));
    }
    return s;
}

std::string summary(const Scenario& s) {
    std::ostringstream out;
    for (std::size_t ci = 0; ci < s.connections.size(); ++ci) {
        const DaemonConnection& c = s.connections[ci];
        out << "  connection " << ci << " (" << kindName(c.kind) << (c.resetAtOnce ? " at once" : "") << ", " << c.batches.size() << " batches):\n";
        for (const Request& r : c.requests) {
            const DestinationPlan& p = r.plan;
            out << "    " << r.id << " " << r.bytes.substr(0, r.bytes.find(' ')) << " request " << r.bytes.size()
                << " B to destination " << r.destination << "; answer " << p.answer.size() << " B, stop at "
                << p.stopAt << ", early " << p.early << (r.expectsContinue ? " (expects 100)" : "") << ", end "
                << static_cast<int>(p.end) << ", records " << p.recordMin << "-" << p.recordMax << ", pauses "
                << p.pauses.size() << "\n";
        }
    }
    return out.str();
}

}  // namespace morvex::scenario
