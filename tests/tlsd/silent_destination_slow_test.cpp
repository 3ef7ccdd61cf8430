// A destination that completes the handshake, takes the request and never
// answers, with the shipped 40 s read time-out: the proxy gives it up with
// its WARN line, and the next answer on the same inbound connection, held
// behind it, then arrives whole. (The default suite covers the same with a
// shortened time-out in-process.)
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::ScriptedTlsOrigin;
using Kind = ScriptedTlsOrigin::Step::Kind;
using Clock = std::chrono::steady_clock;

class SlowFaultE2E : public ProxyE2E {};

TEST_F(SlowFaultE2E, ASilentDestinationIsGivenUpAfterTheReadTimeOutAndTheNextAnswerFollows) {
    ScriptedTlsOrigin silent(ScriptedTlsOrigin::scripted({{Kind::Handshake}, {Kind::ReadRequest}, {Kind::Hold}}, ""));
    origin->setBody("served");
    startProxy();

    FaultClient client(port);
    ASSERT_TRUE(client.connected());
    auto sent = Clock::now();
    ASSERT_TRUE(client.send(request("Morvexd", silent.port())));
    ASSERT_TRUE(silent.waitForRequests(1, 10s));
    std::this_thread::sleep_for(200ms);  // two requests, two deliveries
    ASSERT_TRUE(client.send(request("Morvexd", origin->port())));

    EXPECT_EQ(client.read(1, 35s), "");
    EXPECT_FALSE(client.ended());
    EXPECT_EQ(client.readAnswer(30s), origin->response());
    EXPECT_GE(Clock::now() - sent, 40s);
    // The proxy ended the silent connection itself.
    for (auto deadline = Clock::now() + 5s; silent.peerClosedCount() < 1 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(silent.peerClosedCount(), 1u);
    std::regex line("WARN .*Outbound connection to destination server=localhost:" + std::to_string(silent.port()) +
                    " failed after 4[0-9]{4} ms: Read Timeout");
    // The line reaches the file on the log's own flush, maybe after the answer.
    ASSERT_TRUE(waitForLog(": Read Timeout")) << log();
    EXPECT_TRUE(std::regex_search(log(), line)) << log();
}

}  // namespace
}  // namespace morvex
