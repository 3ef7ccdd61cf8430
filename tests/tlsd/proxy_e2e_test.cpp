// The running proxy end to end: the real binary on a prepared home
// directory, a TLS origin and clients (curl and raw TLS) on loopback.
#include "proxy_e2e_fixture.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace morvex {
namespace {

TEST_F(ProxyE2E, EachTlsRequestTypeGetsTheOriginsBytesExactly) {
    // Several megabytes for one type: many ring wraps and cross-thread pieces.
    const std::vector<test::OriginFile> files = {{"large.bin", 5u << 20}, {"small.bin", 70000}};
    test::NginxOrigin nginx({.files = files, .issuer = ca.get()});
    ASSERT_NO_FATAL_FAILURE(startProxy());
    for (const char* type : {"Deployment-Client", "Morvex-Base", "Telemetry", "Morvexd"}) {
        const test::OriginFile& file = std::string(type) == "Morvexd" ? files[0] : files[1];
        test::ProcessResult r = curl(type, nginx.port(), "/" + file.name);
        EXPECT_EQ(r.exitCode, 0) << type << "\n" << r.err;
        EXPECT_EQ(r.out.size(), file.size) << type;
        EXPECT_EQ(test::NginxOrigin::sha256Hex(r.out),
                  test::NginxOrigin::sha256Hex(test::NginxOrigin::fileContent(file.name, file.size)))
            << type;
    }
    EXPECT_THAT(log(), Not(HasSubstr(kRefused)));
}

TEST_F(ProxyE2E, AnOriginThatAnswersAndClosesAtOnceStillDeliversEveryByte) {
    std::string body = randomBytes(100000, 11);
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    test::ScriptedTlsOrigin scripted({.answer = answer, .issuer = ca.get()});
    ASSERT_NO_FATAL_FAILURE(startProxy());
    FaultClient client(port);
    std::string sent = request("Telemetry", scripted.port());
    ASSERT_TRUE(client.send(sent));
    EXPECT_EQ(test::NginxOrigin::sha256Hex(client.read(answer.size(), 10s)), test::NginxOrigin::sha256Hex(answer));
    EXPECT_TRUE(waitForLog("ERROR OutboundConnectionThread TLSProxy Connection closed, destination server=localhost"))
        << log();
    // The request went out unchanged, token included, over TLS with SNI.
    ASSERT_EQ(scripted.requests().size(), 1u);
    EXPECT_EQ(scripted.requests()[0], sent);
    EXPECT_EQ(scripted.serverNames()[0], "localhost");
    EXPECT_TRUE(client.silentFor(100ms));  // the daemon's connection stays open
}

TEST_F(ProxyE2E, RefusedRequestsGetNoAnswerAndTheConnectionServesTheNextOne) {
    ASSERT_NO_FATAL_FAILURE(startProxy());
    origin->setBody("hello from the origin");
    FaultClient client(port);
    ASSERT_TRUE(client.connected());

    struct Case {
        std::string request;
        std::string line;
    };
    const std::vector<Case> cases = {
        {request("External-Proxy", origin->port()), "The parsed request type is invalid or not supported"},
        {request("Unknown-Kind", origin->port()), "Failed to parse Client Request type or invalid Client Request type"},
        {request("telemetry", origin->port()), "Failed to parse Client Request type or invalid Client Request type"},
        {request("Morvexd", origin->port(), "not-the-token"), " Wrong token found, token=not-the-token"},
        {request("Morvexd", origin->port(), ""), " Wrong token found, token=\r\n"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(client.send(c.request));
        EXPECT_TRUE(waitForLog(kRefused + c.line)) << c.line;
        EXPECT_TRUE(client.silentFor(200ms)) << c.line;
    }
    EXPECT_EQ(origin->requestCount(), 0u);  // no outbound connection for any of them

    // A destination that refuses the connect: nothing comes back, nothing is logged as closed.
    ASSERT_TRUE(client.send(request("Morvexd", test::pickFreeLoopbackPort())));
    EXPECT_TRUE(waitForLog("TLS proxy making a connection to remote_address=localhost"));
    EXPECT_TRUE(client.silentFor(300ms));
    EXPECT_THAT(log(), Not(HasSubstr("Connection closed, destination server=")));

    ASSERT_TRUE(client.send(request("Morvexd", origin->port())));
    std::string expected = origin->response();
    EXPECT_EQ(client.read(expected.size(), 10s), expected);
    // And once more on the same connection.
    ASSERT_TRUE(client.send(request("Deployment-Client", origin->port())));
    EXPECT_EQ(client.read(expected.size(), 10s), expected);
    EXPECT_EQ(origin->requestCount(), 2u);
}

// The machine's own name when it resolves to loopback (the proxy checks no
// name for "localhost" itself), else empty.
std::string loopbackHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || std::string(name) == "localhost") return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0) return {};
    bool loopback = (ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr) >> 24) == 127;
    freeaddrinfo(result);
    return loopback ? name : "";
}

