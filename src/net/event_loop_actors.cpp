// EventLoop: posting actors from any thread, and the timer operations.
#include "net/event_loop.h"
#include "net/self_pipe.h"
#include "platform/os_thread.h"
#include "platform/tick_count.h"
#include "util/thread.h"

namespace morvex {

using namespace platform;

namespace {
// How long runInThreadWorkUntil sleeps between checks of a predicate that
// may change without anything being posted.
constexpr std::uint32_t kWorkUntilRecheckMs = 100;
}  // namespace

// --- actors ---

bool EventLoop::inLoopThread() const noexcept {
    return _running.load(std::memory_order_acquire) &&
           _runningThreadId.load(std::memory_order_relaxed) == GetCurrentThreadId();
}

void EventLoop::signalLocked() noexcept {
    if (_notifyEvent != WSA_INVALID_EVENT) WSASetEvent(_notifyEvent);
}

void EventLoop::runActorHere(InThreadActor* actor) {
    InThreadActorCrashLogNotation note(actor);
    actor->callback();
}

void EventLoop::runInThread(InThreadActor* actor, bool wait) {
    actor->_wantWake = wait ? 1 : 0;
    actor->_wantFailIfLoopDone = 0;
    const std::uint32_t me = GetCurrentThreadId();
    _posted._lock.enter();
    if (!_posted._loopRunning) {
        const bool held = _posted.holdsInsideRun(me);
        if (held || _posted.takeInsideRun(me, true)) {
            // Nobody runs the loop: run the actor here, holding the right so
            // that the loop cannot start meanwhile.
            _posted._lock.leave();
            if (held) {
                runActorHere(actor);
                return;
            }
            struct GiveBack {
                InThreadActorQueue& q;
                ~GiveBack() {
                    CriticalSectionGuard guard(q._lock);
                    q.giveInsideRunBack();
                }
            } giveBack{_posted};
            runActorHere(actor);
            return;
        }
        // The loop started while we waited for the right: queue it.
    } else if (_runningThreadId.load(std::memory_order_relaxed) == me) {
        _posted._lock.leave();
        runActorHere(actor);
        return;
    }
    _posted.enqueue(actor);
    signalLocked();
    if (wait) {
        // A waiting poster keeps the actor alive, so it can name it.
        InThreadActorCrashLogNotation note(actor);
        _posted.waitForActorToComplete(actor);
    }
    _posted._lock.leave();
}

bool EventLoop::runInThreadOrFail(InThreadActor* actor) {
    actor->_wantWake = 1;
    actor->_wantFailIfLoopDone = 1;
    CriticalSectionGuard guard(_posted._lock);
    if (!_posted._loopRunning) {
        actor->_wantFailIfLoopDone = 0;
        return false;
    }
    if (_runningThreadId.load(std::memory_order_relaxed) == GetCurrentThreadId()) {
        _posted._lock.leave();
        struct Relock {
            CriticalSection& cs;
            ~Relock() { cs.enter(); }
        } relock{_posted._lock};
        runActorHere(actor);
        return true;
    }
    InThreadActorCrashLogNotation note(actor);
    _posted.enqueue(actor);
    signalLocked();
    _posted.waitForActorToComplete(actor);
    return actor->_wantFailIfLoopDone != 0;
}

bool EventLoop::postNowait(InThreadActor* actor) {
    CriticalSectionGuard guard(_posted._lock);
    if (!_posted._loopRunning || actor->_queuedOn) return false;
    actor->_wantWake = 0;
    actor->_wantFailIfLoopDone = 0;
    _posted.enqueue(actor);
    signalLocked();
    return true;
}

void EventLoop::postLocal(InThreadActor* actor) {
    {
        CriticalSectionGuard guard(_local._lock);
        actor->_wantWake = 0;
        actor->_wantFailIfLoopDone = 0;
        _local.enqueue(actor);
    }
    CriticalSectionGuard guard(_posted._lock);
    signalLocked();
}

bool EventLoop::addCallbackFromAnywhere(CallbackAfterEventService* cb) {
    CriticalSectionGuard guard(_posted._lock);
    if (cb->_pending) return true;
    if (!_posted._loopRunning) return false;
    if (_runningThreadId.load(std::memory_order_relaxed) == GetCurrentThreadId()) {
        addTimeout(cb, 0);
        return true;
    }
    cb->_pending = this;
    InThreadActor* actor = &cb->_addActor;
    actor->_wantWake = 0;
    actor->_wantFailIfLoopDone = 0;
    _posted.enqueue(actor);
    signalLocked();
    return true;
}

bool EventLoop::addTimeoutFromAnywhere(Timeout* timeout, std::uint64_t delay) {
    AddTimeoutFromAnywhereActor actor(this, timeout, delay);
    return runInThreadOrFail(&actor);
}

void EventLoop::removeTimeoutFromAnywhere(Timeout* timeout) {
    RemoveTimeoutFromAnywhereActor actor(this, timeout);
    runInThread(&actor, true);
}

void EventLoop::runInThreadWorkUntil(RunInThreadWorkUntilPredicate& predicate) {
    {
        CriticalSectionGuard guard(_posted._lock);
        if (!_posted._loopRunning) {
            while (!predicate.predicate())
                Thread::conditionWait(_posted._predicateCondition, _posted._lock, kWorkUntilRecheckMs);
            return;
        }
    }
    while (!predicate.predicate()) {
        _notify->reset();
        if (runPostedActors()) continue;
        // Nothing was posted: sleep until something is. Only the loop's own
        // thread waits on its notification event (a wait makes the waiting
        // thread the one that posts wake); another thread rechecks.
        if (inLoopThread()) {
            WSAEVENT event = _notify->descriptor()->event();
            WSAWaitForMultipleEvents(1, &event, false, kWorkUntilRecheckMs, false);
        } else {
            CriticalSectionGuard guard(_posted._lock);
            Thread::conditionWait(_posted._predicateCondition, _posted._lock, 1);
        }
    }
}

// --- timers ---

void EventLoop::addTimeout(Timeout* timeout, std::uint64_t delay) {
    _timeouts.add(timeout, delay, GetTickCount64());
}

void EventLoop::removeTimeout(Timeout* timeout) {
    _timeouts.remove(timeout);
}

void EventLoop::changeInterval(Timeout* timeout, std::uint64_t interval) {
    _timeouts.changeInterval(timeout, interval, GetTickCount64());
}

void EventLoop::changeInterval(Timeout* timeout, std::uint64_t interval, std::uint64_t now) {
    _timeouts.changeInterval(timeout, interval, now);
}

void EventLoop::scaleInterval(Timeout* timeout, double factor) {
    _timeouts.scaleInterval(timeout, factor, GetTickCount64());
}

}  // namespace morvex
