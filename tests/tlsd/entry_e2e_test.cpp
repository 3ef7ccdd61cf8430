// Starts the real binary and checks what a parent daemon sees: exit codes,
// standard streams, and when standard input is read.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/process.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ProcessOptions;
using test::ProcessResult;
using test::runProcess;
using test::StdinMode;
using test::TempDir;

constexpr const char* kBadConfig = "Failed to start TLS proxy server due to bad config.";
constexpr const char* kParseError = "Invalid json format in TLS proxy server input configs: ex=";

class EntryE2E : public ::testing::Test {
protected:
    ProcessOptions options(std::string stdinData = "") {
        ProcessOptions o;
        o.env["MORVEX_HOME"] = home.path();
        o.env["MORVEX_ETC"] = std::nullopt;
        o.stdinData = std::move(stdinData);
        return o;
    }
    // The document passed judging. The test home holds no proxy certificate,
    // so the proxy stops soon after, when it loads its TLS settings.
    static void expectAccepted(const ProcessResult& r) {
        EXPECT_FALSE(r.timedOut);
        EXPECT_NE(r.err.find("Starting TLSProxyInstance..."), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(kParseError), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(kBadConfig), std::string::npos) << r.err;
    }
    // The start-up read takes at most this many bytes.
    static constexpr std::size_t kReadLimit = 9999;

    TempDir home{"morvex-entry-home"};
};

TEST_F(EntryE2E, SelfTest) {
    ProcessOptions o = options();
    o.args = {"--test"};
    o.closeStdinAfterData = false;  // stdin stays open: the self-test must not read it
    ProcessResult r = runProcess(o, 10s);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Test passed");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(home.listFiles().empty());
}

TEST_F(EntryE2E, OtherArgumentsStartNormallyAndWaitForInput) {
    for (auto args : {std::vector<std::string>{"--TEST"}, {"--test", "--test"}}) {
        ProcessOptions o = options();
        o.args = args;
        o.closeStdinAfterData = false;
        ChildProcess child(o);
        // Still waiting for the document after a while; closing input lets it go on.
        EXPECT_FALSE(child.waitForStderr(kBadConfig, 300ms)) << args[0];
        EXPECT_TRUE(child.running());
        child.closeStdin();
        ProcessResult r = child.wait(10s);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(kBadConfig), std::string::npos);
        EXPECT_EQ(r.out.find("Test passed"), std::string::npos);
    }
}

TEST_F(EntryE2E, DocumentsAreJudged) {
    // Empty input: bad configuration.
    ProcessResult empty = runProcess(options(""), 10s);
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_NE(empty.err.find(kBadConfig), std::string::npos);

    // Malformed text: the parse message, then the bad-config message.
    ProcessResult bad = runProcess(options(R"({"listen_port": 8090, "token": "cut)"), 10s);
    EXPECT_EQ(bad.exitCode, 1);
    auto parse = bad.err.find(std::string(kParseError) + "Unexpected EOF");
    ASSERT_NE(parse, std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find(kBadConfig, parse), std::string::npos) << bad.err;

    // A document of exactly the read limit, closing brace last, is read whole.
    std::string head = R"({"listen_port": 8090, "token": "secret-token", "pad": ")";
    std::string exact = head + std::string(kReadLimit - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(exact.size(), kReadLimit);
    ProcessResult whole = runProcess(options(exact), 10s);
    expectAccepted(whole);
    EXPECT_EQ(whole.err.find("secret-token"), std::string::npos);  // the token is never logged

    // One byte more than the limit cuts the document so that it no longer parses.
    std::string longer = R"({"listen_port": 8090, "pad": ")" + std::string(kReadLimit, 'x') + R"(", "token": "t"})";
    ProcessResult cut = runProcess(options(longer), 10s);
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find(kParseError), std::string::npos);

    // A NUL byte ends the text: what follows it is not seen.
    std::string withNul = std::string(R"({"listen_port": 8090, "token": "t"})") + '\0' + "garbage";
    expectAccepted(runProcess(options(withNul), 10s));
    std::string nulBad = std::string(R"({"listen_port": 8090, )") + '\0' + R"("token": "t"})";
    EXPECT_EQ(runProcess(options(nulBad), 10s).exitCode, 1);
}

TEST_F(EntryE2E, HomeDirectoryRequiredBeforeInputIsRead) {
    for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ProcessOptions o = options();
        o.env["MORVEX_HOME"] = value;
        o.closeStdinAfterData = false;  // it must stop without waiting for input
        ProcessResult r = runProcess(o, 10s);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 255);  // -1
        EXPECT_EQ(r.err, "MORVEX_HOME must be set.  Stopping.\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(EntryE2E, UnreadableInputExitsOne) {
    ProcessOptions o = options();
    o.stdinMode = StdinMode::Closed;
    ProcessResult r = runProcess(o, 10s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Failed to read configuration to start up the TLS proxy: Bad file descriptor"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find(kBadConfig), std::string::npos);
}

}  // namespace
}  // namespace morvex
