// Fatal faults as the crash reporter sees them: the fatal signals (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT) turned into Windows-style exception
// records with the Windows exception codes, the processor state of the
// faulting context, and the per-thread alternate signal stack that lets a
// report run after a stack overflow.
//
// Everything here except the installers is async-signal-safe: no allocation,
// no locks.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace morvex::platform {

// Exception codes a record can carry.
enum : std::uint32_t {
    EXCEPTION_ACCESS_VIOLATION = 0xC0000005,
    EXCEPTION_IN_PAGE_ERROR = 0xC0000006,
    EXCEPTION_CXX_THROW = 0xE06D7363,  // a thrown C++ object left unhandled
    EXCEPTION_SIGABRT = 0xEEAB5254,    // abort()
    EXCEPTION_GUARD_PAGE = 0x80000001,
    EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002,
    EXCEPTION_BREAKPOINT = 0x80000003,
    EXCEPTION_SINGLE_STEP = 0x80000004,
    EXCEPTION_INVALID_HANDLE = 0xC0000008,
    EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001D,
    EXCEPTION_NONCONTINUABLE_EXCEPTION = 0xC0000025,
    EXCEPTION_INVALID_DISPOSITION = 0xC0000026,
    EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008C,
    EXCEPTION_FLT_DENORMAL_OPERAND = 0xC000008D,
    EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008E,
    EXCEPTION_FLT_INEXACT_RESULT = 0xC000008F,
    EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090,
    EXCEPTION_FLT_OVERFLOW = 0xC0000091,
    EXCEPTION_FLT_STACK_CHECK = 0xC0000092,
    EXCEPTION_FLT_UNDERFLOW = 0xC0000093,
    EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094,
    EXCEPTION_INT_OVERFLOW = 0xC0000095,
    EXCEPTION_PRIV_INSTRUCTION = 0xC0000096,
    EXCEPTION_STACK_OVERFLOW = 0xC00000FD,
};

// The record's flag bit for a fault that cannot be resumed.
constexpr std::uint32_t EXCEPTION_NONCONTINUABLE = 1;

// Access kinds in information[0] of access-violation and in-page records.
constexpr std::uint64_t kAccessRead = 0;
constexpr std::uint64_t kAccessWrite = 1;
constexpr std::uint64_t kAccessExecute = 8;

// Frame magic in information[0] of a EXCEPTION_CXX_THROW record.
constexpr std::uint64_t kCxxFrameMagic = 0x19930520;

// One fault, shaped like the Windows exception record. For access
// violations and in-page errors information[0] is the access kind and
// information[1] the data address (information[2]: the reason code of an
// in-page error). For EXCEPTION_CXX_THROW: [0] frame magic, [1] the thrown
// object, [2] its std::type_info, [3] the object as std::exception (or 0).
struct CrashExceptionRecord {
    std::uint32_t code = 0;
    std::uint32_t flags = 0;
    const CrashExceptionRecord* next = nullptr;  // chained (earlier) record
    std::uint64_t address = 0;                   // instruction that faulted
    std::uint32_t numberParameters = 0;
    std::uint64_t information[15] = {};
};

// Builds the record for a fatal signal from its siginfo and ucontext
// (either may be null). SIGSEGV tells read, write or execute from the
// page-fault error bits and is a stack overflow when the address lies at
// the end of the thread's stack. A signal sent by a process (not a fault;
// abort() aside) carries its signal number as the code.
void crashRecordFromSignal(int sig, const siginfo_t* info, const void* ucontext, CrashExceptionRecord& out) noexcept;

struct CrashRegister {
    const char* name;
    std::uint64_t value;
};

// The registers of a signal context in report order, only those the context
// holds (no DS/ES, debug or branch registers on Linux). Returns the count
// stored (at most max); 0 for a null context.
std::size_t crashRegisters(const void* ucontext, CrashRegister* out, std::size_t max) noexcept;

// The instruction pointer of a signal context (0 for null).
std::uint64_t crashInstructionPointer(const void* ucontext) noexcept;

using CrashSignalHandler = void (*)(int sig, siginfo_t* info, void* ucontext);

// Installs handler for the five fatal signals, running on the alternate
// stack. A fault while the handler runs re-enters it. Returns false if a
// sigaction call failed.
bool installCrashSignalHandlers(CrashSignalHandler handler) noexcept;

// For SIGHUP, SIGQUIT, SIGTERM and SIGINT, where the action is still the
// default (the process would end), installs a handler that calls flush
// (which must be async-signal-safe: it writes what the log holds) and then
// ends the process by the same signal. Ignored signals and installed
// handlers are left alone. False if a sigaction call failed.
bool installStopSignalFlush(void (*flush)() noexcept) noexcept;

// Ends the process by sig with its default action (so the parent sees how
// it died); falls back to _exit(128 + sig).
[[noreturn]] void dieBySignal(int sig) noexcept;

// Gives the calling thread an alternate signal stack (mmap'd, with a guard
// page) and notes its stack bounds for stack-overflow detection. Released
// automatically when the thread ends. Idempotent; false if out of memory.
// The thread layer calls this at the start of every thread.
bool installCrashAltStack() noexcept;

// The calling thread's OS id (no caching: safe in a signal handler).
std::uint32_t crashCurrentThreadId() noexcept;

// If a debugger (tracer) is attached, stops in it with SIGTRAP; without
// one nothing happens.
void breakIntoDebuggerIfAttached() noexcept;

}  // namespace morvex::platform
