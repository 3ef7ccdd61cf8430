// TimeoutHeap: the event loop's timers, a min-heap on the due time whose
// nodes are the Timeout objects themselves.
//
// The tree has the shape of a complete binary tree: node n (1-based) is
// reached from the root by the bits of n below its highest bit, high to low,
// 0 = left, 1 = right. Equal due times never swap, so timers due at the same
// moment keep the order the heap yields them in. Loop thread only.
#pragma once

#include <cstdint>

#include "net/timeout.h"

namespace morvex {

class TimeoutHeap {
public:
    // Due times within this many ms of the pass are fired together.
    static constexpr std::uint64_t kFiringSlack = 170;
    // A wait that overran by more than this is treated as a clock jump.
    static constexpr std::uint64_t kClockJumpThreshold = 5000;
    // Jumps above this are logged.
    static constexpr std::uint64_t kClockJumpWarn = 120000;
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

    TimeoutHeap() noexcept = default;
    TimeoutHeap(const TimeoutHeap&) = delete;
    TimeoutHeap& operator=(const TimeoutHeap&) = delete;

    // Arms t to fire delay ms after now (moving it if already armed).
    void add(Timeout* t, std::uint64_t delay, std::uint64_t now);
    // Disarms t. A zero-interval timer taken out of the current firing pass
    // is fired at once, so a zero-delay callback is never lost.
    void remove(Timeout* t);
    // Changes the interval of t, keeping the time it already waited.
    void changeInterval(Timeout* t, std::uint64_t interval, std::uint64_t now);
    // changeInterval to interval * factor, truncated, at least 1.
    void scaleInterval(Timeout* t, double factor, std::uint64_t now);

    // The firing pass: fires every timer due by last + kFiringSlack in due
    // order, then re-arms those that asked for it from the clock's current
    // time. An exception from a timer is logged ("EventLoop", ERROR) and the
    // pass goes on; only a Thread::TerminateException propagates (the heap
    // stays consistent).
    void runDue(std::uint64_t last);

    // How long the loop may wait: kInfinite with no timer, 0 when the first
    // is due by last, else the time until it (at most 0x7FFFFFFF).
    std::uint32_t waitTimeout(std::uint64_t last) const noexcept;

    // After a wait with a finite time-out: if the clock moved more than
    // kClockJumpThreshold past what the wait allows, shifts every timer by
    // the lost time, and caps each at one interval from now.
    void checkClockJump(std::uint64_t last, std::uint64_t now, std::uint64_t timeout);

    // End of a loop run: fires every zero-interval timer (repeatedly, until
    // none is left); timers with an interval stay armed.
    void finish();

    bool empty() const noexcept { return _count == 0; }
    std::uint32_t size() const noexcept { return _count; }
    const Timeout* top() const noexcept { return _root; }

private:
    using Link = Timeout**;
    static Link linkOf(const Timeout* t) noexcept { return reinterpret_cast<Link>(t->_position); }
    static void setLink(Timeout* t, Link l) noexcept { t->_position = reinterpret_cast<std::uintptr_t>(l); }
    static bool inHeap(const Timeout* t) noexcept {
        return t->_position != Timeout::kNotQueued && t->_position != Timeout::kFiring &&
               t->_position != Timeout::kRescheduling;
    }

    Timeout* nodeAt(std::uint32_t n) const noexcept;
    void insert(Timeout* t) noexcept;
    void erase(Timeout* t) noexcept;
    void reposition(Timeout* t) noexcept;
    void swapWithParent(Timeout* c) noexcept;
    // Takes every timer out of the heap into a chain (through _position) in
    // pre-order; returns its head.
    Timeout* detachAll() noexcept;

    struct List {
        Timeout* head = nullptr;
        Timeout* tail = nullptr;
        void append(Timeout* t) noexcept;
        void unlink(Timeout* t) noexcept;
        Timeout* popFront() noexcept;
    };
    // Fires the firing list, then re-arms the reschedule list.
    void fireListAndReschedule();

    Timeout* _root = nullptr;
    std::uint32_t _count = 0;
    std::uint32_t _pathMask = 0;
    List _firing;
    List _rescheduling;
};

}  // namespace morvex
