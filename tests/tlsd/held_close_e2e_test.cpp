// An answer held behind an earlier one whose destination then closes: the
// outbound thread must not spin on that close, other connections are served
// meanwhile, and every byte of both answers arrives in order.
#include <chrono>
#include <sstream>
#include <thread>

#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::ScriptedTlsOrigin;
using Step = ScriptedTlsOrigin::Step;

// CPU time (in clock ticks) of the proxy's threads whose name starts so.
long threadTicks(pid_t pid, const std::string& name) {
    long total = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        if (readWholeFile(entry.path().string() + "/comm").rfind(name, 0) != 0) continue;
        const std::string stat = readWholeFile(entry.path().string() + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // from field 3 on
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) total += std::stol(field);  // utime, stime
    }
    return total;
}

TEST_F(ProxyE2E, AHeldAnswerWhoseDestinationClosesCostsNoCpuAndArrivesWhole) {
    origin->setBody("served");
    startProxy();
    const std::string body = randomBytes(23000, 3);
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb";
    const Step handshake{Step::Kind::Handshake}, readRequest{Step::Kind::ReadRequest}, rest{Step::Kind::Write};
    // The first answer stops after 1000 bytes for a while; the second comes
    // whole, and its destination closes once the proxy has held it back.
    ScriptedTlsOrigin slow(ScriptedTlsOrigin::scripted({handshake,
                                                        readRequest,
                                                        {Step::Kind::Write, 1000},
                                                        {Step::Kind::Pause, 0, 0, 3s},
                                                        rest,
                                                        {Step::Kind::CloseNotify}},
                                                       first));
    ScriptedTlsOrigin quick(ScriptedTlsOrigin::scripted(
        {handshake, readRequest, rest, {Step::Kind::Pause, 0, 0, 200ms}, {Step::Kind::Close}}, second));
    FaultClient client(port);
    ASSERT_TRUE(client.send(request("Morvexd", slow.port(), kToken, "/a")));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(client.send(request("Morvexd", quick.port(), kToken, "/b")));
    std::this_thread::sleep_for(500ms);  // the second answer is held and its destination has closed

    const long before = threadTicks(proxy->pid(), "OutboundConn");
    FaultClient other(port);
    ASSERT_TRUE(other.send(request("Morvexd", origin->port())));
    EXPECT_EQ(other.read(origin->response().size(), 20s), origin->response());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(threadTicks(proxy->pid(), "OutboundConn") - before, 20) << "outbound thread busy while answers wait";

    EXPECT_TRUE(client.read(first.size() + second.size(), 20s) == first + second);
}

}  // namespace
}  // namespace morvex
