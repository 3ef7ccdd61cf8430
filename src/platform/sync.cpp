#include "platform/sync.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace morvex::platform {

namespace {

std::atomic<FatalThreadErrorHandler>& fatalHandler() noexcept {
    static std::atomic<FatalThreadErrorHandler> handler{nullptr};
    return handler;
}

// Monotonic deadline for a timed wait; the condition variable is set up to
// use CLOCK_MONOTONIC so that wall-clock changes cannot stretch a wait.
timespec deadlineAfter(std::uint32_t ms) noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

void setFatalThreadErrorHandler(FatalThreadErrorHandler handler) noexcept {
    fatalHandler().store(handler, std::memory_order_release);
}

void reportFatalThreadError(const char* callName, std::uint32_t code) noexcept {
    if (FatalThreadErrorHandler handler = fatalHandler().load(std::memory_order_acquire)) {
        handler(callName, code);
        return;
    }
    char text[256];
    ErrorText(code, text, sizeof text);
    std::fprintf(stderr, "Fatal thread error: %s: %s\n", callName, text);
    std::abort();
}

CriticalSection::CriticalSection() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) reportFatalThreadError("InitializeCriticalSection", static_cast<std::uint32_t>(rc));
}

CriticalSection::~CriticalSection() {
    pthread_mutex_destroy(&_mutex);
}

void CriticalSection::enter() noexcept {
    if (int rc = pthread_mutex_lock(&_mutex))
        reportFatalThreadError("EnterCriticalSection", static_cast<std::uint32_t>(rc));
}

void CriticalSection::leave() noexcept {
    if (int rc = pthread_mutex_unlock(&_mutex))
        reportFatalThreadError("LeaveCriticalSection", static_cast<std::uint32_t>(rc));
}

bool CriticalSection::tryEnter() noexcept {
    return pthread_mutex_trylock(&_mutex) == 0;
}

std::size_t CriticalSection::describe(char* buf, std::size_t size) const noexcept {
    static const char kPrefix[] = "CriticalSectionMutexImpl:{";
    static const char kHex[] = "0123456789abcdef";
    if (size == 0) return 0;
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size) buf[n++] = c;
    };
    for (const char* p = kPrefix; *p; ++p) put(*p);
    const auto* bytes = reinterpret_cast<const unsigned char*>(this);
    constexpr std::size_t kBytes = sizeof(CriticalSection) < 40 ? sizeof(CriticalSection) : 40;
    for (std::size_t i = 0; i < kBytes; ++i) {
        put(kHex[bytes[i] >> 4]);
        put(kHex[bytes[i] & 0xf]);
    }
    put('}');
    buf[n] = '\0';
    return n;
}

std::string CriticalSection::describe() const {
    char buf[128];
    return std::string(buf, describe(buf, sizeof buf));
}

ConditionVariable::ConditionVariable() noexcept {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&_cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0) reportFatalThreadError("InitializeConditionVariable", static_cast<std::uint32_t>(rc));
}

ConditionVariable::~ConditionVariable() {
    pthread_cond_destroy(&_cond);
}

void ConditionVariable::wakeOne() noexcept {
    pthread_cond_signal(&_cond);
}

void ConditionVariable::wakeAll() noexcept {
    pthread_cond_broadcast(&_cond);
}

bool ConditionVariable::sleep(CriticalSection& cs, std::uint32_t timeoutMs) noexcept {
    int rc;
    if (timeoutMs == INFINITE) {
        rc = pthread_cond_wait(&_cond, cs.native());
    } else {
        timespec deadline = deadlineAfter(timeoutMs);
        rc = pthread_cond_timedwait(&_cond, cs.native(), &deadline);
    }
    if (rc == 0) return true;
    SetLastError(rc == ETIMEDOUT ? ERROR_TIMEOUT : static_cast<std::uint32_t>(rc));
    return false;
}

}  // namespace morvex::platform