TEST_F(ProxyE2E, TelemetryChecksTheOriginsNameAndOtherTypesDoNot) {
    const std::string host = loopbackHostName();
    if (host.empty()) GTEST_SKIP() << "the machine's name does not resolve to loopback";
    auto requestFor = [&](const std::string& type, std::uint16_t originPort) {
        return "GET /file HTTP/1.1\r\nHost: " + host + ":" + std::to_string(originPort) +
               "\r\nx-morvex-request-type: " + type + "\r\nx-morvex-tlsproxy-token: " + kToken + "\r\n\r\n";
    };
    // Both certificates come from the trusted CA; only one names the host.
    TestCert other = TestCert::create(CertSpec().cn("other.example").dns({"other.example"}).serverAuth(), ca.get());
    TestCert right = TestCert::create(CertSpec().cn(host).dns({host}).serverAuth().serialNo(3), ca.get());
    TestTlsOrigin misnamed(other.certPem(), other.keyPem());
    TestTlsOrigin named(right.certPem(), right.keyPem());
    ASSERT_NO_FATAL_FAILURE(startProxy());
    FaultClient client(port);
    ASSERT_TRUE(client.connected());

    ASSERT_TRUE(client.send(requestFor("Telemetry", misnamed.port())));
    EXPECT_TRUE(waitForLog("TLS proxy making a connection to remote_address=" + host));
    EXPECT_TRUE(client.silentFor(500ms));
    EXPECT_EQ(misnamed.requestCount(), 0u);  // the handshake failed before the request went out

    // A type without name checks reaches the same origin, on the same connection.
    ASSERT_TRUE(client.send(requestFor("Morvexd", misnamed.port())));
    std::string expected = misnamed.response();
    EXPECT_EQ(client.read(expected.size(), 10s), expected);

    ASSERT_TRUE(client.send(requestFor("Telemetry", named.port())));
    expected = named.response();
    EXPECT_EQ(client.read(expected.size(), 10s), expected);
}

TEST_F(ProxyE2E, PeersOtherThanTheLocalHostAreRefusedAtAccept) {
    ASSERT_NO_FATAL_FAILURE(startProxy());
    FaultClient stranger(port, "127.0.0.2");
    EXPECT_FALSE(stranger.connected());
    // The check runs on the I/O thread that was to own the connection.
    EXPECT_TRUE(
        waitForLog("TLSProxy TLS proxy can only receive requests from localhost, "
                   "request was received from 127.0.0.2\r\n"))
        << log();
    FaultClient local(port);
    EXPECT_TRUE(local.connected());
}

TEST_F(ProxyE2E, ThreeHundredClientsAtOnceAreAllServed) {
    ASSERT_NO_FATAL_FAILURE(startProxy());
    constexpr std::size_t kClients = 300;
    origin->setBody(randomBytes(20000, 3));
    origin->hold(true);  // every outbound connection stays open until all have arrived
    std::vector<std::unique_ptr<FaultClient>> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<FaultClient>(port));
        ASSERT_TRUE(clients.back()->connected()) << i;
    }
    for (auto& client : clients) ASSERT_TRUE(client->send(request("Morvexd", origin->port())));
    EXPECT_TRUE(origin->waitForRequests(kClients, 60s)) << origin->requestCount();
    // 300 open outbound connections on one loop need waiter threads beside it.
    EXPECT_GE(threadNames(proxy->pid())["ExtraEventWait"], 1);
    origin->hold(false);
    std::string expected = origin->response();
    std::size_t ok = 0;
    for (auto& client : clients) ok += client->read(expected.size(), 20s) == expected;
    EXPECT_EQ(ok, kClients);
}

