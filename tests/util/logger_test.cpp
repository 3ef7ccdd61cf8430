#include "util/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "log_test_support.h"
#include "platform/last_error.h"
#include "util/log_category.h"
#include "util/log_facility.h"

namespace morvex {
namespace {

using test::readWholeFile;
using ::testing::HasSubstr;

TEST(Logger, FallbackBeforeConfigurationKeepsTheLastErrorCode) {
    static Logger log("LoggerTest");
    test::CapturedStderr err;
    platform::SetLastError(10054);
    log.debug("below threshold %d", 1);
    log.warn("with text: %m (100%%)");
    log.infoStream() << "stream " << 42;
    log.debugStream() << "hidden";
    EXPECT_EQ(10054u, platform::GetLastError());
    EXPECT_EQ(
        "WARN - with text: An existing connection was forcibly closed by the remote host. (100%)\r\n"
        "INFO - stream 42\r\n",
        err.text());
    EXPECT_FALSE(log.isEnabledFor(LogLevel::Debug));
    EXPECT_TRUE(log.isEnabledFor(LogLevel::Info));
}

TEST(Logger, CategoryThresholdsAppendersAndEscaping) {
    static Logger tls("LoggerTest.TLS");
    static Logger other("LoggerTest.Other");
    test::ScratchDir dir;
    {
        test::ScopedLogConfig config(dir.file("log.cfg"),
                                     "rootCategory=INFO, A1, A2\n"
                                     "appender.A1.fileName=" +
                                         dir.file("a1.log") +
                                         "\n"
                                         "appender.A1.layout.ConversionPattern=%p %c %m%n\n"
                                         "appender.A2.fileName=" +
                                         dir.file("a2.log") +
                                         "\n"
                                         "appender.A2.escape=false\n"
                                         "category.LoggerTest.TLS=ERROR\n");
        ASSERT_TRUE(config.loaded());
        platform::SetLastError(10035);
        tls.info("quiet");
        tls.error("loud\nline\x01");
        other.info("info %s", "shown");
        EXPECT_EQ(10035u, platform::GetLastError());
        EXPECT_FALSE(tls.isEnabledFor(LogLevel::Warn));
        // A channel made after configuration binds at construction.
        Logger late("LoggerTest.TLS");
        EXPECT_FALSE(late.isEnabledFor(LogLevel::Warn));
        late.crit("late");
    }
    // Escaped once, by the first appender's flag, for every appender.
    EXPECT_EQ(
        "ERROR LoggerTest.TLS loud\\nline\\x01\r\nINFO LoggerTest.Other info shown\r\n"
        "CRIT LoggerTest.TLS late\r\n",
        readWholeFile(dir.file("a1.log")));
    EXPECT_EQ("loud\\nline\\x01\r\ninfo shown\r\nlate\r\n", readWholeFile(dir.file("a2.log")));
    // Unconfigured again: thresholds back to INFO.
    EXPECT_TRUE(tls.isEnabledFor(LogLevel::Info));
}

class CountingObserver : public LogObserver {
public:
    void observe(const LogEvent& event, std::string_view rendered) override {
        ++count;
        last = std::string(event.channel) + "|" + std::string(rendered);
    }
    int count = 0;
    std::string last;
};

TEST(Logger, ManyThreadsWriteWholeLinesAndObserversSeeThem) {
    static Logger log("LoggerTest.Threads");
    test::ScratchDir dir;
    {
        test::ScopedLogConfig config(
            dir.file("log.cfg"),
            "rootCategory=INFO, A1\nappender.A1.fileName=" + dir.file("t.log") + "\nappender.A1.layout=SimpleLayout\n");
        CountingObserver observer;
        LogCategory* category = LogFacility::instance().findCategory("LoggerTest.Threads");
        ASSERT_NE(nullptr, category);
        category->addObserver(&observer);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 250; ++i) log.info("thread %d message %d %s", t, i, std::string(100, 'z').c_str());
            });
        }
        for (std::thread& th : threads) th.join();
        category->removeObserver(&observer);
        EXPECT_EQ(1000, observer.count);
        EXPECT_THAT(observer.last, ::testing::StartsWith("LoggerTest.Threads|INFO    : thread "));
    }
    std::string text = readWholeFile(dir.file("t.log"));
    std::size_t lines = 0, start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines) {
        ASSERT_THAT(text.substr(start, end - start),
                    ::testing::MatchesRegex("INFO    : thread [0-3] message [0-9]+ z{100}"));
    }
    EXPECT_EQ(1000u, lines);
    EXPECT_EQ(text.size(), start);
}

}  // namespace
}  // namespace morvex
