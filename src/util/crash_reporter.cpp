#include "util/crash_reporter.h"

#include <cpuid.h>
#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <new>

#include "platform/crash_symbols.h"
#include "platform/last_error.h"
#include "util/log_appender.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {

const char kSkipLine[] = "Crash log write attempted over the limit of (50kB), skipping.\r\n";
const char kOverflowLine[] = "Crash log has overflowed the allowed limit (512kB), truncated.\r\n";
const char kLoopingLine[] = "Crash log writes still attempted after 3 seconds, maybe something is looping?\r\n";

constexpr std::size_t kMaxModulePath = 258;
constexpr std::size_t kMaxFrames = 256;
constexpr unsigned kMaxChainedRecords = 16;
constexpr unsigned kMaxNotes = 1024;

// 0 not initialised, 1 reports go to files under s_prefix, 2 to stderr.
std::atomic<int> s_mode{0};
char s_prefix[CrashReporter::kMaxPrefix * 3 + 1];
char s_buildId[13] = "000000000000";
long s_utcOffset = 0;

CrashReporter::DescribeExceptionFn s_describeException = nullptr;
CrashReporter::FormatOutputFn s_formatOutput = nullptr;
CrashReporter::ThreadNameFn s_threadName = nullptr;
CrashReporter::ThreadsActiveFn s_threadsActive = nullptr;
CrashReporter::NotationListFn s_notationList = nullptr;
CrashReporter::EachThreadNotationsFn s_eachThreadNotations = nullptr;

// Where a fault of the reporting thread returns to while it reads memory
// that other threads may be changing (their notation lists, log buffers).
sigjmp_buf s_recovery;
std::atomic<bool> s_recoveryArmed{false};

// The OS id of the thread that started the report; the report-started flag.
std::atomic<std::uint32_t> s_reportingThread{0};

struct CrashNote {
    CrashReporter::NotePrintFn print;
    void (*release)(CrashNote*);
    std::atomic<CrashNote*> next{nullptr};
    char text[1];  // the copy of the text runs on past the struct
};

// Appenders hold the lock; the report walks the list without it, which the
// release-store of each link makes safe.
std::mutex s_notesLock;
std::atomic<CrashNote*> s_notesHead{nullptr};
CrashNote* s_notesTail = nullptr;

// The unhandled exception that the terminate hook saw on this thread, for
// the report of the abort() that follows.
thread_local const std::type_info* t_thrownType = nullptr;
thread_local const void* t_thrownObject = nullptr;
thread_local const std::exception* t_thrownException = nullptr;

void releaseNote(CrashNote* note) {
    std::free(note);
}

void printNoteLine(const char* text, CrashReportWriter& out) {
    CrashReporter::format(out, "  %s\r\n", text);
}

void formatIntoWriter(CrashReportWriter& out, const char* fmt, va_list args) {
    out.vformat(fmt, args);
}

const char* exceptionName(std::uint32_t code) noexcept {
    using namespace platform;
    switch (code) {
        case EXCEPTION_SIGABRT:
            return "SIGABRT";
        case EXCEPTION_GUARD_PAGE:
            return "Guard Page Exception";
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return "Data Misalignment";
        case EXCEPTION_BREAKPOINT:
            return "Breakpoint";
        case EXCEPTION_SINGLE_STEP:
            return "Single Step";
        case EXCEPTION_INVALID_HANDLE:
            return "Invalid Handle Exception";
        case EXCEPTION_ILLEGAL_INSTRUCTION:
            return "Illegal Instruction";
        case EXCEPTION_NONCONTINUABLE_EXCEPTION:
            return "Attempt to Contintue from a Non-continuable Exception";
        case EXCEPTION_INVALID_DISPOSITION:
            return "Invalid Exception Disposition";
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
            return "Array bounds exceeded";
        case EXCEPTION_FLT_DENORMAL_OPERAND:
            return "Floating Point Error: Denormalized Operand";
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
            return "Floating Point Error: Divide by Zero";
        case EXCEPTION_FLT_INEXACT_RESULT:
            return "Floating Point Error: Inexact Result";
        case EXCEPTION_FLT_INVALID_OPERATION:
            return "Floating Point Error: Invalid Operation";
        case EXCEPTION_FLT_OVERFLOW:
            return "Floating Point Error: Overflow";
        case EXCEPTION_FLT_STACK_CHECK:
            return "Floating Point Error: Stack Overflow or Underflow";
        case EXCEPTION_FLT_UNDERFLOW:
            return "Floating Point Error: Underflow";
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            return "Integer Divide by Zero";
        case EXCEPTION_INT_OVERFLOW:
            return "Integer Overflow";
        case EXCEPTION_PRIV_INSTRUCTION:
            return "Invalid use of Privledged Instruction";
        case EXCEPTION_STACK_OVERFLOW:
            return "Stack Overflow";
        default:
            return nullptr;
    }
}

