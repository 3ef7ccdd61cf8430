#include "net/timeout_heap.h"

#include <algorithm>
#include <bit>

#include "platform/tick_count.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {
Logger s_log("TimeoutHeap");
Logger s_loopLog("EventLoop");

// Fires t. An exception other than Thread::TerminateException is logged and
// the timer is treated as fired (a one-shot timer is done, a periodic one
// keeps its interval), so that the loop goes on.
void fireGuarded(Timeout* t, std::uint64_t& next) {
    try {
        t->fire(next);
    } catch (const Thread::TerminateException&) {
        throw;
    } catch (const std::exception& e) {
        s_loopLog.error("Exception from a Timeout's callback: %s", e.what());
    } catch (...) {
        s_loopLog.error("Unknown exception from a Timeout's callback");
    }
}

bool isPowerOfTwo(std::uint32_t n) noexcept {
    return n != 0 && (n & (n - 1)) == 0;
}
}  // namespace

void TimeoutHeap::List::append(Timeout* t) noexcept {
    t->_left = nullptr;
    t->_right = tail;
    if (tail)
        tail->_left = t;
    else
        head = t;
    tail = t;
}

void TimeoutHeap::List::unlink(Timeout* t) noexcept {
    if (t->_right)
        t->_right->_left = t->_left;
    else
        head = t->_left;
    if (t->_left)
        t->_left->_right = t->_right;
    else
        tail = t->_right;
    t->_left = t->_right = nullptr;
}

Timeout* TimeoutHeap::List::popFront() noexcept {
    Timeout* t = head;
    if (t) unlink(t);
    return t;
}

Timeout* TimeoutHeap::nodeAt(std::uint32_t n) const noexcept {
    Timeout* t = _root;
    for (std::uint32_t bit = _pathMask; bit != 0 && t; bit >>= 1) t = (n & bit) ? t->_right : t->_left;
    return t;
}

void TimeoutHeap::swapWithParent(Timeout* c) noexcept {
    Timeout* p = c->_parent;
    Link plink = linkOf(p);
    Timeout* cl = c->_left;
    Timeout* cr = c->_right;
    if (p->_left == c) {
        Timeout* s = p->_right;
        c->_left = p;
        c->_right = s;
        if (s) {
            s->_parent = c;
            setLink(s, &c->_right);
        }
        setLink(p, &c->_left);
    } else {
        Timeout* s = p->_left;
        c->_right = p;
        c->_left = s;
        if (s) {
            s->_parent = c;
            setLink(s, &c->_left);
        }
        setLink(p, &c->_right);
    }
    p->_left = cl;
    p->_right = cr;
    if (cl) {
        cl->_parent = p;
        setLink(cl, &p->_left);
    }
    if (cr) {
        cr->_parent = p;
        setLink(cr, &p->_right);
    }
    c->_parent = p->_parent;
    p->_parent = c;
    *plink = c;
    setLink(c, plink);
}

void TimeoutHeap::reposition(Timeout* t) noexcept {
    if (_count < 2) return;
    if (t->_parent && t->_parent->_when > t->_when) {
        do swapWithParent(t);
        while (t->_parent && t->_parent->_when > t->_when);
        return;
    }
    while (t->_left) {
        Timeout* child = t->_left;
        if (t->_right && t->_right->_when < child->_when) child = t->_right;
        if (!(child->_when < t->_when)) break;
        swapWithParent(child);
    }
}

void TimeoutHeap::insert(Timeout* t) noexcept {
    t->_left = t->_right = nullptr;
    ++_count;
    if (_count >= 2 && isPowerOfTwo(_count)) _pathMask = _pathMask ? _pathMask << 1 : 1;
    if (_count == 1) {
        t->_parent = nullptr;
        _root = t;
        setLink(t, &_root);
        return;
    }
    // Parent of node _count: follow every path bit but the lowest.
    Timeout* p = _root;
    for (std::uint32_t bit = _pathMask; bit > 1; bit >>= 1) p = (_count & bit) ? p->_right : p->_left;
    Link l = (_count & 1) ? &p->_right : &p->_left;
    *l = t;
    t->_parent = p;
    setLink(t, l);
    reposition(t);
}

