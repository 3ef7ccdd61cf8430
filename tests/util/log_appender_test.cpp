#include "util/log_appender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "log_test_support.h"
#include "util/log_flusher.h"
#include "util/log_suppression.h"
#include "util/thread.h"

namespace morvex {
namespace {

using test::readWholeFile;
using ::testing::HasSubstr;

std::string line(int i) {
    std::string text = "line " + std::to_string(i) + " ";
    text.resize(148, '.');
    return text + "\r\n";  // 150 bytes
}

TEST(LogAppender, RollsOverKeepingBackups) {
    test::ScratchDir dir;
    const std::string name = dir.file("sub/app.log");  // parent directories are created
    LogAppender appender("A1");
    appender.setFileName(name);
    appender.setMaxFileSize(1000);
    appender.setMaxBackupIndex(2);
    LogEvent event;
    // 7 lines (1050 bytes) pass the limit: the 7th write rolls the file.
    for (int i = 0; i < 7; ++i) appender.write(line(i), false, event);
    EXPECT_EQ(7 * 150u, std::filesystem::file_size(name + ".1"));
    EXPECT_EQ(0u, std::filesystem::file_size(name));
    for (int i = 7; i < 14; ++i) appender.write(line(i), false, event);
    EXPECT_THAT(readWholeFile(name + ".2"), ::testing::StartsWith(line(0)));
    EXPECT_THAT(readWholeFile(name + ".1"), ::testing::StartsWith(line(7)));
    for (int i = 14; i < 21; ++i) appender.write(line(i), false, event);
    // Only two backups are kept: the oldest batch is gone.
    EXPECT_THAT(readWholeFile(name + ".2"), ::testing::StartsWith(line(7)));
    EXPECT_THAT(readWholeFile(name + ".1"), ::testing::StartsWith(line(14)));
    EXPECT_FALSE(std::filesystem::exists(name + ".3"));
    appender.write("tail\r\n", false, event);
    appender.flush();
    EXPECT_EQ("tail\r\n", readWholeFile(name));

    // Without backups a roll starts the file afresh; reopening reads the size.
    LogAppender single("A2");
    single.setFileName(dir.file("single.log"));
    test::writeWholeFile(dir.file("single.log"), std::string(990, 'x'));
    single.setMaxFileSize(1000);
    single.write(line(0), false, event);
    EXPECT_EQ(0u, std::filesystem::file_size(dir.file("single.log")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("single.log.1")));
}

// A roll that cannot move the live file away (here its backup name is a
// directory that cannot be replaced, which stops root as well as a
// read-only folder stops others) keeps appending: no line is lost, and the
// failure is reported once.
TEST(LogAppender, RollThatCannotRenameKeepsAppending) {
    test::ScratchDir dir;
    const std::string name = dir.file("app.log");
    std::filesystem::create_directories(name + ".1/in-the-way");
    LogAppender appender("A1");
    appender.setFileName(name);
    appender.setMaxFileSize(1000);
    appender.setMaxBackupIndex(1);
    LogEvent event;
    event.level = LogLevel::Error;  // written at once
    std::string expected;
    test::CapturedStderr err;
    for (int i = 0; i < 30; ++i) {
        appender.write(line(i), false, event);
        expected += line(i);
    }
    drainAppenderDiagnostics();
    EXPECT_EQ(expected, readWholeFile(name));
    const std::string report = err.text();
    const std::string renaming = "Error renaming \"" + name + "\" to \"" + name + ".1\"";
    EXPECT_THAT(report, HasSubstr(renaming));
    EXPECT_EQ(report.find(renaming), report.rfind(renaming)) << report;

    // Once the way is clear the next roll (after the retry interval) works.
    std::filesystem::remove_all(name + ".1");
    LogAppender again("A2");
    again.setFileName(name);
    again.setMaxFileSize(1000);
    again.setMaxBackupIndex(1);
    again.write(line(30), false, event);
    EXPECT_EQ(expected + line(30), readWholeFile(name + ".1"));
    EXPECT_EQ(0u, std::filesystem::file_size(name));
}

TEST(LogAppender, BufferedOutputWaitsForTheBufferSize) {
    EmptyMainThread::ensureForTest();
    ASSERT_TRUE(LogFlusher::instance().start());  // lines wait only where something will write them
    test::ScratchDir dir;
    LogAppender appender("A1");
    appender.setFileName(dir.file("buffered.log"));
    appender.setBufferSize(400);
    LogEvent event;
    appender.write(line(0), true, event);
    appender.write(line(1), true, event);
    EXPECT_EQ("", readWholeFile(dir.file("buffered.log")));
    appender.write(line(2), true, event);  // 450 bytes: written out
    EXPECT_EQ(450u, std::filesystem::file_size(dir.file("buffered.log")));
    appender.write(line(3), true, event);
    appender.flush();
    EXPECT_EQ(600u, appender.currentSize());
    // An unbuffered category's INFO line waits for the batch; an ERROR line
    // takes it out at once.
    appender.write(line(4), false, event);
    EXPECT_EQ(600u, std::filesystem::file_size(dir.file("buffered.log")));
    LogEvent error;
    error.level = LogLevel::Error;
    appender.write(line(5), false, error);
    EXPECT_EQ(900u, std::filesystem::file_size(dir.file("buffered.log")));
}

// Lines left pending (a buffered category far below its buffer size, or an
// INFO line of a file appender) reach the file on the flusher's timer,
// without another line or an explicit flush.
TEST(LogAppender, PendingLinesAreWrittenOnATimer) {
    EmptyMainThread::ensureForTest();
    ASSERT_TRUE(LogFlusher::instance().start());
    test::ScratchDir dir;
    LogEvent event;
    for (bool buffered : {true, false}) {
        const std::string name = dir.file(buffered ? "buffered.log" : "plain.log");
        LogAppender appender("A1");
        appender.setFileName(name);
        appender.write(line(0), buffered, event);
        EXPECT_EQ(150u, appender.pendingBytes());
        EXPECT_TRUE(test::eventually([&] { return std::filesystem::file_size(name) == 150u; }, std::chrono::seconds(5)))
            << (buffered ? "buffered" : "unbuffered");
        EXPECT_EQ(0u, appender.pendingBytes());
    }
}

// A crash handler can write what is pending without locks: every line once.
TEST(LogAppender, CrashFlushWritesPendingLinesOnce) {
    test::ScratchDir dir;
    LogAppender appender("A1");
    appender.setFileName(dir.file("crash.log"));
    appender.setBufferSize(1 << 20);
    LogEvent event;
    for (int i = 0; i < 3; ++i) appender.write(line(i), true, event);
    LogAppender::crashFlushAll();
    LogAppender::crashFlushAll();
    appender.flush();
    EXPECT_EQ(line(0) + line(1) + line(2), readWholeFile(dir.file("crash.log")));
}

// A batch of 64 KiB goes out at once; a line larger than a batch is written
// as it is, after what was pending.
TEST(LogAppender, FullBatchesAndHugeLinesAreWrittenInOrder) {
    test::ScratchDir dir;
    LogAppender appender("A1");
    appender.setFileName(dir.file("big.log"));
    LogEvent event;
    std::string expected;
    for (std::size_t i = 0; i * 150 < LogAppender::kBatchBytes; ++i) {
        appender.write(line(static_cast<int>(i)), false, event);
        expected += line(static_cast<int>(i));
    }
    EXPECT_LT(appender.pendingBytes(), LogAppender::kBatchBytes);
    EXPECT_GE(std::filesystem::file_size(dir.file("big.log")), LogAppender::kBatchBytes - 150);
    const std::string huge(LogAppender::kBatchBytes + 10, 'h');
    appender.write(huge, false, event);
    expected += huge;
    EXPECT_EQ(expected, readWholeFile(dir.file("big.log")));
}

TEST(LogAppender, OpenFailureIsReportedOnceAndRecoveryAtDebug) {
    test::ScratchDir dir;
    test::writeWholeFile(dir.file("blocker"), "");
    LogAppender appender("A1");
    appender.setFileName(dir.file("blocker/app.log"));
    appender.setReopenIntervalMs(0);
    LogEvent event;
    test::CapturedStderr err;
    // While the file cannot be opened its lines go to standard error.
    appender.write("first\r\n", false, event);
    appender.write("second\r\n", false, event);
    drainAppenderDiagnostics();
    EXPECT_EQ("first\r\nsecond\r\nERROR - Failed opening \"" + dir.file("blocker/app.log") + "\": Not a directory\r\n",
              err.text());
    std::filesystem::remove(dir.file("blocker"));
    appender.write("kept\r\n", false, event);
    appender.flush();
    EXPECT_EQ("kept\r\n", readWholeFile(dir.file("blocker/app.log")));
    drainAppenderDiagnostics();  // the DEBUG line is below the default threshold
    EXPECT_THAT(err.text(), ::testing::Not(HasSubstr("kept")));
}

// Reopening is not tried on every line while the file stays out of reach.
TEST(LogAppender, ReopenIsRetriedAfterTheInterval) {
    test::ScratchDir dir;
    test::writeWholeFile(dir.file("blocker"), "");
    LogAppender appender("A1");
    appender.setFileName(dir.file("blocker/app.log"));
    appender.setReopenIntervalMs(60000);
    LogEvent event;
    test::CapturedStderr err;
    appender.write("one\r\n", false, event);
    std::filesystem::remove(dir.file("blocker"));
    appender.write("two\r\n", false, event);  // within the interval: still standard error
    drainAppenderDiagnostics();
    EXPECT_THAT(err.text(), HasSubstr("one\r\ntwo\r\n"));
    EXPECT_TRUE(appender.open());  // an explicit open always tries
    appender.write("three\r\n", false, event);
    appender.flush();
    EXPECT_EQ("three\r\n", readWholeFile(dir.file("blocker/app.log")));
}

TEST(LogSuppression, AllowanceThenSummaryAfterTheInterval) {
    LogSuppression suppression(60, 2);
    std::vector<LogSuppression::Summary> summaries;
    const std::int64_t t0 = 1'700'000'000'000;
    std::int64_t due = 0;
    EXPECT_TRUE(suppression.admit("fmt %d", LogLevel::Warn, "fmt 1", t0, summaries));
    EXPECT_TRUE(suppression.admit("fmt %d", LogLevel::Warn, "fmt 2", t0 + 1000, summaries));
    EXPECT_FALSE(suppression.admit("fmt %d", LogLevel::Warn, "fmt 3", t0 + 2000, summaries, &due));
    EXPECT_EQ(t0 + 60000, due);
    EXPECT_FALSE(suppression.admit("fmt %d", LogLevel::Warn, "fmt 4", t0 + 3000, summaries));
    EXPECT_TRUE(suppression.admit("other", LogLevel::Info, "other", t0 + 3000, summaries));
    EXPECT_TRUE(summaries.empty());
    // Not yet due: nothing, and when the next one is.
    EXPECT_EQ(t0 + 60000, suppression.takeDue(t0 + 59999, false, summaries));
    EXPECT_TRUE(summaries.empty());

    // After the interval: the summary of the first group, then a fresh group.
    EXPECT_TRUE(suppression.admit("fmt %d", LogLevel::Error, "fmt 5", t0 + 60000, summaries));
    ASSERT_EQ(1u, summaries.size());
    EXPECT_EQ(LogLevel::Warn, summaries[0].level);
    EXPECT_EQ("fmt 1", summaries[0].firstText);
    EXPECT_THAT(summaries[0].suffix,
                ::testing::MatchesRegex("\r\n\t\t\t\t2 similar messages suppressed\\.  First occurred at: "
                                        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}"));
    // "other" had nothing suppressed: forgotten without a summary.
    summaries.clear();
    EXPECT_TRUE(suppression.admit("fmt %d", LogLevel::Error, "fmt 6", t0 + 63000, summaries));
    EXPECT_TRUE(summaries.empty());
    // At stop every pending count is told, due or not.
    EXPECT_FALSE(suppression.admit("fmt %d", LogLevel::Error, "fmt 7", t0 + 63000, summaries));
    EXPECT_FALSE(suppression.admit("fmt %d", LogLevel::Error, "fmt 8", t0 + 63000, summaries));
    EXPECT_FALSE(suppression.takeDue(t0 + 64000, true, summaries).has_value());
    ASSERT_EQ(1u, summaries.size());
    EXPECT_THAT(summaries[0].suffix, HasSubstr("\t2 similar messages suppressed."));
}

}  // namespace
}  // namespace morvex