const char* accessWord(std::uint64_t kind) noexcept {
    if (kind == platform::kAccessWrite) return "write";
    if (kind == platform::kAccessExecute) return "execute";
    return "read";
}

void describeRecord(const platform::CrashExceptionRecord& r, CrashReportWriter& out) noexcept {
    using namespace platform;
    switch (r.code) {
        case EXCEPTION_ACCESS_VIOLATION:
            out.format(" Access violation, cannot %s at address [0x%016llX]\r\n", accessWord(r.information[0]),
                       static_cast<unsigned long long>(r.information[1]));
            break;
        case EXCEPTION_IN_PAGE_ERROR:
            out.format(" Cannot page in memory for %s at address [0x%016llX], NTSTATUS=%d\r\n",
                       accessWord(r.information[0]), static_cast<unsigned long long>(r.information[1]),
                       static_cast<int>(r.information[2]));
            break;
        case EXCEPTION_CXX_THROW:
            out.format(" C++ exception: object@[0x%016llX], type@[0x%016llX]\r\n",
                       static_cast<unsigned long long>(r.information[1]),
                       static_cast<unsigned long long>(r.information[2]));
            if (r.information[0] != kCxxFrameMagic)
                out.format(" NOTE: exception had unexpected frame magic ([0x%016llX])\r\n",
                           static_cast<unsigned long long>(r.information[0]));
            if (s_describeException && r.information[2])
                s_describeException(reinterpret_cast<const std::type_info*>(r.information[2]),
                                    reinterpret_cast<const std::exception*>(r.information[3]), out);
            break;
        default:
            if (const char* name = exceptionName(r.code))
                out.format(" %s\r\n", name);
            else
                out.format(" Exception Cause Code: 0x%X\r\n", r.code);
            break;
    }
    if (r.flags & EXCEPTION_NONCONTINUABLE) out.write(" Exception is Non-continuable\r\n");
    out.format(" Exception address: [0x%016llX]\r\n", static_cast<unsigned long long>(r.address));
}

void writeBacktrace(const void* ucontext, CrashReportWriter& out) noexcept {
    void* frames[kMaxFrames];
    const std::size_t n = platform::crashBacktrace(frames, kMaxFrames);
    // Skip the reporter's own frames: start at the faulting instruction.
    std::size_t first = 0;
    if (const std::uint64_t ip = platform::crashInstructionPointer(ucontext)) {
        for (std::size_t i = 0; i < n; ++i) {
            if (reinterpret_cast<std::uint64_t>(frames[i]) == ip) {
                first = i;
                break;
            }
        }
    }
    char name[512];
    for (std::size_t i = first; i < n; ++i) {
        out.format("  [0x%016llX] ", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(frames[i])));
        platform::CrashSymbol sym;
        if (!platform::crashLookupSymbol(frames[i], sym)) {
            out.write("?\r\n");
        } else if (sym.name) {
            platform::crashDemangle(sym.name, name, sizeof name);
            out.format("%s + %lu\r\n", name, static_cast<unsigned long>(sym.symbolOffset));
        } else {
            out.format("%s + 0x%llX\r\n", sym.module ? sym.module : "?",
                       static_cast<unsigned long long>(sym.moduleOffset));
        }
    }
    if (n == kMaxFrames) out.write("(Backtrace truncated)\r\n");
}

// Threads of the process, counted from /proc without allocating (for when
// the thread layer gave no count).
std::uint32_t countOsThreads() noexcept {
    int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 1;
    std::uint32_t count = 0;
    alignas(8) char buf[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0) break;
        for (long pos = 0; pos < n;) {
            unsigned short reclen;
            std::memcpy(&reclen, buf + pos + 16, sizeof reclen);
            const char* entry = buf + pos + 19;
            if (entry[0] != '.') ++count;
            pos += reclen;
        }
    }
    close(fd);
    return count ? count : 1;
}

