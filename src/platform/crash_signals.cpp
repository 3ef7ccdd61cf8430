#include "platform/crash_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace morvex::platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Page-fault error code bits (x86-64 REG_ERR).
constexpr std::uint64_t kPfWrite = 0x2;
constexpr std::uint64_t kPfInstructionFetch = 0x10;

// A fault this close below the stack's lowest address, or this close below
// the stack pointer, is taken as a stack overflow.
constexpr std::uint64_t kStackOverflowSlack = 0x10000;

constexpr std::size_t kAltStackSize = 256 * 1024;

// Lowest address of the calling thread's stack, noted when its alternate stack was
// installed (0 when unknown).
thread_local std::uint64_t t_stackLow = 0;

// Owns the calling thread's alternate stack; unmaps it when the thread ends.
struct AltStack {
    void* mapping = nullptr;
    std::size_t size = 0;
    ~AltStack() {
        if (!mapping) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(mapping, size);
    }
};
thread_local AltStack t_altStack;

const mcontext_t* mcontextOf(const void* ucontext) noexcept {
    return ucontext ? &static_cast<const ucontext_t*>(ucontext)->uc_mcontext : nullptr;
}

std::uint64_t accessKind(std::uint64_t err) noexcept {
    if (err & kPfInstructionFetch) return kAccessExecute;
    return (err & kPfWrite) ? kAccessWrite : kAccessRead;
}

bool looksLikeStackOverflow(std::uint64_t addr, std::uint64_t rsp) noexcept {
    // Past the bottom of the thread's known stack (the guard gap lies below).
    if (t_stackLow && addr < t_stackLow + kStackOverflowSlack && addr + 16 * kStackOverflowSlack >= t_stackLow)
        return true;
    // A push, call or stack probe just below the stack pointer.
    return rsp && addr <= rsp + 0x100 && addr + kStackOverflowSlack >= rsp;
}

std::uint32_t fpeCode(int siCode) noexcept {
    switch (siCode) {
        case FPE_INTDIV:
            return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
            return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
            return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
            return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
            return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
            return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTSUB:
            return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:
            return EXCEPTION_FLT_INVALID_OPERATION;
    }
}

}  // namespace

void crashRecordFromSignal(int sig, const siginfo_t* info, const void* ucontext, CrashExceptionRecord& out) noexcept {
    out = CrashExceptionRecord{};
    const mcontext_t* mc = mcontextOf(ucontext);
    out.address = crashInstructionPointer(ucontext);
    const int siCode = info ? info->si_code : 0;
    const bool fromKernel = siCode > 0;
    const auto dataAddress = info ? reinterpret_cast<std::uint64_t>(info->si_addr) : 0;
    const std::uint64_t err = mc ? static_cast<std::uint64_t>(mc->gregs[REG_ERR]) : 0;
    const std::uint64_t rsp = mc ? static_cast<std::uint64_t>(mc->gregs[REG_RSP]) : 0;

    if (!fromKernel && sig != SIGABRT) {
        // Sent by kill() or raise(): nothing faulted and siginfo holds no
        // address, so the signal number itself is reported as the cause.
        out.code = static_cast<std::uint32_t>(sig);
        return;
    }
    switch (sig) {
        case SIGSEGV:
            out.numberParameters = 2;
            if (siCode == SI_KERNEL) {
                // A general-protection fault (non-canonical address): the
                // kernel gives no address, Windows reports all ones.
                out.code = EXCEPTION_ACCESS_VIOLATION;
                out.information[0] = kAccessRead;
                out.information[1] = ~0ull;
                break;
            }
            out.information[0] = accessKind(err);
            out.information[1] = dataAddress;
            out.code = looksLikeStackOverflow(dataAddress, rsp) ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
            break;
        case SIGBUS:
            if (siCode == BUS_ADRALN) {
                out.code = EXCEPTION_DATATYPE_MISALIGNMENT;
                break;
            }
            out.code = EXCEPTION_IN_PAGE_ERROR;
            out.numberParameters = 3;
            out.information[0] = accessKind(err);
            out.information[1] = dataAddress;
            out.information[2] = static_cast<std::uint64_t>(siCode);  // the kernel's reason stands in for NTSTATUS
            break;
        case SIGILL:
            out.code = (siCode == ILL_PRVOPC || siCode == ILL_PRVREG) ? EXCEPTION_PRIV_INSTRUCTION
                                                                      : EXCEPTION_ILLEGAL_INSTRUCTION;
            break;
        case SIGFPE:
            out.code = fpeCode(siCode);
            break;
        case SIGABRT:
            out.code = EXCEPTION_SIGABRT;
            out.flags = EXCEPTION_NONCONTINUABLE;  // abort() never returns
            break;
        default:
            // Not a mapped signal: reported by its number as the cause code.
            out.code = static_cast<std::uint32_t>(sig);
            break;
    }
}