void TimeoutHeap::erase(Timeout* t) noexcept {
    const std::uint32_t oldCount = _count;
    Timeout* last = nodeAt(oldCount);
    *linkOf(last) = nullptr;
    if (last != t) {
        last->_parent = t->_parent;
        last->_left = t->_left;
        last->_right = t->_right;
        if (last->_left) {
            last->_left->_parent = last;
            setLink(last->_left, &last->_left);
        }
        if (last->_right) {
            last->_right->_parent = last;
            setLink(last->_right, &last->_right);
        }
        Link l = linkOf(t);
        *l = last;
        setLink(last, l);
    }
    --_count;
    if (isPowerOfTwo(oldCount)) _pathMask >>= 1;
    t->_left = t->_right = t->_parent = nullptr;
    t->_position = Timeout::kNotQueued;
    if (last != t) reposition(last);
}

Timeout* TimeoutHeap::detachAll() noexcept {
    Timeout* head = nullptr;
    Timeout* prev = nullptr;
    // Iterative pre-order walk over the parent links; the chain goes through
    // _position, which is rewritten by the re-insertion anyway.
    Timeout* t = _root;
    while (t) {
        if (prev)
            prev->_position = reinterpret_cast<std::uintptr_t>(t);
        else
            head = t;
        prev = t;
        if (t->_left) {
            t = t->_left;
            continue;
        }
        if (t->_right) {
            t = t->_right;
            continue;
        }
        // Climb until we come up from a left child that has a right sibling.
        Timeout* next = nullptr;
        while (t->_parent) {
            Timeout* p = t->_parent;
            if (p->_left == t && p->_right) {
                next = p->_right;
                break;
            }
            t = p;
        }
        t = next;
    }
    if (prev) prev->_position = 0;
    _root = nullptr;
    _count = 0;
    _pathMask = 0;
    return head;
}

void TimeoutHeap::add(Timeout* t, std::uint64_t delay, std::uint64_t now) {
    Timeout::ScopedCrashlogPrint note(t);
    t->_initialInterval = delay;
    if (t->_position == Timeout::kRescheduling) return;  // re-armed with the new interval after the pass
    if (t->_position == Timeout::kFiring) {
        if (delay == 0) return;  // fires in this pass
        _firing.unlink(t);
        t->_position = Timeout::kNotQueued;
    }
    t->_when = tickAdd(now, delay);
    if (inHeap(t))
        reposition(t);
    else
        insert(t);
}

void TimeoutHeap::remove(Timeout* t) {
    Timeout::ScopedCrashlogPrint note(t);
    switch (t->_position) {
        case Timeout::kNotQueued:
            return;
        case Timeout::kRescheduling:
            _rescheduling.unlink(t);
            t->_position = Timeout::kNotQueued;
            return;
        case Timeout::kFiring:
            _firing.unlink(t);
            t->_position = Timeout::kNotQueued;
            if (t->_initialInterval == 0) {
                std::uint64_t next = 0;
                t->fire(next);
            }
            return;
        default:
            erase(t);
    }
}

void TimeoutHeap::changeInterval(Timeout* t, std::uint64_t interval, std::uint64_t now) {
    Timeout::ScopedCrashlogPrint note(t);
    const std::uint64_t old = t->_initialInterval;
    t->_initialInterval = interval;
    switch (t->_position) {
        case Timeout::kRescheduling:
            return;
        case Timeout::kFiring:
            if (interval <= old) return;
            _firing.unlink(t);
            t->_position = Timeout::kNotQueued;
            t->_when = tickAdd(now, interval - old);
            insert(t);
            return;
        case Timeout::kNotQueued:
            t->_when = tickAdd(now, interval);
            insert(t);
            return;
        default:
            if (interval == old) return;
            if (t->_when > now) {
                const std::uint64_t elapsed = tickSub(now, tickSub(t->_when, old));
                t->_when = tickAdd(now, tickSub(interval, elapsed));
            } else {
                t->_when = tickAdd(now, interval);
            }
            reposition(t);
    }
}