void writeCpuid(CrashReportWriter& out) noexcept {
    out.write("\r\nx86 CPUID registers:\r\n");
    for (unsigned base : {0u, 0x80000000u}) {
        unsigned top = __get_cpuid_max(base, nullptr);
        if (top < base) continue;
        if (top - base > 63) top = base + 63;  // a bogus maximum must not flood the report
        for (unsigned leaf = base; leaf <= top; ++leaf) {
            unsigned a, b, c, d;
            __cpuid_count(leaf, 0, a, b, c, d);
            out.format("  %8X: %08X %08X %08X %08X\r\n", leaf, a, b, c, d);
        }
    }
}

void writeHostFacts(CrashReportWriter& out, std::uint32_t savedLastError) noexcept {
    out.format("\r\n Morvex ran as %s\r\n", geteuid() == 0 ? "local administrator" : "non-administrator");
    char host[256] = "unknown";
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "unknown");
    host[sizeof host - 1] = '\0';
    out.format(" Computer name: %s\r\n", host);
    out.format(" GetLastError(): %u\r\n", savedLastError);
    out.format(" Threads running: %u\r\n", s_threadsActive ? s_threadsActive() : countOsThreads());
}

// The build's identifier: the first 12 hex digits of the program's GNU
// build-id note (set by the linker), or a hash of the compile time.
void captureBuildId() {
    auto fromNotes = [](dl_phdr_info* info, size_t, void*) -> int {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr)& ph = info->dlpi_phdr[i];
            if (ph.p_type != PT_NOTE) continue;
            const char* p = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
            const char* end = p + ph.p_memsz;
            while (p + sizeof(ElfW(Nhdr)) <= end) {
                const auto* nh = reinterpret_cast<const ElfW(Nhdr)*>(p);
                const char* name = p + sizeof(ElfW(Nhdr));
                const auto* desc = reinterpret_cast<const unsigned char*>(name + ((nh->n_namesz + 3) & ~3u));
                if (nh->n_type == NT_GNU_BUILD_ID && nh->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                    nh->n_descsz >= 6) {
                    for (int k = 0; k < 6; ++k) std::snprintf(s_buildId + 2 * k, 3, "%02x", desc[k]);
                    return 1;
                }
                p = reinterpret_cast<const char*>(desc) + ((nh->n_descsz + 3) & ~3u);
            }
        }
        return 1;  // the first module is the program itself
    };
    std::uint64_t hash = 1469598103934665603ull;
    for (const char* c = __DATE__ " " __TIME__; *c; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    std::snprintf(s_buildId, sizeof s_buildId, "%012llx", static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
    dl_iterate_phdr(fromNotes, nullptr);
}

// Notes an unhandled exception for the report, then aborts as the default
// terminate handler would.
[[noreturn]] void onTerminate() noexcept {
    if (std::current_exception()) {
        try {
            throw;
        } catch (const std::exception& e) {
            t_thrownException = &e;
            t_thrownObject = dynamic_cast<const void*>(&e);
            t_thrownType = &typeid(e);
        } catch (...) {
            t_thrownType = abi::__cxa_current_exception_type();
        }
    }
    std::abort();
}

void onFatalSignal(int sig, siginfo_t* info, void* ucontext) {
    if (s_recoveryArmed.load() && s_reportingThread.load() == platform::crashCurrentThreadId()) {
        s_recoveryArmed.store(false);
        siglongjmp(s_recovery, 1);
    }
    platform::CrashExceptionRecord record;
    platform::crashRecordFromSignal(sig, info, ucontext, record);
    platform::CrashExceptionRecord thrown;
    if (sig == SIGABRT && t_thrownType) {
        thrown.code = platform::EXCEPTION_CXX_THROW;
        thrown.flags = platform::EXCEPTION_NONCONTINUABLE;
        thrown.numberParameters = 4;
        thrown.information[0] = platform::kCxxFrameMagic;
        thrown.information[1] = reinterpret_cast<std::uintptr_t>(t_thrownObject);
        thrown.information[2] = reinterpret_cast<std::uintptr_t>(t_thrownType);
        thrown.information[3] = reinterpret_cast<std::uintptr_t>(t_thrownException);
        record.next = &thrown;
    }
    if (!CrashReporter::writeReport(record, ucontext)) {
        const std::uint32_t reporter = s_reportingThread.load();
        // Another thread is writing the report and will end the process;
        // leaving now would cut its report short.
        if (reporter != 0 && reporter != platform::crashCurrentThreadId())
            for (;;) pause();
    }
    platform::dieBySignal(sig);
}

// Prints one other thread's notations; a fault while doing so (the thread
// changed its list under us) ends only this thread's part.
void printThreadNotations(const char* threadName, const ScopedPerThreadCrashLogNotation* head, void* context) {
    auto& out = *static_cast<CrashReportWriter*>(context);
    if (sigsetjmp(s_recovery, 1) != 0) {
        out.write("  (the rest of this list could not be read)\r\n");
        return;
    }
    s_recoveryArmed.store(true);
    out.format("\r\n Crash log notations of thread %s:\r\n", threadName ? threadName : "?");
    if (head)
        crash_log::printNotations(head, out);
    else
        out.write("  (none)\r\n");
    s_recoveryArmed.store(false);
}

// Log lines still in appender buffers go out before anything else can fail.
void flushLogBuffers() {
    if (sigsetjmp(s_recovery, 1) != 0) return;
    s_recoveryArmed.store(true);
    LogAppender::crashFlushAll();
    s_recoveryArmed.store(false);
}

void describeThrownObject(const std::type_info* type, const std::exception* exception, CrashReportWriter& out) {
    char name[512];
    platform::crashDemangle(type ? type->name() : "unknown", name, sizeof name);
    CrashReporter::format(out, " C++ Exception type: %s\r\n what(): %s\r\n", name, exception ? exception->what() : "");
}

void appendUtf8(std::string& out, const wchar_t* text) {
    for (; *text; ++text) {
        auto c = static_cast<std::uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

// Made for every thread of the thread layer: its construction gives the
// thread an alternate signal stack (released when the thread ends), so a
// stack overflow on any thread still gets its report.
class CrashAltStackScope final : public Thread::ThreadScopedObject {
public:
    CrashAltStackScope() { platform::installCrashAltStack(); }
};

// Length of UTF-8 text in UTF-16 code units.
std::size_t utf16Length(const char* text) noexcept {
    std::size_t n = 0;
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if ((*p & 0xC0) != 0x80) ++n;
        if (*p >= 0xF0) ++n;  // needs a surrogate pair
    }
    return n;
}

}  // namespace

// ---------------------------------------------------------------- writer

std::uint64_t CrashReportWriter::monotonicSeconds() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec);
}

