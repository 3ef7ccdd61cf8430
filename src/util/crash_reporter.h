// The crash reporter: after a fatal fault (a fatal signal, abort(), an
// exception that leaves a thread, a fatal thread error) it writes one report
// file with the time, the cause, the crashing thread, the registers, a
// backtrace, the process-wide notes, the thread's crash-log notations and
// some facts about the host.
//
// Reporting runs in a process that may be badly damaged: it allocates
// nothing, takes no locks, writes with plain write(2) calls through
// CrashReportWriter's limits, and runs at most once per process. Before the
// report it writes out the log lines still waiting in appender buffers.
// Other threads keep running while their notations are printed: a fault
// while reading another thread's list (or the log buffers) skips that part
// instead of ending the report.
//
// Set-up, on the main thread at start-up:
//   installCrashReporting(ProcessEnvironment::instance().crashLogDirectory().str());
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

#include "platform/crash_signals.h"
#include "util/crash_log_notation.h"

namespace morvex {

// Where a report's bytes go: straight write(2)s to a descriptor, with the
// limits that keep a runaway report from filling the disk:
//  - a single write over 51200 bytes is replaced by a skip line;
//  - the write that would bring the total to 512 KiB is replaced by the
//    overflow line, and later writes are dropped (but counted);
//  - when the dropped bytes cross a multiple of 2 MiB more than 3 seconds
//    after the overflow, the process is taken to be looping: a last line is
//    written and the process exits with 87.
class CrashReportWriter final : public CrashLogOutput {
public:
    static constexpr std::size_t kSingleWriteLimit = 51200;
    static constexpr std::uint64_t kOverflowLimit = 0x80000;
    static constexpr std::uint64_t kOverflowStart = 64;
    static constexpr std::uint64_t kLoopCheckStep = 0x200000;
    static constexpr std::uint64_t kLoopSeconds = 3;
    static constexpr int kLoopExitCode = 87;

    // Seconds of a monotonic clock; replaceable so that tests need not wait.
    using SecondsClock = std::uint64_t (*)() noexcept;
    static std::uint64_t monotonicSeconds() noexcept;

    explicit CrashReportWriter(int fd, SecondsClock clock = monotonicSeconds) noexcept : _fd(fd), _clock(clock) {}

    void write(const char* data, std::size_t size) noexcept override;
    void write(const char* text) noexcept { write(text, std::char_traits<char>::length(text)); }
    // printf-style text of any length (up to the single-write limit and
    // beyond, which the limits then handle); no allocation.
    void format(const char* fmt, ...) noexcept MORVEX_PRINTF(2, 3);
    void vformat(const char* fmt, va_list args) noexcept;

    int fd() const noexcept { return _fd; }
    std::uint64_t bytesWritten() const noexcept { return _bytesWritten; }
    std::uint64_t overflowCount() const noexcept { return _overflowCount; }

private:
    void rawWrite(const char* data, std::size_t size) noexcept;

    int _fd;
    SecondsClock _clock;
    std::uint64_t _bytesWritten = 0;
    std::uint64_t _overflowCount = 0;  // 0 while not overflowed
    std::uint64_t _overflowTime = 0;
};

class CrashReporter {
public:
    // Writes the description of a thrown object (" C++ Exception type: ...",
    // " what(): ..."); exception is null when the object is no std::exception.
    using DescribeExceptionFn = void (*)(const std::type_info* type, const std::exception* exception,
                                         CrashReportWriter& out);
    // The formatted-output service that notes and describers print through.
    using FormatOutputFn = void (*)(CrashReportWriter& out, const char* fmt, va_list args);
    using ThreadNameFn = const char* (*)();
    using ThreadsActiveFn = std::uint32_t (*)();
    using NotationListFn = const ScopedPerThreadCrashLogNotation* (*)();
    // Calls visit(name, list head, context) for every thread other than the
    // calling one that has a notation list. Must not allocate or block.
    using ThreadNotationsVisitFn = void (*)(const char* threadName, const ScopedPerThreadCrashLogNotation* head,
                                            void* context);
    using EachThreadNotationsFn = void (*)(ThreadNotationsVisitFn visit, void* context);
    // Prints one process-wide note.
    using NotePrintFn = void (*)(const char* text, CrashReportWriter& out);

    // Longest accepted prefix, in UTF-16 code units, is one less.
    static constexpr std::size_t kMaxPrefix = 260;

    // Sets the reporter up: with a prefix, reports go to files in that
    // directory; with null, to standard error. A prefix of 260 or more
    // UTF-16 units is refused with "Prefix too long: \"%S\"" on standard
    // error and the reporter stays uninitialised (returns false). Otherwise
    // installs the fatal-signal handlers, the terminate hook (which notes an
    // unhandled exception for the report before aborting) and the calling
    // thread's alternate signal stack. Once initialised, later calls change
    // nothing and return true.
    static bool initialize(const char* prefix);
    static bool isInitialized() noexcept;

    // Appends a copy of text to the process-wide notes (under the reporter's
    // lock). Returns -1 when out of memory, else 0. A null print function
    // prints the text on a line of its own.
    static int addNote(const char* text, NotePrintFn print = nullptr) noexcept;

    static void setDescribeException(DescribeExceptionFn fn) noexcept;
    static void setFormatOutput(FormatOutputFn fn) noexcept;
    static void setThreadName(ThreadNameFn fn) noexcept;
    static void setThreadsActive(ThreadsActiveFn fn) noexcept;
    static void setNotationList(NotationListFn fn) noexcept;
    static void setEachThreadNotations(EachThreadNotationsFn fn) noexcept;

    // printf into a report through the registered formatted-output service.
    static void format(CrashReportWriter& out, const char* fmt, ...) MORVEX_PRINTF(2, 3);

    // Writes the report for record (and its chain) with the registers of
    // ucontext (may be null). Returns false without writing when a report
    // was already started (by this thread: a fault inside the reporter) or
    // the report file cannot be opened. Safe in a signal handler.
    static bool writeReport(const platform::CrashExceptionRecord& record, const void* ucontext) noexcept;

    // The thread writing the report (0 before a report starts).
    static std::uint32_t reportingThread() noexcept;
};

// The local time broken down without the C library's time-zone lock.
struct CrashTime {
    int year, month, day, hour, minute, second;
};
// epochSeconds shifted by utcOffsetSeconds, broken down (proleptic
// Gregorian calendar).
CrashTime crashTimeFromEpoch(std::int64_t epochSeconds, long utcOffsetSeconds) noexcept;

// Forms "<prefix>/<module path with . : / \ as _>_crash-%Y-%m-%d-%H-%M-%S.log"
// into out; the module part is left out when modulePath is null, empty or
// longer than 258 characters. Returns false when it does not fit.
bool crashReportFileName(char* out, std::size_t size, const char* prefix, const char* modulePath,
                         const CrashTime& time) noexcept;

// The stand-in for the run time's invalid-parameter handler: logs
// "Expression='..' Function='..' File='..'  Line='n'" (each present part)
// at ERROR on the "Backtracer" channel; returns to the caller.
void invalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned line,
                             std::uintptr_t reserved);
// The text the handler logs without its " Line='n'" tail; empty when no
// part is present.
std::string invalidParameterText(const wchar_t* expression, const wchar_t* function, const wchar_t* file);

// The program's set-up of crash reporting (entry step 4): unless already
// initialised, creates the directory if missing, initialises the reporter
// with it, registers the exception describer, the formatted-output service
// and the thread layer's three callbacks, marks the calling thread as the
// one that set the reporter up, and adds the note "wmain".
void installCrashReporting(const std::string& crashLogDir);

}  // namespace morvex