TEST_F(ProxyE2E, StartsInOrderRunsItsThreadsAndStopsOnSigterm) {
    ASSERT_NO_FATAL_FAILURE(startProxy());
    std::string text = log();
    std::size_t at = 0;
    for (const char* line :
         {"INFO MainThread TLSProxy Starting TLSProxyInstance...", "INFO MainThread TLSProxy Initializing SSL Context",
          "INFO MainThread TLSProxy Binding ports",
          "INFO MainThread TLSProxy Setting up acceptors for TLS proxy server",
          "INFO MainThread TLSProxy Creating dedicated I/O threads count=6",
          "INFO MainThread TLSProxy New listener added for TLS proxy server, working as a  "
          "forward proxy",
          "DEBUG MainThread TLSProxy AsyncFwdChannelAcceptor - creating dedicated I/O threads "
          "count=6"}) {
        std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }
    std::string accepting = "Accepting connections on " + std::to_string(port) + " for SSL";
    for (const std::string& line :
         {accepting, std::string("TLS proxy server initialization status: success"), std::string(kStarted)}) {
        std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }

    std::map<std::string, int> names = threadNames(proxy->pid());
    EXPECT_EQ(names["OutboundConn"], 1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(names["TlsProxyIo-" + std::to_string(i)], 1) << i;

    // Stop with a daemon connection open and its outbound connection waiting
    // on the origin.
    origin->hold(true);
    FaultClient client(port);
    ASSERT_TRUE(client.send(request("Morvexd", origin->port())));
    ASSERT_TRUE(origin->waitForRequests(1, 10s));

    ASSERT_TRUE(proxy->sendSignal(SIGTERM));
    test::ProcessResult r = proxy->wait(20s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    text = log();
    std::size_t joins = 0;
    for (std::size_t p = text.find("Joining dedicated I/O thread"); p != std::string::npos;
         p = text.find("Joining dedicated I/O thread", p + 1)) {
        ++joins;
    }
    EXPECT_EQ(joins, 6u);
    EXPECT_THAT(text, HasSubstr("Received a signal to shutdown TLS proxy server"));
    EXPECT_THAT(text, HasSubstr("INFO MainThread TLSProxy Shutting down TLSProxyInstance"));
}

TEST_F(ProxyE2E, AWrongKeyPassPhraseOrAMissingCertificateFailsTheStart) {
    test::ProcessOptions wrongPass = proxyOptions(freePort());
    wrongPass.stdinData = R"({"listen_port": )" + std::to_string(freePort()) + R"(, "token": ")" + kToken +
                          R"(", "private_key_password": "not-the-pass-phrase"})";
    test::ProcessResult r = test::runProcess(wrongPass, 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(log(), HasSubstr("Error setting up SSL for the TLS proxy server. Exception: Can't read key file "));
    EXPECT_THAT(log(), HasSubstr("Failed to start TLS proxy server due to initialization failure."));

    const std::string certificate = home.path() + "/etc/auth/server_tlsproxy.pem";
    std::filesystem::remove(certificate);
    r = test::runProcess(proxyOptions(freePort()), 30s);
    EXPECT_EQ(r.exitCode, 1);
    std::string second = log();
    second = second.substr(second.rfind("Starting TLSProxyInstance..."));
    EXPECT_THAT(second, HasSubstr("TLS proxy certificate is missing or invalid " + certificate));
    EXPECT_THAT(second, HasSubstr("Failed to load TLS configuration for TLS proxy server initialization"));
    EXPECT_THAT(second, Not(HasSubstr("Binding ports")));  // the start stops before any port is bound
}

TEST_F(ProxyE2E, APortAlreadyTakenFailsTheStart) {
    std::uint16_t taken = 0;
    int holder = test::listenOnAnyLoopbackPort(taken, 1, "holder");

    test::ProcessResult r = test::runProcess(proxyOptions(taken), 30s);
    ::close(holder);
    EXPECT_EQ(r.exitCode, 1);
    std::string text = log();
    std::size_t at = 0;
    for (const std::string& line :
         {"FATAL MainThread TLSProxy Failed to bind port " + std::to_string(taken) + " for TLS proxy server",
          std::string("ERROR MainThread TLSProxy Cannot set up accepts without binding ports first"),
          std::string("INFO MainThread TLSProxy TLS proxy server initialization status: fail"),
          std::string("ERROR MainThread TLSProxy Failed to start TLS proxy server due to initialization failure. ")}) {
        std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }
    EXPECT_THAT(text, Not(HasSubstr(kStarted)));
}

}  // namespace
}  // namespace morvex
