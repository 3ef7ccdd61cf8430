#include "tlsd/entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace morvex {
namespace {

// Runs the entry over temporary files with recording hooks.
class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        in = std::tmpfile();
        out = std::tmpfile();
        err = std::tmpfile();
        steps.createMainThread = [this] {
            calls.push_back("mainThread");
            return std::shared_ptr<void>(nullptr, [this](void*) { calls.push_back("~mainThread"); });
        };
        steps.initEnvironment = [this] { calls.push_back("environment"); };
        steps.initCrashReporter = [this] { calls.push_back("crashReporter"); };
        steps.startLogging = [this] { calls.push_back("logging"); };
        steps.startSockets = [this] {
            calls.push_back("sockets");
            return socketsResult;
        };
        steps.startProxy = [this](const std::string& doc) {
            calls.push_back("proxy");
            document = doc;
            return proxyResult;
        };
    }
    void TearDown() override {
        std::fclose(in);
        std::fclose(out);
        std::fclose(err);
    }

    void input(const std::string& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), in);
        std::rewind(in);
    }
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "morvex-tlsd");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return runEntry(static_cast<int>(args.size()), argv.data(), {in, out, err}, steps);
    }
    static std::string contents(std::FILE* f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        return s;
    }

    std::FILE* in;
    std::FILE* out;
    std::FILE* err;
    EntrySteps steps;
    std::vector<std::string> calls;
    std::string document;
    int socketsResult = 0;
    bool proxyResult = true;
};

TEST_F(EntryTest, SelfTestSetsNothingUp) {
    input("{}");
    EXPECT_EQ(run({"--test"}), 0);
    EXPECT_EQ(contents(out), "Test passed");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(std::ftell(in), 0);  // standard input untouched
}

TEST_F(EntryTest, StepsRunInOrderAndProxyResultIsTheExitCode) {
    const std::vector<std::string> all = {"mainThread", "environment", "crashReporter", "logging",
                                          "sockets",    "proxy",       "~mainThread"};
    input("{\"listen_port\": 1}");
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(calls, all);
    EXPECT_EQ(document, "{\"listen_port\": 1}");

    // Not the self-test: other spelling, or a second argument.
    for (auto args : {std::vector<std::string>{"--TEST"}, {"--test", "x"}, {"x"}}) {
        calls.clear();
        proxyResult = false;
        std::rewind(in);
        EXPECT_EQ(run(args), 1);
        EXPECT_EQ(calls, all);
    }
    EXPECT_EQ(contents(out), "");
}

TEST_F(EntryTest, SocketFailureExitsEightBeforeReading) {
    socketsResult = 10091;
    input("{}");
    EXPECT_EQ(run({}), 8);
    EXPECT_EQ(contents(out), "Couldn't intialize winsock!\n");
    EXPECT_EQ(calls.back(), "~mainThread");
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "proxy"), calls.end());
    EXPECT_EQ(std::ftell(in), 0);
}

TEST_F(EntryTest, DocumentIsOneReadCutAtLimitAndAtNul) {
    std::string exact(kMaxStartupDocumentBytes, ' ');
    exact.front() = '{';
    input(exact);
    run({});
    EXPECT_EQ(document, exact);

    std::rewind(in);
    input(exact + "tail");
    run({});
    EXPECT_EQ(document, exact);

    std::fclose(in);
    in = std::tmpfile();
    input(std::string("{\"a\":1}\0{\"b\":2}", 15));
    run({});
    EXPECT_EQ(document, "{\"a\":1}");

    std::fclose(in);
    in = std::tmpfile();
    run({});  // empty input is not a read failure
    EXPECT_EQ(document, "");
    EXPECT_EQ(calls.back(), "~mainThread");
}

TEST_F(EntryTest, ReadFailureExitsOneWithSystemText) {
    std::fclose(in);
    in = std::fopen("/dev/null", "w");  // reading a write-only stream fails with EBADF
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(contents(err), "Failed to read configuration to start up the TLS proxy: Bad file descriptor");
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "proxy"), calls.end());
    EXPECT_EQ(calls.back(), "~mainThread");
}

}  // namespace
}  // namespace morvex