void CrashReportWriter::rawWrite(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t n = ::write(_fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void CrashReportWriter::write(const char* data, std::size_t size) noexcept {
    if (size > kSingleWriteLimit) {
        data = kSkipLine;
        size = sizeof kSkipLine - 1;
    }
    if (_overflowCount == 0) {
        if (_bytesWritten + size >= kOverflowLimit) {
            rawWrite(kOverflowLine, sizeof kOverflowLine - 1);
            _bytesWritten += sizeof kOverflowLine - 1;
            _overflowCount = kOverflowStart;
            _overflowTime = _clock();
            return;
        }
        rawWrite(data, size);
        _bytesWritten += size;
        return;
    }
    const std::uint64_t before = _overflowCount;
    _overflowCount += size;
    if (before / kLoopCheckStep != _overflowCount / kLoopCheckStep && _clock() - _overflowTime > kLoopSeconds) {
        rawWrite(kLoopingLine, sizeof kLoopingLine - 1);
        _exit(kLoopExitCode);
    }
}

void CrashReportWriter::format(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
}

void CrashReportWriter::vformat(const char* fmt, va_list args) noexcept {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        write(small, static_cast<std::size_t>(n));
    } else if (static_cast<std::size_t>(n) > kSingleWriteLimit) {
        write(small, static_cast<std::size_t>(n));  // too long: write() puts the skip line in its place
    } else {
        // One report at a time (and the writer is not reentrant), so a static
        // buffer serves where the stack (maybe the small alternate stack)
        // should not.
        static char s_large[kSingleWriteLimit + 1];
        std::vsnprintf(s_large, sizeof s_large, fmt, args);
        write(s_large, static_cast<std::size_t>(n));
    }
}

// ---------------------------------------------------------------- helpers

CrashTime crashTimeFromEpoch(std::int64_t epochSeconds, long utcOffsetSeconds) noexcept {
    const std::int64_t t = epochSeconds + utcOffsetSeconds;
    std::int64_t days = t / 86400;
    std::int64_t rem = t % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    // Days to civil date (era-based, valid for the whole proleptic calendar).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return CrashTime{static_cast<int>(year),       static_cast<int>(month),         static_cast<int>(day),
                     static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60)};
}

