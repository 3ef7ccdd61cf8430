#include "util/crash_reporter.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/crash_signals.h"
#include "platform/crash_symbols.h"
#include "support/process.h"

namespace morvex {
namespace {

using ::testing::ContainsRegex;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// ------------------------------------------------------------ report writer

// A temporary file for the writer, read back as a string.
class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/crash_writer_XXXXXX";
        _fd = mkstemp(name);
        _path = name;
    }
    ~TempFile() {
        close(_fd);
        unlink(_path.c_str());
    }
    int fd() const { return _fd; }
    std::string contents() const {
        std::ifstream in(_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    int _fd;
    std::string _path;
};

std::uint64_t g_fakeSeconds = 0;
std::uint64_t fakeClock() noexcept {
    return g_fakeSeconds;
}

TEST(CrashReportWriter, LimitsSingleWritesAndTruncatesAtHalfAMegabyte) {
    TempFile file;
    g_fakeSeconds = 100;
    CrashReportWriter out(file.fd(), fakeClock);

    const std::string big(CrashReportWriter::kSingleWriteLimit + 1, 'b');
    out.format("%s", big.c_str());  // through the formatter too
    const std::string skip = "Crash log write attempted over the limit of (50kB), skipping.\r\n";
    EXPECT_EQ(skip, file.contents());

    const std::string exact(CrashReportWriter::kSingleWriteLimit, 'e');
    out.format("%s", exact.c_str());  // at the limit: written whole
    EXPECT_EQ(skip.size() + exact.size(), out.bytesWritten());

    // Fill up to just below 512 KiB, then the write that reaches it.
    const std::string chunk(50000, 'c');
    while (out.bytesWritten() + chunk.size() < CrashReportWriter::kOverflowLimit) out.write(chunk.data(), chunk.size());
    const std::uint64_t before = out.bytesWritten();
    EXPECT_EQ(0u, out.overflowCount());
    out.write(chunk.data(), chunk.size());
    const std::string overflow = "Crash log has overflowed the allowed limit (512kB), truncated.\r\n";
    EXPECT_EQ(CrashReportWriter::kOverflowStart, out.overflowCount());

    // Dropped from now on, but counted.
    out.write("after\r\n");
    out.format("%d more\r\n", 1);
    const std::string text = file.contents();
    EXPECT_EQ(before + overflow.size(), text.size());
    EXPECT_THAT(text, EndsWith(overflow));
    EXPECT_EQ(CrashReportWriter::kOverflowStart + 7 + 8, out.overflowCount());
}

TEST(CrashReportWriter, EndsALoopingReportOnlyAfterThreeSeconds) {
    TempFile file;
    g_fakeSeconds = 1000;
    CrashReportWriter out(file.fd(), fakeClock);
    const std::string chunk(50000, 'c');
    while (out.overflowCount() == 0) out.write(chunk.data(), chunk.size());

    // Crossing 2 MiB of dropped bytes within 3 seconds is tolerated.
    g_fakeSeconds += CrashReportWriter::kLoopSeconds;
    while (out.overflowCount() < 2 * CrashReportWriter::kLoopCheckStep) out.write(chunk.data(), chunk.size());

    // Later, the next crossing ends the process with 87.
    g_fakeSeconds += 1;
    EXPECT_EXIT(
        {
            while (true) out.write(chunk.data(), chunk.size());
        },
        ::testing::ExitedWithCode(CrashReportWriter::kLoopExitCode), "");
    EXPECT_THAT(file.contents(),
                EndsWith("Crash log writes still attempted after 3 seconds, maybe something is looping?\r\n"));
}

// ------------------------------------------------------------ helpers

TEST(CrashReporterHelpers, LocalTimeMatchesTheCLibrary) {
    const std::int64_t samples[] = {0, 951782400 /* 2000-02-29 */, 1709251199, 4102444800, -86401, 1798675199};
    for (std::int64_t t : samples) {
        for (long offset : {0L, 3600L, -5 * 3600L - 1800L}) {
            const time_t shifted = static_cast<time_t>(t + offset);
            std::tm expected{};
            gmtime_r(&shifted, &expected);
            const CrashTime got = crashTimeFromEpoch(t, offset);
            EXPECT_EQ(expected.tm_year + 1900, got.year) << t << " " << offset;
            EXPECT_EQ(expected.tm_mon + 1, got.month) << t;
            EXPECT_EQ(expected.tm_mday, got.day) << t;
            EXPECT_EQ(expected.tm_hour, got.hour) << t;
            EXPECT_EQ(expected.tm_min, got.minute) << t;
            EXPECT_EQ(expected.tm_sec, got.second) << t;
        }
    }
}

TEST(CrashReporterHelpers, FileNameFlattensTheModulePathAndDropsOneTooLong) {
    const CrashTime t{2026, 3, 7, 9, 5, 1};
    char name[512];
    ASSERT_TRUE(crashReportFileName(name, sizeof name, "/home/m/var/log/morvex", "/opt/m.v2/bin/morvex-tlsd", t));
    EXPECT_STREQ("/home/m/var/log/morvex/_opt_m_v2_bin_morvex-tlsd_crash-2026-03-07-09-05-01.log", name);

    const std::string longModule = "/" + std::string(258, 'a');
    ASSERT_TRUE(crashReportFileName(name, sizeof name, "/d", longModule.c_str(), t));
    EXPECT_STREQ("/d/crash-2026-03-07-09-05-01.log", name);
    ASSERT_TRUE(crashReportFileName(name, sizeof name, "/d", longModule.substr(1).c_str(), t));
    EXPECT_EQ(std::string("/d/") + std::string(258, 'a') + "_crash-2026-03-07-09-05-01.log", name);

    char small[16];
    EXPECT_FALSE(crashReportFileName(small, sizeof small, "/d", "/x", t));
    EXPECT_EQ(15u, std::strlen(small));
}

TEST(CrashReporterHelpers, DemanglesPlainNestedAndStdNames) {
    char out[256];
    auto demangle = [&](const char* name) {
        platform::crashDemangle(name, out, sizeof out);
        return std::string(out);
    };
    EXPECT_EQ("morvex::Thread::main", demangle("_ZN6morvex6Thread4mainEv"));
    EXPECT_EQ("morvex::Thread::~Thread", demangle("_ZN6morvex6ThreadD2Ev"));
    EXPECT_EQ("morvex::(anonymous namespace)::f", demangle("_ZN6morvex12_GLOBAL__N_11fEi"));
    EXPECT_EQ("std::runtime_error", demangle("St13runtime_error"));
    EXPECT_EQ("morvex::BaseException", demangle("N6morvex13BaseExceptionE"));
    EXPECT_EQ("crashChildWriteNull", demangle("crashChildWriteNull"));  // C names stay
    EXPECT_EQ("_ZN3foo", demangle("_ZN3foo"));                          // broken: unchanged
    EXPECT_EQ("N3fooIiEE", demangle("N3fooIiEE"));                      // templates: unchanged
    platform::crashDemangle("_ZN6morvex6Thread4mainEv", out, 8);
    EXPECT_STREQ("morvex:", out);
}

TEST(CrashReporterHelpers, SignalsBecomeExceptionRecords) {
    ucontext_t uc{};
    siginfo_t info{};
    platform::CrashExceptionRecord r;
    uc.uc_mcontext.gregs[REG_RIP] = 0x401000;
    uc.uc_mcontext.gregs[REG_RSP] = 0x7fff0000;

    info.si_code = SEGV_MAPERR;
    info.si_addr = reinterpret_cast<void*>(0x10);
    uc.uc_mcontext.gregs[REG_ERR] = 0x6;  // user-mode write
    platform::crashRecordFromSignal(SIGSEGV, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_ACCESS_VIOLATION, r.code);
    EXPECT_EQ(platform::kAccessWrite, r.information[0]);
    EXPECT_EQ(0x10u, r.information[1]);
    EXPECT_EQ(0x401000u, r.address);

    uc.uc_mcontext.gregs[REG_ERR] = 0x14;  // instruction fetch
    platform::crashRecordFromSignal(SIGSEGV, &info, &uc, r);
    EXPECT_EQ(platform::kAccessExecute, r.information[0]);

    info.si_addr = reinterpret_cast<void*>(0x7fff0000 - 8);  // a push below the stack pointer
    uc.uc_mcontext.gregs[REG_ERR] = 0x6;
    platform::crashRecordFromSignal(SIGSEGV, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_STACK_OVERFLOW, r.code);

    info.si_code = SI_KERNEL;  // general protection: no address from the kernel
    platform::crashRecordFromSignal(SIGSEGV, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_ACCESS_VIOLATION, r.code);
    EXPECT_EQ(~0ull, r.information[1]);

    info.si_code = SI_USER;  // kill -SEGV: no fault, no address
    platform::crashRecordFromSignal(SIGSEGV, &info, &uc, r);
    EXPECT_EQ(static_cast<std::uint32_t>(SIGSEGV), r.code);
    EXPECT_EQ(0u, r.numberParameters);

    info.si_code = FPE_INTDIV;
    platform::crashRecordFromSignal(SIGFPE, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_INT_DIVIDE_BY_ZERO, r.code);
    info.si_code = BUS_ADRALN;
    platform::crashRecordFromSignal(SIGBUS, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_DATATYPE_MISALIGNMENT, r.code);
    info.si_code = SI_TKILL;
    platform::crashRecordFromSignal(SIGABRT, &info, &uc, r);
    EXPECT_EQ(platform::EXCEPTION_SIGABRT, r.code);
    EXPECT_EQ(platform::EXCEPTION_NONCONTINUABLE, r.flags);

    platform::CrashRegister regs[40];
    const std::size_t n = platform::crashRegisters(&uc, regs, 40);
    std::string names;
    for (std::size_t i = 0; i < n; ++i) names += std::string(regs[i].name) + " ";
    EXPECT_THAT(names, HasSubstr("EFlags Rsp Rip Rax Rcx Rdx Rbx Rbp Rsi Rdi R8 R9 R10 R11 R12 R13 R14 R15 "));
    EXPECT_EQ(0u, platform::crashRegisters(nullptr, regs, 40));
}

TEST(CrashReporterHelpers, RefusesALongPrefixAndFormatsInvalidParameters) {
    for (const std::string& prefix : {std::string(260, 'p'), [] {
                                          std::string s;
                                          for (int i = 0; i < 130; ++i) s += "\xF0\x9F\x98\x80";  // 2 UTF-16 units each
                                          return s;
                                      }()}) {
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(CrashReporter::initialize(prefix.c_str()));
        EXPECT_EQ("Prefix too long: \"" + prefix + "\"\n", ::testing::internal::GetCapturedStderr());
        EXPECT_FALSE(CrashReporter::isInitialized());
    }

    EXPECT_EQ("Expression='p != nullptr' Function='fwrite' File='f\xC3\xA9.c' ",
              invalidParameterText(L"p != nullptr", L"fwrite", L"f\u00e9.c"));
    EXPECT_EQ("File='x.c' ", invalidParameterText(nullptr, nullptr, L"x.c"));
    EXPECT_EQ("", invalidParameterText(nullptr, nullptr, nullptr));
}

// ------------------------------------------------------------ crashing children

struct ChildCrash {
    int status = 0;
    std::string fileName;
    std::string report;
    std::string log;  // logs/child.log, for the modes that log
};

// Runs the helper in a fresh directory and reads the one report it leaves.
ChildCrash crashChild(const char* mode) {
    ChildCrash result;
    char dirTemplate[] = "/tmp/crash_reports_XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    // Under a sanitizer build the runtime would take the fatal signals
    // itself; the child must see them as a plain process does.
    char* const env[] = {const_cast<char*>("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                                           "handle_sigill=0:handle_abort=0:allow_user_segv_handler=1:detect_leaks=0"),
                         nullptr};
    std::filesystem::create_directories(dir + "/logs");
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execle(MORVEX_CRASH_CHILD, MORVEX_CRASH_CHILD, mode, dir.c_str(), static_cast<char*>(nullptr), env);
        _exit(127);
    }
    waitpid(pid, &result.status, 0);
    result.log = test::readWholeFile(dir + "/logs/child.log");
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        result.fileName = entry.path().filename().string();
        result.report = test::readWholeFile(entry.path());
    }
    std::filesystem::remove_all(dir);
    return result;
}

bool killedBy(const ChildCrash& c, int sig) {
    return WIFSIGNALED(c.status) && WTERMSIG(c.status) == sig;
}

TEST(CrashReporterChild, AccessViolationReportHoldsCauseThreadRegistersBacktraceAndNotes) {
    const ChildCrash c = crashChild("null-write");
    EXPECT_TRUE(killedBy(c, SIGSEGV)) << c.status;
    EXPECT_THAT(c.fileName, ContainsRegex("_morvex_crash_child_crash-[0-9]{4}(-[0-9]{2}){5}\\.log$"));
    const std::string& r = c.report;
    EXPECT_THAT(r,
                ContainsRegex("^\\[build [0-9a-f]{12}\\] [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\r\n"));
    EXPECT_THAT(r, HasSubstr("\r\n Access violation, cannot write at address [0x0000000000000000]\r\n"
                             " Exception address: [0x"));
    EXPECT_THAT(r, HasSubstr(" Crashing thread: MainThread\r\n"));
    EXPECT_THAT(r, ContainsRegex("\r\n    Rip:  \\[0x[0-9A-F]{16}\\]\r\n"));
    EXPECT_THAT(r, ContainsRegex("\r\n    R15:  \\[0x[0-9A-F]{16}\\]\r\n"));
    // The first frame is the faulting function, named from the exported symbols.
    EXPECT_THAT(r, ContainsRegex(" Backtrace:\r\n  \\[0x[0-9A-F]{16}\\] crashChildWriteNull \\+ [0-9]+\r\n"));
    EXPECT_THAT(r, HasSubstr(" Process notes:\r\n  wmain\r\n  crash child note\r\n"));
    EXPECT_THAT(r, HasSubstr("ChildNotation: working=Y\r\n"));
    EXPECT_THAT(r, HasSubstr(" Threads running: 1\r\n"));
    EXPECT_THAT(r, ContainsRegex(
                       "\r\nx86 CPUID registers:\r\n         0: [0-9A-F]{8} [0-9A-F]{8} [0-9A-F]{8} [0-9A-F]{8}\r\n"));
    EXPECT_THAT(r, EndsWith("terminating...\r\n"));
}

TEST(CrashReporterChild, AbortAndUnhandledExceptionAreNamed) {
    const ChildCrash a = crashChild("abort");
    EXPECT_TRUE(killedBy(a, SIGABRT)) << a.status;
    EXPECT_THAT(a.report, HasSubstr("\r\n SIGABRT\r\n Exception is Non-continuable\r\n Exception address: [0x"));
    EXPECT_THAT(a.report, Not(HasSubstr("C++ exception")));
    EXPECT_THAT(a.report, EndsWith("terminating...\r\n"));

    const ChildCrash t = crashChild("throw");
    EXPECT_TRUE(killedBy(t, SIGABRT)) << t.status;
    EXPECT_THAT(t.report, HasSubstr(" SIGABRT\r\n"));
    EXPECT_THAT(t.report, ContainsRegex(" Next chained exception:\r\n C\\+\\+ exception: object@\\[0x[0-9A-F]{16}\\], "
                                        "type@\\[0x[0-9A-F]{16}\\]\r\n"));
    EXPECT_THAT(t.report, HasSubstr(" C++ Exception type: morvex::BaseException\r\n what(): boom\r\n"));
}

// Faults whose reports differ only in what they must hold: a stack overflow
// on the main and on another thread, a fault on a worker thread (named, with
// its notations), every thread's notations under its own name, and the lines
// logged just before the fault (the appenders' held lines, buffered
// categories included, are written out).
TEST(CrashReporterChild, EachFaultsReportHoldsItsOwnTexts) {
    struct Case {
        const char* mode;
        std::vector<std::string> inReport;
        std::vector<std::string> inLog;
    };
    const std::vector<Case> cases = {
        {"recursion", {"\r\n Stack Overflow\r\n", "] crashChildRecurse + ", "(Backtrace truncated)\r\n"}, {}},
        {"thread-recursion", {"\r\n Stack Overflow\r\n", "] crashChildRecurse + ", "(Backtrace truncated)\r\n"}, {}},
        {"thread",
         {" Crashing thread: CrashWorker\r\n", "ChildNotation: working=Y\r\n", " Threads running: 2\r\n"},
         {}},
        {"all-threads",
         {" Crashing thread: MainThread\r\n",
          " Crash log notations of thread MainThread:\r\nChildNotation: working=Y\r\n",
          " Crash log notations of thread WorkerOne:\r\nWorkerNotation: index=1\r\n"
          "Thread: \"WorkerOne\", did_join=0, ready_to_run=Y, main_thread=N",
          " Crash log notations of thread WorkerTwo:\r\nWorkerNotation: index=2\r\n", " Threads running: 3\r\n"},
         {}},
        {"log-then-crash", {}, {"Child last words before the crash\r\n", "ChildBuffered buffered last words\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const ChildCrash crash = crashChild(c.mode);
        EXPECT_TRUE(killedBy(crash, SIGSEGV)) << crash.status;
        for (const std::string& text : c.inReport) EXPECT_THAT(crash.report, HasSubstr(text));
        for (const std::string& text : c.inLog) EXPECT_THAT(crash.log, HasSubstr(text));
        EXPECT_THAT(crash.report, EndsWith("terminating...\r\n"));
    }
}

TEST(CrashReporterChild, OversizeReportEndsWithTheOverflowLine) {
    const ChildCrash c = crashChild("overflow");
    EXPECT_TRUE(killedBy(c, SIGSEGV)) << c.status;
    EXPECT_THAT(c.report, EndsWith("Crash log has overflowed the allowed limit (512kB), truncated.\r\n"));
    EXPECT_LT(c.report.size(), CrashReportWriter::kOverflowLimit + 100);
}

TEST(CrashReporterChild, FaultInsideTheReporterDoesNotStartASecondReport) {
    const ChildCrash c = crashChild("nested");
    EXPECT_TRUE(killedBy(c, SIGSEGV)) << c.status;
    EXPECT_THAT(c.report, StartsWith("[build "));
    EXPECT_EQ(std::string::npos, c.report.find("[build ", 1));
    EXPECT_THAT(c.report, HasSubstr("  crash child note\r\n"));
    EXPECT_THAT(c.report, Not(HasSubstr("terminating...")));
}

}  // namespace
}  // namespace morvex
