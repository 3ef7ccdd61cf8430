// The real binary configures logging from $MORVEX_HOME/etc/log-tlsproxy.cfg:
// its messages land in the configured file below the home directory, not on
// standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "support/process.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(LogConfigE2E, WarnAndAboveOfEveryChannelGoToTheConfiguredFile) {
    test::TempDir home("morvex-logcfg-home");
    home.file("etc/log-tlsproxy.cfg",
              "rootCategory=WARN, A1\n"
              "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/proxy.log\n"
              "appender.A1.layout.ConversionPattern=%p %c %m%n\n"
              "not a setting\n");
    home.file("etc/log-tlsproxy-local.cfg", "category.LogConfig=ERROR\n");
    test::ProcessOptions options;
    options.env["MORVEX_HOME"] = home.path() + "//";
    options.env["MORVEX_ETC"] = std::nullopt;
    options.stdinData = "";  // an empty start-up document: refused, exit 1
    test::ProcessResult result = test::runProcess(options, 20s);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(1, result.exitCode);

    const std::string log = test::readWholeFile(home.path() + "/var/log/morvex/proxy.log");
    EXPECT_THAT(log, HasSubstr("ERROR TLSProxy Failed to start TLS proxy server due to bad config.\r\n"));
    EXPECT_THAT(log, Not(HasSubstr("INFO ")));
    // The local file raised the loader's own channel to ERROR: no parse warning.
    EXPECT_THAT(log, Not(HasSubstr("Parse error")));
    EXPECT_THAT(result.err, Not(HasSubstr("Failed to start")));
    EXPECT_THAT(result.err, Not(HasSubstr("Using logging configuration")));  // the proxy starts quietly
}

}  // namespace
}  // namespace morvex