bool crashReportFileName(char* out, std::size_t size, const char* prefix, const char* modulePath,
                         const CrashTime& time) noexcept {
    std::size_t len = 0;
    auto put = [&](char c) {
        if (len + 1 < size) out[len] = c;
        ++len;
    };
    for (const char* p = prefix; p && *p; ++p) put(*p);
    put('/');
    const std::size_t moduleLen = modulePath ? std::strlen(modulePath) : 0;
    if (moduleLen > 0 && moduleLen <= kMaxModulePath) {
        for (const char* p = modulePath; *p; ++p) put((*p == '.' || *p == ':' || *p == '/' || *p == '\\') ? '_' : *p);
        put('_');
    }
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "crash-%04d-%02d-%02d-%02d-%02d-%02d.log", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    for (const char* p = stamp; *p; ++p) put(*p);
    if (size > 0) out[len < size ? len : size - 1] = '\0';
    return len < size;
}

std::string invalidParameterText(const wchar_t* expression, const wchar_t* function, const wchar_t* file) {
    std::string text;
    auto part = [&text](const char* label, const wchar_t* value) {
        if (!value) return;
        text += label;
        appendUtf8(text, value);
        text += "' ";
    };
    part("Expression='", expression);
    part("Function='", function);
    part("File='", file);
    return text;
}

void invalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned line,
                             std::uintptr_t) {
    static Logger s_log("Backtracer");
    const std::string text = invalidParameterText(expression, function, file);
    if (!text.empty()) s_log.error("%s Line='%d'", text.c_str(), static_cast<int>(line));
}

// ---------------------------------------------------------------- reporter

bool CrashReporter::initialize(const char* prefix) {
    if (isInitialized()) return true;  // the handlers and the prefix are set once per process
    if (prefix && utf16Length(prefix) >= kMaxPrefix) {
        std::fprintf(stderr, "Prefix too long: \"%s\"\n", prefix);
        return false;
    }
    if (prefix) std::snprintf(s_prefix, sizeof s_prefix, "%s", prefix);
    captureBuildId();
    tzset();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) s_utcOffset = local.tm_gmtoff;
    // The first backtrace loads the unwinder, which allocates: do it now.
    platform::crashSymbolsWarmUp();
    platform::installCrashAltStack();
    std::set_terminate(onTerminate);
    platform::installCrashSignalHandlers(onFatalSignal);
    s_mode.store(prefix ? 1 : 2);
    return true;
}

bool CrashReporter::isInitialized() noexcept {
    return s_mode.load() != 0;
}

int CrashReporter::addNote(const char* text, NotePrintFn print) noexcept {
    const std::size_t len = std::strlen(text);
    void* memory = std::malloc(sizeof(CrashNote) + len);
    if (!memory) return -1;
    auto* note = new (memory) CrashNote;
    note->print = print ? print : printNoteLine;
    note->release = releaseNote;
    std::memcpy(note->text, text, len + 1);
    std::lock_guard<std::mutex> lock(s_notesLock);
    if (s_notesTail)
        s_notesTail->next.store(note, std::memory_order_release);
    else
        s_notesHead.store(note, std::memory_order_release);
    s_notesTail = note;
    return 0;
}

void CrashReporter::setDescribeException(DescribeExceptionFn fn) noexcept {
    s_describeException = fn;
}
void CrashReporter::setFormatOutput(FormatOutputFn fn) noexcept {
    s_formatOutput = fn;
}
void CrashReporter::setThreadName(ThreadNameFn fn) noexcept {
    s_threadName = fn;
}
void CrashReporter::setThreadsActive(ThreadsActiveFn fn) noexcept {
    s_threadsActive = fn;
}
void CrashReporter::setNotationList(NotationListFn fn) noexcept {
    s_notationList = fn;
}
void CrashReporter::setEachThreadNotations(EachThreadNotationsFn fn) noexcept {
    s_eachThreadNotations = fn;
}

void CrashReporter::format(CrashReportWriter& out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (s_formatOutput)
        s_formatOutput(out, fmt, args);
    else
        out.vformat(fmt, args);
    va_end(args);
}

