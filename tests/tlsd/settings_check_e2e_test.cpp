// `morvex-tlsd --check` with the real binary on prepared homes, and the
// summary line a stopping proxy writes.
#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using SettingsCheckE2E = ProxyE2E;

TEST_F(SettingsCheckE2E, ReportsWhatAStartWouldLogAndAVerdict) {
    struct Case {
        const char* name;
        std::string localServerConf;  // etc/system/local/server.conf; empty: none
        std::string keyPassword;
        int exitCode;
        std::vector<std::string> errLines;  // each must appear on standard error
        std::string verdict;
    };
    const std::vector<Case> cases = {
        {"good home", "", kKeyPassword, 0, {}, "Settings check passed: "},
        {"bad cipher string",
         "[sslConfig]\ncipherSuite = NO-SUCH-CIPHER\n",
         kKeyPassword,
         1,
         {"ERROR TLSProxy - Error setting up SSL for the TLS proxy server. Exception: ",
          "ERROR SslContext - Couldn't initialize SSL Context for "},
         "Settings check failed: "},
        {"wrong pass phrase",
         "",
         "not-the-pass-phrase",
         1,
         {"ERROR TLSProxy - Error setting up SSL for the TLS proxy server. Exception: "},
         "Settings check failed: 1 problem: proxy certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(home.path() + "/etc/system/local/server.conf");
        if (!c.localServerConf.empty()) home.file("etc/system/local/server.conf", c.localServerConf);
        std::filesystem::remove_all(home.path() + "/var");
        test::ProcessOptions o = proxyOptions(freePort());
        o.args = {"--check"};
        o.stdinData = R"({"listen_port": 8090, "token": "t", "private_key_password": ")" + c.keyPassword + "\"}";
        test::ProcessResult r = test::runProcess(o, 30s);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_THAT(r.out, HasSubstr(c.verdict));
        for (const std::string& line : c.errLines) EXPECT_THAT(r.err, HasSubstr(line));
        if (c.exitCode == 0) {
            EXPECT_THAT(r.err, Not(HasSubstr("ERROR"))) << r.err;
        }
        // Nothing of the check is left in the log but what loading logging wrote.
        EXPECT_THAT(readWholeFile(logPath), Not(HasSubstr("TLSProxy")));
    }
}

TEST_F(SettingsCheckE2E, ABadLoggingLineAndABadDocumentFailTheCheck) {
    home.file("etc/log-tlsproxy-local.cfg", "rootCategory=INFO, A1\nno such line\n");
    test::ProcessOptions o = proxyOptions(freePort());
    o.args = {"--check"};
    o.stdinData = std::string(R"({"token": "t", "private_key_password": ")") + kKeyPassword + "\"}";
    test::ProcessResult r = test::runProcess(o, 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("log-tlsproxy-local.cfg:2: Parse error at \"no such line\""));
    EXPECT_THAT(r.err, HasSubstr("ERROR TLSProxy - Failed to start TLS proxy server due to bad config."));
    EXPECT_THAT(r.out, HasSubstr("Settings check failed: 2 problems: logging configuration, start-up document"));
}

// A stopping proxy writes its final summary with what it counted.
TEST_F(SettingsCheckE2E, AStoppingProxyWritesItsFinalSummary) {
    startProxy();
    for (int i = 0; i < 3; ++i) {
        FaultClient client(port);
        ASSERT_TRUE(client.connected());
    }
    proxy->sendSignal(SIGTERM);
    test::ProcessResult r = proxy->wait(20s);
    EXPECT_EQ(r.exitCode, 0);
    std::string text = log();
    std::size_t at = text.find("TLSProxyStats final summary ");
    ASSERT_NE(at, std::string::npos) << text;
    std::string line = text.substr(at, text.find('\n', at) - at);
    EXPECT_THAT(line, HasSubstr(" connections_accepted=3 "));
    EXPECT_THAT(line, HasSubstr(" fds="));
    EXPECT_THAT(line, HasSubstr(" rss_kib="));
}

}  // namespace
}  // namespace morvex
