// The runtime foundation seen from outside, on the real binary: where log
// lines go when the log file fails, the names the operating system shows for
// the process and its threads, and the crash report of a running proxy.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/origin.h"
#include "support/process.h"
#include "support/test_certs.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using test::readWholeFile;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kKeyPassword = "key-pass";

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A home directory with the shipped settings, the proxy's certificate and a
// local logging file.
class RuntimeE2E : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(MORVEX_SOURCE_DIR "/etc", home.path() + "/etc", std::filesystem::copy_options::recursive);
        test::TestCert proxyCert = test::TestCert::create(test::CertSpec().cn("morvexd-tls-proxy-localhost"));
        home.file("etc/auth/server_tlsproxy.pem", proxyCert.certPem() + proxyCert.keyPem(kKeyPassword));
        logPath = home.path() + "/var/log/morvex/proxy.log";
    }

    void logConfig(const std::string& fileName) {
        home.file("etc/log-tlsproxy-local.cfg",
                  "rootCategory=INFO, A1\n"
                  "appender.A1.fileName=" +
                      fileName +
                      "\n"
                      "appender.A1.layout.ConversionPattern=%p %t %c %m%n\n");
    }

    test::ProcessOptions options(const std::string& document) {
        test::ProcessOptions o;
        o.env["MORVEX_HOME"] = home.path();
        o.env["MORVEX_ETC"] = std::nullopt;
        o.stdinData = document;
        return o;
    }

    std::string goodDocument() {
        port = test::pickFreeLoopbackPort();
        return R"({"listen_port": )" + std::to_string(port) + R"(, "token": "t", "private_key_password": ")" +
               kKeyPassword + R"("})";
    }

    test::TempDir home{"morvex-runtime-e2e"};
    std::string logPath;
    std::uint16_t port = 0;
};

// A log file that cannot be opened (its directory is a plain file) or that
// fails on every write (/dev/full): the lines and the reason reach standard
// error instead of vanishing, and the reason is given once.
TEST_F(RuntimeE2E, LinesOfAFailingLogFileGoToStandardError) {
    struct Case {
        const char* what;
        std::string fileName;
        std::string reason;
    };
    home.file("var/log/morvex", "");  // the log directory is a plain file
    const Case cases[] = {
        {"unopenable", "${MORVEX_HOME}/var/log/morvex/proxy.log",
         "Failed opening \"" + home.path() + "/var/log/morvex/proxy.log\": Not a directory"},
        {"unwritable", "/dev/full", "Error writing to \"/dev/full\": No space left on device"},
    };
    for (const Case& c : cases) {
        logConfig(c.fileName);
        test::ProcessResult r = test::runProcess(options(""), 20s);  // refused document: exit 1
        ASSERT_FALSE(r.timedOut) << c.what;
        EXPECT_EQ(1, r.exitCode) << c.what;
        EXPECT_EQ(1u, count(r.err, c.reason)) << c.what << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr("INFO MainThread TLSProxy Starting TLSProxyInstance...\r\n")) << c.what;
        EXPECT_THAT(r.err,
                    HasSubstr("ERROR MainThread TLSProxy Failed to start TLS proxy server due to bad config.\r\n"))
            << c.what;
    }
}

// One refused request over TLS, with long values so that its line is long;
// false when the proxy did not take it within 5 s.
bool sendRefusedRequest(SSL_CTX* ctx, std::uint16_t port, int i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    SSL* ssl = ok ? SSL_new(ctx) : nullptr;
    if (ssl) {
        SSL_set_fd(ssl, fd);
        const std::string request = "GET / HTTP/1.1\r\nHost: " + std::string(300, 'h') +
                                    "\r\nx-morvex-request-type: Telemetry\r\nx-morvex-tlsproxy-token: " +
                                    std::string(1000, static_cast<char>('a' + i % 26)) + "\r\n\r\n";
        ok = SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0;
        SSL_free(ssl);
    }
    ::close(fd);
    return ok;
}