std::uint32_t CrashReporter::reportingThread() noexcept {
    return s_reportingThread.load();
}

bool CrashReporter::writeReport(const platform::CrashExceptionRecord& record, const void* ucontext) noexcept {
    const std::uint32_t savedLastError = platform::GetLastError();
    const int savedErrno = errno;
    const int mode = s_mode.load();
    if (mode == 0) return false;
    std::uint32_t expected = 0;
    if (!s_reportingThread.compare_exchange_strong(expected, platform::crashCurrentThreadId())) return false;

    platform::breakIntoDebuggerIfAttached();
    flushLogBuffers();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const CrashTime t = crashTimeFromEpoch(now.tv_sec, s_utcOffset);

    int fd = STDERR_FILENO;
    if (mode == 1) {
        char module[kMaxModulePath + 2];
        const ssize_t n = readlink("/proc/self/exe", module, sizeof module - 1);
        module[n > 0 ? n : 0] = '\0';
        char path[4096];
        if (!crashReportFileName(path, sizeof path, s_prefix, module, t)) return false;
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
    }
    CrashReportWriter out(fd);
    out.format("[build %s] %04d-%02d-%02d %02d:%02d:%02d\r\n", s_buildId, t.year, t.month, t.day, t.hour, t.minute,
               t.second);

    const platform::CrashExceptionRecord* r = &record;
    for (unsigned depth = 0; r && depth < kMaxChainedRecords; ++depth, r = r->next) {
        describeRecord(*r, out);
        if (r->next) out.write(" Next chained exception:\r\n");
    }
    char osName[16] = "";
    const char* threadName = s_threadName ? s_threadName() : nullptr;
    if (!threadName) {
        if (prctl(PR_GET_NAME, osName, 0, 0, 0) != 0) osName[0] = '\0';
        threadName = osName;
    }
    out.format(" Crashing thread: %s\r\n", threadName);

    platform::CrashRegister regs[40];
    const std::size_t nregs = platform::crashRegisters(ucontext, regs, 40);
    for (std::size_t i = 0; i < nregs; ++i)
        out.format("    %s:  [0x%016llX]\r\n", regs[i].name, static_cast<unsigned long long>(regs[i].value));

    out.write("\r\n OS: Linux\r\n Arch: x86-64\r\n\r\n Backtrace:\r\n");
    writeBacktrace(ucontext, out);

    out.write("\r\n Process notes:\r\n");
    unsigned count = 0;
    for (CrashNote* note = s_notesHead.load(std::memory_order_acquire); note && count < kMaxNotes;
         note = note->next.load(std::memory_order_acquire), ++count)
        note->print(note->text, out);

    out.format("\r\n Crash log notations of thread %s:\r\n", threadName);
    const ScopedPerThreadCrashLogNotation* head = s_notationList ? s_notationList() : nullptr;
    if (head)
        crash_log::printNotations(head, out);
    else
        out.write("  (none)\r\n");
    if (s_eachThreadNotations) s_eachThreadNotations(printThreadNotations, &out);

    writeHostFacts(out, savedLastError);
    writeCpuid(out);
    out.write("\r\nterminating...\r\n");
    if (fd != STDERR_FILENO) close(fd);
    platform::SetLastError(savedLastError);
    errno = savedErrno;
    return true;
}

// ---------------------------------------------------------------- set-up

void installCrashReporting(const std::string& crashLogDir) {
    if (CrashReporter::isInitialized()) return;
    // Linux has no run-time hook for invalid parameters: invalidParameterHandler
    // is there for code that detects one itself.
    std::error_code ignored;
    std::filesystem::create_directories(crashLogDir, ignored);
    if (CrashReporter::initialize(crashLogDir.c_str()))
        Thread::registerThreadScopedObjectFactory(
            []() -> Thread::ThreadScopedObject* { return new CrashAltStackScope; });
    CrashReporter::setDescribeException(describeThrownObject);
    CrashReporter::setFormatOutput(formatIntoWriter);
    crash_log::markCrashReporterThread();
    CrashReporter::setThreadName(crash_log::currentThreadName);
    CrashReporter::setThreadsActive(crash_log::threadsActive);
    CrashReporter::setNotationList(crash_log::currentNotations);
    CrashReporter::setEachThreadNotations(crash_log::eachOtherThreadNotations);
    CrashReporter::addNote("wmain");
}

}  // namespace morvex
