// Timers of an event loop.
//
// A Timeout carries its own heap links, so arming one allocates nothing.
// Timers are armed, moved and removed on the loop's thread only (from other
// threads go through EventLoop::addTimeoutFromAnywhere and friends); the
// owner must remove a timer before destroying it.
//
// Times are milliseconds of platform::GetTickCount64 in unsigned 64 bits;
// tickAdd/tickSub saturate instead of wrapping.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

#include "util/crash_log_notation.h"

namespace morvex {

constexpr std::uint64_t kTickMax = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t tickAdd(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? kTickMax : r;
}
inline std::uint64_t tickSub(std::uint64_t a, std::uint64_t b) noexcept {
    return a > b ? a - b : 0;
}

class TimeoutHeap;

class Timeout {
public:
    Timeout() noexcept = default;
    Timeout(const Timeout&) = delete;
    Timeout& operator=(const Timeout&) = delete;
    virtual ~Timeout();

    // "Timeout Attribute Info:\r\n         _when = <due>, _initialInterval = <ms>"
    virtual void crashLogDescribe(CrashLogOutput& out) const noexcept;

    // Called by the loop when the timer is due. nextInterval comes in holding
    // the current interval; leaving it non-zero re-arms the timer that many
    // milliseconds after the firing pass, 0 leaves it disarmed.
    virtual void fire(std::uint64_t& nextInterval) = 0;

    bool isQueued() const noexcept { return _position != kNotQueued; }
    std::uint64_t when() const noexcept { return _when; }
    std::uint64_t initialInterval() const noexcept { return _initialInterval; }

    // Names the timer on the thread's crash-log list while the heap works on
    // it: a dump of the object, then its description.
    class ScopedCrashlogPrint : public ScopedPerThreadCrashLogNotation {
    public:
        explicit ScopedCrashlogPrint(const Timeout* t) noexcept : _t(t) {}
        void describe(CrashLogOutput& out) const noexcept override;

    private:
        const Timeout* _t;
    };

private:
    friend class TimeoutHeap;

    // _position values other than these are the address of the heap link
    // that points at the timer.
    static constexpr std::uintptr_t kNotQueued = 0;
    static constexpr std::uintptr_t kFiring = 1;
    static constexpr std::uintptr_t kRescheduling = 3;

    // In the heap: children and parent. In the firing and reschedule lists,
    // _left is the next and _right the previous entry.
    Timeout* _left = nullptr;
    Timeout* _right = nullptr;
    Timeout* _parent = nullptr;
    std::uintptr_t _position = kNotQueued;
    std::uint64_t _when = 0;
    std::uint64_t _initialInterval = 0;
};

// Fires once per arming.
class OneShotTimeout : public Timeout {
public:
    void fire(std::uint64_t& nextInterval) override;
    virtual void callback() = 0;
};

// Fires every period (the delay it was armed with). Late firings are
// smoothed: a slow callback does not make the timer drift, and missed
// periods are dropped rather than fired in a burst.
class PeriodicTimeout : public Timeout {
public:
    void fire(std::uint64_t& nextInterval) override;
    virtual void callback() = 0;

    // Forgets the firing history; the next firing starts a new schedule.
    void resetSchedule() noexcept { _target = 0; }

    std::uint64_t period() const noexcept { return _period; }
    std::uint64_t smoothedDelay() const noexcept { return _smoothed; }

private:
    std::uint64_t _target = 0;  // 0 until the first firing
    std::uint64_t _smoothed = 0;
    std::uint64_t _period = 0;
};

class PeriodicTimeoutFunction : public PeriodicTimeout {
public:
    explicit PeriodicTimeoutFunction(std::function<void()> fn) : _fn(std::move(fn)) {}
    // An empty function throws std::bad_function_call.
    void callback() override { _fn(); }

private:
    std::function<void()> _fn;
};

class OneShotTimeoutFunction : public OneShotTimeout {
public:
    explicit OneShotTimeoutFunction(std::function<void()> fn) : _fn(std::move(fn)) {}
    void callback() override { _fn(); }

private:
    std::function<void()> _fn;
};

}  // namespace morvex
