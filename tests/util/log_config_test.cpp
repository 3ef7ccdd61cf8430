#include "util/log_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "log_test_support.h"
#include "util/log_facility.h"
#include "util/logger.h"

namespace morvex {
namespace {

using test::readWholeFile;
using ::testing::HasSubstr;
using ::testing::Not;

Logger& proxyLog() {
    static Logger s_log("TLSProxy");
    return s_log;
}
Logger& otherLog() {
    static Logger s_log("ConfigTest");
    return s_log;
}

LogConfigContext homeContext(const std::string& home) {
    LogConfigContext context;
    context.substitutions.emplace_back("${MORVEX_HOME}", home);
    return context;
}

TEST(LogConfig, RootCategoriesAppendersAndSubstitution) {
    proxyLog(), otherLog();
    test::ScratchDir home;
    const std::string log = home.path() + "/var/log/morvex/tlsproxy.log";
    {
        test::ScopedLogConfig config(home.file("log.cfg"),
                                     "# comment line\n"
                                     "log4cpp.rootCategory = WARN, A1   # trailing comment\n"
                                     "appender.A1=org.example.RollingFileAppender\n"
                                     "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/tlsproxy.log\n"
                                     "appender.A1.layout=PatternLayout\n"
                                     "appender.A1.layout.ConversionPattern=%p %c %m%n\n"
                                     "\t category.TLSProxy=DEBUG\n",
                                     homeContext(home.path()));
        ASSERT_TRUE(config.loaded());
        proxyLog().debug("proxy debug");
        otherLog().info("other info");
        otherLog().warn("other warn");
    }
    // No parse errors: the class-name line is ignored silently.
    EXPECT_EQ("DEBUG TLSProxy proxy debug\r\nWARN ConfigTest other warn\r\n", readWholeFile(log));
}

TEST(LogConfig, BadLinesAreReportedAfterLoading) {
    proxyLog();
    test::ScratchDir dir;
    const std::string cfg = dir.file("log.cfg");
    {
        test::ScopedLogConfig config(cfg,
                                     "rootCategory=DEBUG, A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("out.log") +
                                         "\n"
                                         "<!-- opened here\n"
                                         "rootCategory=ERROR\n"
                                         "-->appender.A1.layout.ConversionPattern=%p %c %m%n <!-- inline -->\n"
                                         "unknownKey=1\n"
                                         "rootCategory WARN\n"
                                         "appender.A1.maxBackupIndex=3\n"
                                         "appender.A1.maxFileSize=0100\n"
                                         "appender.A1.serialization=XML\n"
                                         "appender.A1.escape=maybe\n"
                                         "appender.A1.layout=FancyLayout\n"
                                         "appender.A1.bogus=1\n"
                                         "appender.A1\n"
                                         "category.TLSProxy=DEBUG, NoSuchAppender\n"
                                         "category.NoEquals\n"
                                         "appender.A2.fileName=" +
                                         dir.file("a2.log") +
                                         "\n"
                                         "appender.A2.maxFileSize=100 MB\n"
                                         "appender.A2.bufferSize= 64 \n"
                                         "<!-- never closed\n");
        ASSERT_TRUE(config.loaded());
    }
    const std::string out = readWholeFile(dir.file("out.log"));
    const std::string prefix = "WARN LogConfig " + cfg + ":";
    EXPECT_THAT(out, HasSubstr("WARN LogConfig Appender \"A1\" has maxBackupIndex set without specifying "
                               "maxFileSize, ignoring\r\n"));
    EXPECT_THAT(out, HasSubstr("ERROR LogConfig Invalid serialization='XML'\r\n"));
    EXPECT_THAT(out, HasSubstr("ERROR LogConfig Invalid escape='maybe'\r\n"));
    for (const char* bad :
         {"6: Parse error at \"unknownKey=1\"", "7: Parse error at \"rootCategory WARN\"",
          "9: Parse error at \"appender.A1.maxFileSize=0100\"", "10: Parse error at \"appender.A1.serialization=XML\"",
          "11: Parse error at \"appender.A1.escape=maybe\"", "12: Parse error at \"appender.A1.layout=FancyLayout\"",
          "13: Parse error at \"appender.A1.bogus=1\"", "14: Parse error at \"appender.A1\"",
          "15: Parse error at \"category.TLSProxy=DEBUG, NoSuchAppender\"",
          "16: Parse error at \"category.NoEquals\""}) {
        EXPECT_THAT(out, HasSubstr(prefix + bad + "\r\n"));
    }
    EXPECT_THAT(out, HasSubstr("ERROR LogConfig " + cfg + ":20: Unterminated XML comment started\r\n"));
    // The commented-out root line did not apply; the good part of a bad
    // category value did; "100 MB" is said to be read as 100 MiB.
    EXPECT_THAT(out, Not(HasSubstr(":4:")));
    EXPECT_THAT(out, HasSubstr(prefix + "18: Appender \"A2\": maxFileSize=\"100 MB\" read as 104857600 bytes\r\n"));
    EXPECT_THAT(out, Not(HasSubstr(":19:")));
    EXPECT_EQ(15, std::count(out.begin(), out.end(), '\n'));
}

TEST(LogConfig, LocalFileOverridesAndSectionsAreSkipped) {
    otherLog();
    test::ScratchDir dir;
    const std::string local = "rootCategory=ERROR, A1\nappender.A1.layout=SimpleLayout\n";
    {
        test::ScopedLogConfig config(dir.file("log-x.cfg"),
                                     "rootCategory=DEBUG, A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("out.log") +
                                         "\n"
                                         "[Other]\n"
                                         "category.ConfigTest=DEBUG\n",
                                     {}, &local);
        otherLog().warn("dropped");
        otherLog().error("kept");
    }
    EXPECT_EQ("ERROR   : kept\r\n", readWholeFile(dir.file("out.log")));

    // A section of the context's name (any case) is read.
    LogConfigContext context;
    context.sectionName = "other";
    {
        test::ScopedLogConfig config(dir.file("log-y.cfg"),
                                     "rootCategory=ERROR, A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("out2.log") +
                                         "\n"
                                         "[OTHER]]  \n"
                                         "category.ConfigTest=INFO\n",
                                     context);
        otherLog().info("section");
    }
    EXPECT_EQ("section\r\n", readWholeFile(dir.file("out2.log")));
    EXPECT_EQ("/a/b/log-tlsproxy-local.cfg", localLogConfigPath("/a/b/log-tlsproxy.cfg"));
    EXPECT_EQ("/a.d/cfg-local", localLogConfigPath("/a.d/cfg"));
}

TEST(LogConfig, MissingFileAndRestrictedKeys) {
    otherLog();
    test::ScratchDir dir;
    {
        test::CapturedStderr err;
        test::writeWholeFile(dir.file("log-local.cfg"), "rootCategory=ERROR\n");
        LogConfigContext context;
        context.path = dir.file("log.cfg");
        EXPECT_FALSE(loadLogConfig(context));
        otherLog().info("still at info");
        otherLog().debug("not at debug");
        EXPECT_EQ("Couldn't open log file configuration \"" + context.path +
                      "\": No such file or directory\r\nstill at info\r\n",
                  err.text());
        LogFacility::instance().unconfigure();
    }
    // With a restricted mask: keys outside it are refused, numbers only grow.
    LogConfigContext context;
    context.allowedKeys = kLogKeyFileName | kLogKeyMaxMessageSize | kLogKeyConversionPattern;
    {
        test::ScopedLogConfig config(dir.file("r.cfg"),
                                     "rootCategory=INFO, A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("r.log") +
                                         "\n"
                                         "appender.A1.layout.ConversionPattern=%m%n\n"
                                         "appender.A1.maxMessageSize=100\n"
                                         "appender.A1.maxMessageSize=20000\n"
                                         "appender.A1.escape=false\n",
                                     context);
        otherLog().info("%s", std::string(18000, 'q').c_str());
    }
    const std::string out = readWholeFile(dir.file("r.log"));
    // Lowering is refused with its reason, not as a parse error.
    EXPECT_THAT(out, HasSubstr(":4: Appender \"A1\": maxMessageSize=100 is below 16384, which may not be lowered "
                               "here; keeping 16384"));
    EXPECT_THAT(out, Not(HasSubstr("Parse error at \"appender.A1.maxMessageSize=100\"")));
    EXPECT_THAT(out, HasSubstr(":6: Parse error at \"appender.A1.escape=false\""));
    EXPECT_THAT(out, HasSubstr(std::string(18000, 'q') + "\r\n"));
}

TEST(LogConfig, DeferredOpenAndBufferedCategories) {
    otherLog();
    test::ScratchDir dir;
    LogConfigContext context;
    context.deferredOpenNames = {"lazy"};
    {
        test::ScopedLogConfig config(dir.file("d.cfg"),
                                     "rootCategory=INFO, A1\n"
                                     "category.ConfigTest=INFO buffered,A1\n"
                                     "appender.A1.fileName=" +
                                         dir.file("lazy.log") +
                                         "\n"
                                         "appender.A1.bufferSize=100\n",
                                     context);
        // Opened on first use, not by the configuration check.
        EXPECT_FALSE(std::filesystem::exists(dir.file("lazy.log")));
        otherLog().info("first");
        EXPECT_EQ("", readWholeFile(dir.file("lazy.log")));  // held in the buffer
        otherLog().info("%s", std::string(100, 'b').c_str());
        EXPECT_EQ("first\r\n" + std::string(100, 'b') + "\r\n", readWholeFile(dir.file("lazy.log")));
        otherLog().info("tail");
    }
    // Flushed when the configuration ends.
    EXPECT_THAT(readWholeFile(dir.file("lazy.log")), ::testing::EndsWith("tail\r\n"));
}

// A number followed by words was read as the bare number ("25 MB" as 25
// bytes: a roll on every line). Size units now apply, and every such value
// is reported with what is used.
TEST(LogConfig, NumbersWithTrailingWordsAreReported) {
    struct Case {
        const char* line;
        std::uint64_t maxFileSize;
        std::uint32_t maxBackupIndex;
        const char* warning;  // null: none
    };
    const Case cases[] = {
        {"appender.A1.maxFileSize=25000000", 25000000, 0, nullptr},
        {"appender.A1.maxFileSize=25 MB", 25u << 20, 0, "maxFileSize=\"25 MB\" read as 26214400 bytes"},
        {"appender.A1.maxFileSize=4\tkib", 4096, 0, "maxFileSize=\"4\tkib\" read as 4096 bytes"},
        {"appender.A1.maxFileSize=25MB", 25u << 20, 0, "maxFileSize=\"25MB\" read as 26214400 bytes"},
        {"appender.A1.bufferSize=100000", 0, 0, "bufferSize=100000 is above the largest buffer, using 65536"},
        {"appender.A1.maxFileSize=25 lines", 0, 0, "maxFileSize=\"25 lines\" is not a number of bytes, keeping 0"},
        {"appender.A1.maxBackupIndex=3 files", 0, 3, "maxBackupIndex=\"3 files\" read as 3\r\n"},
    };
    for (const Case& c : cases) {
        test::ScratchDir dir;
        std::uint64_t maxFileSize = 0;
        {
            test::ScopedLogConfig config(dir.file("n.cfg"),
                                         "rootCategory=INFO, A1\n"
                                         "appender.A1.layout.ConversionPattern=%p %c %m%n\n"
                                         "appender.A1.fileName=" +
                                             dir.file("out.log") + "\n" + c.line + "\n");
            LogAppender* appender = LogFacility::instance().findAppender("A1");
            ASSERT_NE(nullptr, appender);
            maxFileSize = appender->maxFileSize();
        }
        EXPECT_EQ(c.maxFileSize, maxFileSize) << c.line;
        const std::string out = readWholeFile(dir.file("out.log"));
        if (c.warning) {
            EXPECT_THAT(out, HasSubstr("WARN LogConfig " + dir.file("n.cfg") + ":4: Appender \"A1\": " + c.warning))
                << c.line;
        } else {
            EXPECT_EQ("", out) << c.line;
        }
        if (c.maxBackupIndex) {
            EXPECT_THAT(out, HasSubstr("maxBackupIndex set without specifying maxFileSize"));
        }
    }
}

}  // namespace
}  // namespace morvex