void TimeoutHeap::scaleInterval(Timeout* t, double factor, std::uint64_t now) {
    double scaled = static_cast<double>(t->_initialInterval) * factor;
    std::uint64_t interval = scaled >= 18446744073709551615.0 ? kTickMax : static_cast<std::uint64_t>(scaled);
    changeInterval(t, std::max<std::uint64_t>(interval, 1), now);
}

void TimeoutHeap::fireListAndReschedule() {
    try {
        while (Timeout* t = _firing.popFront()) {
            t->_position = Timeout::kNotQueued;
            std::uint64_t next = t->_initialInterval;
            {
                Timeout::ScopedCrashlogPrint note(t);
                fireGuarded(t, next);
            }
            // The callback may have re-armed or removed t meanwhile; only an
            // idle timer is put on the reschedule list.
            if (next != 0 && t->_position == Timeout::kNotQueued) {
                t->_initialInterval = next;
                t->_position = Timeout::kRescheduling;
                _rescheduling.append(t);
            }
        }
    } catch (...) {
        // Keep the timers that had not fired yet; they are due and fire in
        // the next pass.
        while (Timeout* t = _firing.popFront()) {
            t->_position = Timeout::kNotQueued;
            insert(t);
        }
        const std::uint64_t last = platform::GetTickCount64();
        while (Timeout* t = _rescheduling.popFront()) {
            t->_position = Timeout::kNotQueued;
            t->_when = tickAdd(last, t->_initialInterval);
            insert(t);
        }
        throw;
    }
    const std::uint64_t last = platform::GetTickCount64();
    while (Timeout* t = _rescheduling.popFront()) {
        t->_position = Timeout::kNotQueued;
        t->_when = tickAdd(last, t->_initialInterval);
        insert(t);
    }
}

void TimeoutHeap::runDue(std::uint64_t last) {
    const std::uint64_t limit = tickAdd(last, kFiringSlack);
    while (_root && _root->_when <= limit) {
        Timeout* t = _root;
        erase(t);
        t->_position = Timeout::kFiring;
        _firing.append(t);
    }
    if (_firing.head) fireListAndReschedule();
}

std::uint32_t TimeoutHeap::waitTimeout(std::uint64_t last) const noexcept {
    if (!_root) return kInfinite;
    if (_root->_when <= last) return 0;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(_root->_when - last, 0x7FFFFFFF));
}

void TimeoutHeap::checkClockJump(std::uint64_t last, std::uint64_t now, std::uint64_t timeout) {
    if (!_root) return;
    if (now <= tickAdd(tickAdd(last, timeout), kClockJumpThreshold)) return;
    const std::uint64_t jump = now - last;
    if (jump > kClockJumpWarn)
        s_log.warn("Either time adjusted forwards by, or event loop was descheduled for %llums.",
                   static_cast<unsigned long long>(jump));
    const std::uint64_t shift = jump - timeout;
    Timeout* t = detachAll();
    while (t) {
        Timeout* next = reinterpret_cast<Timeout*>(t->_position);
        t->_position = Timeout::kNotQueued;
        t->_parent = nullptr;
        if (t->_when < kTickMax - shift) t->_when += shift;
        if (t->_when > now) t->_when = std::min(t->_when, tickAdd(now, t->_initialInterval));
        insert(t);
        t = next;
    }
}

void TimeoutHeap::finish() {
    for (;;) {
        Timeout* t = detachAll();
        while (t) {
            Timeout* next = reinterpret_cast<Timeout*>(t->_position);
            t->_position = Timeout::kNotQueued;
            t->_parent = nullptr;
            if (t->_initialInterval == 0) {
                t->_position = Timeout::kFiring;
                _firing.append(t);
            } else {
                insert(t);
            }
            t = next;
        }
        if (!_firing.head) return;
        fireListAndReschedule();
    }
}

Timeout::~Timeout() = default;

}  // namespace morvex
