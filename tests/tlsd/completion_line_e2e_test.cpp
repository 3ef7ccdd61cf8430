// The completion line of each proxied request and the summary's counts, end
// to end against the real binary: one table of destinations, each ending its
// request in its own way, then the final summary at SIGTERM over the whole
// mix, with one request still waiting at the stop. The read time-out's line is checked in-process, where the time-out
// can be shortened (fwd_client_read_timeout_test.cpp).
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::ScriptedTlsOrigin;
using Step = ScriptedTlsOrigin::Step;
using Kind = ScriptedTlsOrigin::Step::Kind;

const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
// Announces far more than it sends, so the answer stays open.
const std::string kLongAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(200, 'x');

struct Case {
    const char* name;
    std::vector<Step> script;  // empty: nobody listens (connect failure)
    std::string answer;
    int requests;       // each on a new connection of the daemon, to the same destination
    bool daemonLeaves;  // the daemon closes once it has the answer's first bytes
    // Per request: substrings of its line.
    std::vector<std::vector<std::string>> fields;
};

// The line naming dest, or "" when none came within the wait.
std::string completionLine(const std::string& log, const std::string& dest, std::size_t nth) {
    std::size_t at = 0;
    for (std::size_t i = 0;; ++i) {
        at = log.find(" TLSProxyRequest type=", at);
        if (at == std::string::npos) return "";
        std::size_t end = log.find('\n', at);
        std::string line = log.substr(at, end - at);
        at = end;
        if (line.find(" dest=" + dest + " ") == std::string::npos) {
            --i;
            continue;
        }
        if (i == nth) return line;
    }
}

class CompletionLineE2E : public ProxyE2E {};

TEST_F(CompletionLineE2E, EachOutcomeHasItsLineAndTheFinalSummaryCountsThemAll) {
    startProxy();
    const std::string common = " type=Morvexd method=GET ";
    const std::vector<Case> cases = {
        {"complete, full then resumed handshake",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write}, {Kind::CloseNotify}},
         kAnswer,
         2,
         false,
         {{"addr=127.0.0.1 sni=localhost tls=TLSv1.3 ",
           " resumed=no status=200 sent=", " relayed=" + std::to_string(kAnswer.size()) + " ", " outcome=complete"},
          {" resumed=yes status=200 ", " relayed=" + std::to_string(kAnswer.size()) + " ", " outcome=complete"}}},
        {"reset by the destination",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write, 20}, {Kind::Pause, 0, 0, 200ms}, {Kind::Reset}},
         kLongAnswer,
         1,
         false,
         {{" resumed=no ", " outcome=reset"}}},
        {"closed by the destination mid-answer",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write, 60}, {Kind::Close}},
         kLongAnswer,
         1,
         false,
         {{" status=200 ", " relayed=60 ", " outcome=closed-by-destination"}}},
        {"connect failure",
         {},
         "",
         1,
         false,
         {{" resumed=- status=- sent=0 relayed=0 ", " connect_ms=- ", " outcome=connect-failed"}}},
        {"closed by the destination during the handshake",
         {{Kind::Close}},
         "",
         1,
         false,
         {{" tls=- cipher=- resumed=- status=- sent=0 relayed=0 ", " connect_ms=- first_byte_ms=- ", " outcome=handshake-failed"}}},
        {"daemon gone",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write, 100}, {Kind::Hold}},
         kLongAnswer,
         1,
         true,
         {{" status=200 ", " outcome=daemon-gone"}}},
    };

    int requests = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScriptedTlsOrigin> destination;
        std::uint16_t destinationPort = freePort();
        if (!c.script.empty()) {
            destination = std::make_unique<ScriptedTlsOrigin>(ScriptedTlsOrigin::scripted(c.script, c.answer));
            destinationPort = destination->port();
        }
        const std::string dest = "localhost:" + std::to_string(destinationPort);
        for (int i = 0; i < c.requests; ++i) {
            FaultClient client(port);
            ASSERT_TRUE(client.connected());
            const std::string sent = request("Morvexd", destinationPort);
            ASSERT_TRUE(client.send(sent));
            ++requests;
            if (c.daemonLeaves) {
                ASSERT_FALSE(client.read(10, 10s).empty());
                client.reset();
            }
            std::string line;
            for (auto deadline = std::chrono::steady_clock::now() + 15s;
                 line.empty() && std::chrono::steady_clock::now() < deadline;) {
                line = completionLine(log(), dest, static_cast<std::size_t>(i));
                if (line.empty()) std::this_thread::sleep_for(20ms);
            }
            ASSERT_FALSE(line.empty()) << log();
            EXPECT_THAT(line, HasSubstr(common));
            if (destination && c.script.front().kind == Kind::Handshake) {
                EXPECT_THAT(line, HasSubstr(" sent=" + std::to_string(sent.size()) + " "));
            }
            for (const std::string& field : c.fields[static_cast<std::size_t>(i)]) EXPECT_THAT(line, HasSubstr(field));
        }
    }
    // Refused, and so in the summary only.
    FaultClient wrongToken(port);
    ASSERT_TRUE(wrongToken.send(request("Morvexd", origin->port(), "not-the-token")));
    ASSERT_TRUE(waitForLog(kRefused));

    // Still waiting for its answer when the proxy stops.
    ScriptedTlsOrigin held(ScriptedTlsOrigin::scripted({{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Hold}}, ""));
    FaultClient waiting(port);
    ASSERT_TRUE(waiting.send(request("Morvexd", held.port())));
    ASSERT_TRUE(held.waitForRequests(1, 10s));
    ++requests;

    proxy->sendSignal(SIGTERM);
    test::ProcessResult r = proxy->wait(20s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string all = log();
    std::size_t at = all.find("final summary ");
    ASSERT_NE(at, std::string::npos) << all;
    EXPECT_THAT(completionLine(all, "localhost:" + std::to_string(held.port()), 0), HasSubstr(" outcome=stopped"));
    std::string summary = all.substr(at, all.find('\n', at) - at);
    for (const std::string& field : std::vector<std::string>{
             " connections_accepted=" + std::to_string(requests + 1) + " ", " connections_open=0 ",
             " requests=Morvexd:" + std::to_string(requests) + " ", " refused=wrong-token:1 ",
             " outcomes=complete:2,closed-by-destination:1,reset:1,connect-failed:1,handshake-failed:1,daemon-gone:1,stopped:1 ",
             " handshakes_resumed=1 handshakes_full=5 resumed_pct=16 "}) {
        EXPECT_THAT(summary, HasSubstr(field));
    }
}

}  // namespace
}  // namespace morvex
