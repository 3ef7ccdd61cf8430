// Critical sections and condition variables with Windows semantics on
// pthreads: a critical section is recursive (the owner may enter again and
// must leave as often), and a condition variable is always used together
// with one critical section held exactly once by the waiter.
//
// Failures of the underlying calls are never returned to callers that could
// not handle them sensibly: they go to the fatal thread-error hook (see
// setFatalThreadErrorHandler), which the thread layer installs.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvex::platform {

constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

// Called for a failed thread or synchronisation call with the call's name
// (such as "SleepConditionVariableCS") and the error code. The handler may
// return when the failure is to be ignored (the runtime is shutting down);
// otherwise it ends the process. Without a handler the failure is written to
// standard error and the process aborts.
using FatalThreadErrorHandler = void (*)(const char* callName, std::uint32_t code);
void setFatalThreadErrorHandler(FatalThreadErrorHandler handler) noexcept;
void reportFatalThreadError(const char* callName, std::uint32_t code) noexcept;

class CriticalSection {
public:
    CriticalSection() noexcept;  // InitializeCriticalSection
    ~CriticalSection();          // DeleteCriticalSection
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() noexcept;
    void leave() noexcept;
    bool tryEnter() noexcept;

    // "CriticalSectionMutexImpl:{" + the object's first 40 bytes in hex + "}".
    std::string describe() const;
    // Same into a caller's buffer without allocating (for crash reports);
    // returns the length written, always terminated when size > 0.
    std::size_t describe(char* buf, std::size_t size) const noexcept;

    pthread_mutex_t* native() noexcept { return &_mutex; }

private:
    pthread_mutex_t _mutex;
};

// Holds a critical section for a scope.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& cs) noexcept : _cs(cs) { _cs.enter(); }
    ~CriticalSectionGuard() { _cs.leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection& _cs;
};

class ConditionVariable {
public:
    ConditionVariable() noexcept;
    ~ConditionVariable();
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    void wakeOne() noexcept;  // WakeConditionVariable
    void wakeAll() noexcept;  // WakeAllConditionVariable

    // SleepConditionVariableCS: cs must be held once by the caller; it is
    // released while waiting and held again on return. timeoutMs may be
    // INFINITE. Returns true when woken (spurious wake-ups are possible, as on
    // Windows: callers loop on their predicate). Returns false with the last
    // error set to ERROR_TIMEOUT (1460) when the time ran out, or to the error
    // code when the wait failed.
    bool sleep(CriticalSection& cs, std::uint32_t timeoutMs) noexcept;

private:
    pthread_cond_t _cond;
};

}  // namespace morvex::platform