// A log file that fails on every write while nobody reads standard error:
// the proxy goes on taking requests, and SIGTERM still stops it in order.
TEST_F(RuntimeE2E, AnUnreadStandardErrorDoesNotWedgeTheProxy) {
    logConfig("/dev/full");
    int in[2], err[2];
    ASSERT_EQ(0, ::pipe2(in, O_CLOEXEC));
    ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC));  // err[0] stays open and is never read
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> env = {"MORVEX_HOME=" + home.path()};
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "MORVEX_", 7) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = MORVEX_TLSD_BINARY;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(err[1]);
    const std::string document = goodDocument();
    ASSERT_EQ(static_cast<ssize_t>(document.size()), ::write(in[1], document.data(), document.size()));
    ::close(in[1]);

    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    int taken = 0;
    // The first request may come before the proxy listens.
    for (int tries = 0; tries < 100 && !sendRefusedRequest(ctx, port, 0); ++tries) std::this_thread::sleep_for(100ms);
    for (; taken < 300 && sendRefusedRequest(ctx, port, taken); ++taken) {
    }
    SSL_CTX_free(ctx);
    EXPECT_EQ(300, taken) << "requests stopped being taken";

    ::kill(pid, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 300 && !exited; ++i) {
        exited = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!exited) std::this_thread::sleep_for(50ms);
    }
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(err[0]);
    EXPECT_TRUE(exited) << "SIGTERM did not stop the proxy";
    EXPECT_TRUE(exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The process keeps its own name (ps, pgrep -x); the threads get names that
// fit the 15 bytes the system keeps and stay apart; logs use full names.
// After kill -SEGV the crash report lists the notations of every thread.
TEST_F(RuntimeE2E, RunningProxyKeepsItsNameAndItsCrashReportCoversEveryThread) {
    logConfig("${MORVEX_HOME}/var/log/morvex/proxy.log");
    test::ChildProcess proxy(options(goodDocument()));
    ASSERT_TRUE(test::waitForFileContaining(logPath, "TLSProxy is started", 30s)) << readWholeFile(logPath);

    const std::string proc = "/proc/" + std::to_string(proxy.pid());
    EXPECT_EQ("morvex-tlsd\n", readWholeFile(proc + "/comm"));
    test::ProcessOptions pgrep;
    pgrep.program = "/usr/bin/pgrep";
    pgrep.args = {"-x", "morvex-tlsd"};
    EXPECT_THAT(test::runProcess(pgrep, 10s).out, HasSubstr(std::to_string(proxy.pid()) + "\n"));
    std::map<std::string, int> names;
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
        std::string name = readWholeFile(task.path().string() + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        ++names[name];
    }
    for (int i = 0; i < 6; ++i) EXPECT_EQ(1, names["TlsProxyIo-" + std::to_string(i)]) << i;
    EXPECT_EQ(1, names["OutboundConn"]);
    EXPECT_EQ(0, names["MainThread"]);
    // The main thread keeps the program's name (a sanitizer's own helper
    // thread inherits it too).
    EXPECT_GE(names["morvex-tlsd"], 1);
    std::string mainName = readWholeFile(proc + "/task/" + std::to_string(proxy.pid()) + "/comm");
    EXPECT_EQ(mainName, "morvex-tlsd\n");
    EXPECT_THAT(readWholeFile(logPath), HasSubstr("INFO MainThread TLSProxy TLSProxy is started"));

    // With nothing pending the log flusher sleeps: an idle proxy is not woken.
    std::string flusher;
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task"))
        if (readWholeFile(task.path().string() + "/comm") == "LogFlusher\n") flusher = task.path().string() + "/status";
    ASSERT_FALSE(flusher.empty());
    auto switches = [&] {
        const std::string status = readWholeFile(flusher);
        const std::size_t at = status.find("voluntary_ctxt_switches:");
        return at == std::string::npos ? std::string() : status.substr(at, status.find('\n', at) - at);
    };
    std::this_thread::sleep_for(300ms);  // past the last flush of the start-up lines
    const std::string before = switches();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(before, switches());

    ASSERT_TRUE(proxy.sendSignal(SIGSEGV));
    test::ProcessResult r = proxy.wait(20s);
    ASSERT_FALSE(r.timedOut);
    std::string report;
    for (const auto& entry : std::filesystem::directory_iterator(home.path() + "/var/log/morvex"))
        if (entry.path().filename().string().find("crash-") != std::string::npos) report = readWholeFile(entry.path());
    ASSERT_FALSE(report.empty());
    EXPECT_THAT(report, HasSubstr(" Crash log notations of thread MainThread:\r\n"));
    for (int i = 0; i < 6; ++i) {
        const std::string name = "TlsProxyDedicatedIoThread-" + std::to_string(i);
        EXPECT_THAT(report, HasSubstr(" Crash log notations of thread " + name + ":\r\n")) << name;
        EXPECT_THAT(report, HasSubstr("Thread: \"" + name + "\", did_join=0")) << name;
    }
    EXPECT_THAT(report, HasSubstr(" Crash log notations of thread OutboundConnectionThread:\r\n"));
    EXPECT_THAT(report, HasSubstr("terminating...\r\n"));
}

}  // namespace
}  // namespace morvex
