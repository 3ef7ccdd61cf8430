// Faults of destinations and of local clients, end to end against the real
// binary: each case checks what the client receives (exactly the
// destination's bytes, or a clean end), the log line it leaves, that the
// inbound connection goes on serving, and that the proxy's descriptors and
// memory come back afterwards.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::NginxOrigin;
using test::ScriptedTlsOrigin;
using Step = ScriptedTlsOrigin::Step;
using Kind = ScriptedTlsOrigin::Step::Kind;
using Clock = std::chrono::steady_clock;

constexpr const char* kServed = "served";
constexpr const char* kClosed = "Connection closed, destination server=localhost";
constexpr const char* kAnswerComplete = "Answer complete (status 200)";
// A 50 MB answer leaves the allocator some pages it keeps; anything that
// grows per connection or per byte shows far above this.
constexpr std::size_t kRssMarginKiB = 12 * 1024;

// The descriptors by what they point at, to name what was left open.
std::string descriptorList(pid_t pid) {
    std::string out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        out += entry.path().filename().string() + " -> " + std::filesystem::read_symlink(entry.path(), error).string() +
               "\n";
    }
    return out;
}

std::string framed(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
// Ends where the connection ends.
std::string unframed(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
}

class FaultMatrixE2E : public ProxyE2E {
protected:
    void SetUp() override {
        ProxyE2E::SetUp();
        origin->setBody(kServed);
        startProxy();
        // One request first, so that what is made once (pools, contexts,
        // thread caches) is in the baseline.
        expectServed(nullptr);
        std::this_thread::sleep_for(300ms);
        baselineFds = descriptorCount(proxy->pid());
        baselineRss = rssKiB(proxy->pid());
    }

    // A request to the fixture's origin, on client (or a new connection),
    // answered whole.
    void expectServed(FaultClient* client) {
        std::unique_ptr<FaultClient> own;
        if (!client) client = (own = std::make_unique<FaultClient>(port)).get();
        ASSERT_TRUE(client->connected());
        ASSERT_TRUE(client->send(request("Morvexd", origin->port())));
        EXPECT_EQ(client->readAnswer(20s), origin->response());
    }

    // Descriptors come back to the baseline (closing takes a moment), and
    // memory near it.
    void expectBackToBaseline() {
        std::size_t fds = 0;
        for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
            fds = descriptorCount(proxy->pid());
            if (fds <= baselineFds) break;
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_LE(fds, baselineFds) << descriptorList(proxy->pid());
        if (kRssBoundsApply) {
            EXPECT_LE(rssKiB(proxy->pid()), baselineRss + kRssMarginKiB) << "baseline " << baselineRss << " KiB";
        }
        EXPECT_TRUE(proxy->running());
    }

    // The log's size once it has stopped growing for longer than the
    // appender's batch window: lines of the case before (its served request)
    // must not land after the next case's mark.
    std::size_t settledLogMark() {
        std::size_t size = log().size();
        for (auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
            std::this_thread::sleep_for(250ms);
            std::size_t now = log().size();
            if (now == size) break;
            size = now;
        }
        return size;
    }
    std::string logSince(std::size_t mark) {
        std::string text = log();
        return mark < text.size() ? text.substr(mark) : std::string();
    }
    bool waitForLogSince(std::size_t mark, const std::string& needle, std::chrono::milliseconds timeout = 10s) {
        for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
            if (logSince(mark).find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::size_t baselineFds = 0;
    std::size_t baselineRss = 0;
};

TEST_F(FaultMatrixE2E, DestinationFaultsRelayExactlyWhatWasSentAndLeaveNothingBehind) {
    const std::string big = randomBytes(200000, 1);
    const std::string twoMiB = randomBytes(2 << 20, 2);
    const std::string bytewise = framed(randomBytes(3000, 3));
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::string answer;
        std::size_t relayed;  // leading bytes of the answer the client must get
        std::string line;     // in the log afterwards
        std::string absent;   // not in the log afterwards (empty: no check)
    };
    const Step handshake{Kind::Handshake}, readRequest{Kind::ReadRequest}, writeAll{Kind::Write},
        pause{Kind::Pause, 0, 0, 300ms}, reset{Kind::Reset}, close{Kind::Close}, closeNotify{Kind::CloseNotify};
    const std::vector<Case> cases = {
        {"reset during the handshake", {reset}, framed("x"), 0, kClosed, kAnswerComplete},
        {"reset after part of the answer",
         {handshake, readRequest, {Kind::Write, 50000}, pause, reset},
         unframed(big),
         50000,
         kClosed,
         kAnswerComplete},
        {"reset after the whole framed answer",
         {handshake, readRequest, writeAll, pause, reset},
         framed(big),
         framed(big).size(),
         kAnswerComplete,
         kClosed},
        {"reset after the whole unframed answer",
         {handshake, readRequest, writeAll, pause, reset},
         unframed(big),
         unframed(big).size(),
         kClosed,
         kAnswerComplete},
        {"close without close_notify after an unframed answer",
         {handshake, readRequest, writeAll, close},
         unframed(big),
         unframed(big).size(),
         kClosed,
         kAnswerComplete},
        {"close without close_notify in the middle of a framed answer",
         {handshake, readRequest, {Kind::Write, 40000}, close},
         framed(big),
         40000,
         kClosed,
         kAnswerComplete},
        {"records of one byte",
         {handshake, readRequest, {Kind::Write, 0, 1}, closeNotify},
         bytewise,
         bytewise.size(),
         kAnswerComplete,
         ""},
        {"records of 16 KiB",
         {handshake, readRequest, {Kind::Write, 0, 16384}, closeNotify},
         framed(twoMiB),
         framed(twoMiB).size(),
         kAnswerComplete,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTlsOrigin destination(ScriptedTlsOrigin::scripted(c.script, c.answer));
        std::size_t mark = settledLogMark();
        {
            FaultClient client(port);
            ASSERT_TRUE(client.connected());
            ASSERT_TRUE(client.send(request("Morvexd", destination.port())));
            std::string got = client.read(c.relayed, 30s);
            EXPECT_EQ(got.size(), c.relayed);
            EXPECT_TRUE(got == c.answer.substr(0, c.relayed)) << "relayed bytes differ";
            EXPECT_TRUE(waitForLogSince(mark, c.line)) << logSince(mark);
            // Nothing else comes, and the connection stays open and serves.
            EXPECT_EQ(client.read(1, 300ms), "");
            EXPECT_FALSE(client.ended());
            if (!c.absent.empty()) {
                EXPECT_EQ(logSince(mark).find(c.absent), std::string::npos) << logSince(mark);
            }
            expectServed(&client);
        }
        expectBackToBaseline();
    }
}

TEST_F(FaultMatrixE2E, ADestinationThatNeverAnswersHoldsOnlyItsOwnRequest) {
    // The proxy gives up on it only after 40 s (covered with a shortened
    // time-out in-process and in full by the slow fault test); meanwhile
    // other connections are served and nothing reaches its client.
    ScriptedTlsOrigin silent(ScriptedTlsOrigin::scripted({{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Hold}}, ""));
    std::size_t mark = log().size();
    {
        FaultClient waiting(port);
        ASSERT_TRUE(waiting.connected());
        ASSERT_TRUE(waiting.send(request("Morvexd", silent.port())));
        ASSERT_TRUE(silent.waitForRequests(1, 10s));
        for (int i = 0; i < 5; ++i) expectServed(nullptr);
        EXPECT_EQ(waiting.read(1, 1s), "");
        EXPECT_FALSE(waiting.ended());
    }
    // The client went: its destination connection is ended too.
    auto deadline = Clock::now() + 10s;
    while (silent.peerClosedCount() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(silent.peerClosedCount(), 1u);
    EXPECT_EQ(logSince(mark).find("Read Timeout"), std::string::npos);
    expectBackToBaseline();
}

TEST_F(FaultMatrixE2E, AFiftyMegabyteAnswerToASlowReaderArrivesWholeInBoundedMemory) {
    constexpr std::size_t kSize = 50 << 20;
    const std::string answer = framed(NginxOrigin::fileContent("huge", kSize));
    ScriptedTlsOrigin destination(ScriptedTlsOrigin::scripted(
        {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write, 0, 16384}, {Kind::CloseNotify}}, answer));
    {
        FaultClient client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(request("Morvexd", destination.port())));
        // About 800 KB/s for two seconds: the destination is held back.
        std::string got = client.read(1600 * 1024, 10s, 20ms, 16384);
        std::size_t held = rssKiB(proxy->pid());
        if (kRssBoundsApply) {
            EXPECT_LE(held, baselineRss + 16 * 1024) << "baseline " << baselineRss << " KiB";
        }
        got += client.read(answer.size() - got.size(), 60s);
        ASSERT_EQ(got.size(), answer.size());
        EXPECT_EQ(NginxOrigin::sha256Hex(got), NginxOrigin::sha256Hex(answer));
        expectServed(&client);
    }
    std::this_thread::sleep_for(500ms);
    expectBackToBaseline();
}

TEST_F(FaultMatrixE2E, ClientFaultsEndTheirOwnRequestsOnly) {
    const std::string large = framed(NginxOrigin::fileContent("large", 20 << 20));
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::string answer;
        // Plays the client's part and checks what it sees.
        std::function<void(FaultClient&, ScriptedTlsOrigin&, std::size_t mark)> play;
    };
    // A client that ends its side right after its request gets a clean end:
    // the whole answer, or nothing at all.
    auto endsCleanlyAfter = [&](void (FaultClient::*end)()) {
        return [&, end](FaultClient& client, ScriptedTlsOrigin& destination, std::size_t) {
            ASSERT_TRUE(client.send(request("Morvexd", destination.port())));
            (client.*end)();
            std::string got = client.read(framed("half").size(), 10s);
            EXPECT_TRUE(got.empty() || got == framed("half")) << got;
            EXPECT_TRUE(client.endsWithin(10s));
        };
    };
    const std::vector<Case> cases = {
        {"client resets in the middle of an answer",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write, 0, 16384}, {Kind::CloseNotify}},
         large,
         [&](FaultClient& client, ScriptedTlsOrigin& destination, std::size_t mark) {
             ASSERT_TRUE(client.send(request("Morvexd", destination.port())));
             EXPECT_EQ(client.read(100000, 20s).size(), 100000u);
             client.reset();
             // The proxy ends the destination's connection: its writes fail.
             auto deadline = Clock::now() + 10s;
             while (destination.peerClosedCount() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
             EXPECT_EQ(destination.peerClosedCount(), 1u);
             EXPECT_EQ(logSince(mark).find("Error encountered for connection from morvexd"), std::string::npos)
                 << logSince(mark);
         }},
        {"client half-closes its TCP stream after its request",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Pause, 0, 0, 300ms}, {Kind::Write}, {Kind::CloseNotify}},
         framed("half"), endsCleanlyAfter(&FaultClient::halfClose)},
        {"client sends close_notify after its request",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Pause, 0, 0, 300ms}, {Kind::Write}, {Kind::CloseNotify}},
         framed("half"), endsCleanlyAfter(&FaultClient::closeNotify)},
        {"client sends its request one byte per record",
         {{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Write}, {Kind::CloseNotify}},
         framed("bytewise"),
         [&](FaultClient& client, ScriptedTlsOrigin& destination, std::size_t) {
             // The pieces are put back together: one request, one answer.
             ASSERT_TRUE(client.sendBytewise(request("Morvexd", destination.port()), 10ms));
             EXPECT_EQ(client.readAnswer(20s), framed("bytewise"));
             EXPECT_EQ(destination.connectionCount(), 1u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTlsOrigin destination(ScriptedTlsOrigin::scripted(c.script, c.answer));
        std::size_t mark = settledLogMark();
        {
            FaultClient client(port);
            ASSERT_TRUE(client.connected());
            c.play(client, destination, mark);
        }
        expectServed(nullptr);
        expectBackToBaseline();
    }
}

}  // namespace
}  // namespace morvex