std::uint64_t crashInstructionPointer(const void* ucontext) noexcept {
    const mcontext_t* mc = mcontextOf(ucontext);
    return mc ? static_cast<std::uint64_t>(mc->gregs[REG_RIP]) : 0;
}

std::size_t crashRegisters(const void* ucontext, CrashRegister* out, std::size_t max) noexcept {
    if (!ucontext) return 0;
    const auto* uc = static_cast<const ucontext_t*>(ucontext);
    const greg_t* g = uc->uc_mcontext.gregs;
    std::size_t n = 0;
    auto add = [&](const char* name, std::uint64_t value) {
        if (n < max) out[n++] = CrashRegister{name, value};
    };
    if (uc->uc_mcontext.fpregs) add("MxCsr", uc->uc_mcontext.fpregs->mxcsr);
    // REG_CSGSFS packs cs, gs, fs and (when the kernel says so) ss.
    const auto segs = static_cast<std::uint64_t>(g[REG_CSGSFS]);
    add("SegFs", (segs >> 32) & 0xFFFF);
    add("SegGs", (segs >> 16) & 0xFFFF);
    constexpr unsigned long kSigcontextSs = 0x2;  // UC_SIGCONTEXT_SS
    if (uc->uc_flags & kSigcontextSs) add("SegSs", (segs >> 48) & 0xFFFF);
    add("SegCs", segs & 0xFFFF);
    add("EFlags", static_cast<std::uint64_t>(g[REG_EFL]));
    add("Rsp", static_cast<std::uint64_t>(g[REG_RSP]));
    add("Rip", static_cast<std::uint64_t>(g[REG_RIP]));
    static constexpr struct {
        const char* name;
        int index;
    } kIntegers[] = {{"Rax", REG_RAX}, {"Rcx", REG_RCX}, {"Rdx", REG_RDX}, {"Rbx", REG_RBX}, {"Rbp", REG_RBP},
                     {"Rsi", REG_RSI}, {"Rdi", REG_RDI}, {"R8", REG_R8},   {"R9", REG_R9},   {"R10", REG_R10},
                     {"R11", REG_R11}, {"R12", REG_R12}, {"R13", REG_R13}, {"R14", REG_R14}, {"R15", REG_R15}};
    for (const auto& r : kIntegers) add(r.name, static_cast<std::uint64_t>(g[r.index]));
    return n;
}

bool installCrashSignalHandlers(CrashSignalHandler handler) noexcept {
    struct sigaction sa {};
    sa.sa_sigaction = handler;
    sigemptyset(&sa.sa_mask);
    // SA_NODEFER: a fault inside the handler re-enters it, which then lets
    // the process die instead of writing a second report.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    bool ok = true;
    for (int sig : kFatalSignals) ok = sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}

namespace {

std::atomic<void (*)() noexcept> g_stopFlush{nullptr};

extern "C" void onStopSignal(int sig) {
    if (auto flush = g_stopFlush.load(std::memory_order_acquire)) flush();
    dieBySignal(sig);
}

}  // namespace

bool installStopSignalFlush(void (*flush)() noexcept) noexcept {
    g_stopFlush.store(flush, std::memory_order_release);
    bool ok = true;
    for (int sig : {SIGHUP, SIGQUIT, SIGTERM, SIGINT}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0) {
            ok = false;
            continue;
        }
        // Only where the signal would end the process: one that the parent
        // has us ignore (nohup) stays ignored, and a handler stays in place.
        if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ok = sigaction(sig, &sa, nullptr) == 0 && ok;
    }
    return ok;
}

void dieBySignal(int sig) noexcept {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), sig);
    _exit(128 + sig);
}

bool installCrashAltStack() noexcept {
    if (t_altStack.mapping) return true;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t size = kAltStackSize + page;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) return false;
    mprotect(mapping, page, PROT_NONE);  // guard: an overflow of the alt stack faults instead of corrupting
    stack_t ss{};
    ss.ss_sp = static_cast<char*>(mapping) + page;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(mapping, size);
        return false;
    }
    t_altStack.mapping = mapping;
    t_altStack.size = size;

    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        std::size_t stackSize = 0;
        if (pthread_attr_getstack(&attr, &low, &stackSize) == 0) {
            t_stackLow = reinterpret_cast<std::uint64_t>(low);
        }
        pthread_attr_destroy(&attr);
    }
    return true;
}

std::uint32_t crashCurrentThreadId() noexcept {
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

void breakIntoDebuggerIfAttached() noexcept {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[2048];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return;
    buf[n] = '\0';
    const char* p = std::strstr(buf, "TracerPid:");
    if (!p) return;
    p += 10;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '0' || *p < '0' || *p > '9') return;
    // Ignored, the signal still stops a tracer but never kills an untraced
    // or pass-through-tracing process.
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGTRAP, &ign, &old);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGTRAP);
    sigaction(SIGTRAP, &old, nullptr);
}

}  // namespace morvex::platform
