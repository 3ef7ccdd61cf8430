// EventLoop: construction, run() with its main loop and wind-up, stopping,
// and queries. Registration, dispatch and posting live in event_loop_*.cpp.
#include "net/event_loop.h"

#include <utility>

#include "net/extra_event_waiter_thread.h"
#include "net/self_pipe.h"
#include "platform/os_thread.h"
#include "platform/tick_count.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

using namespace platform;

namespace {
Logger s_log("EventLoop");
}  // namespace

// The loop's registration with the thread watchdog while it runs. This
// program starts no watchdog monitor, so registering is a hook that accepts
// the time-out and does nothing; the watchdog would nudge the loop through
// postNowait.
class EventLoop::scoped_inside_run final : public IMonitoredThread {
public:
    scoped_inside_run(EventLoop* loop, std::uint32_t watchdogTimeout) noexcept : _loop(loop) { (void)watchdogTimeout; }
    bool postNowait(InThreadActor* actor) override { return _loop->postNowait(actor); }

private:
    EventLoop* _loop;
};

EventLoop::EventLoop() = default;

EventLoop::~EventLoop() {
    for (ExtraEventWaiterThread** list : {&_fullWaiters, &_freeWaiters, &_idleWaiters}) {
        while (ExtraEventWaiterThread* w = *list) {
            w->unlinkFromList();
            w->stopAndJoin();
            delete w;
        }
    }
}

// --- run ---

void EventLoop::run() {
    s_log.debug("Inside EventLoop::run() for thread=%s", Thread::currentThreadName());
    auto notify = std::make_unique<InThreadActorNotify>(this);
    notify->registerWith(*this);
    _notify = notify.release();
    scoped_inside_run insideRun(this, _watchdogTimeout);

    const std::uint32_t me = GetCurrentThreadId();
    {
        CriticalSectionGuard guard(_posted._lock);
        _posted.takeInsideRun(me, false);
        _runningThreadId.store(me, std::memory_order_relaxed);
        _notifyEvent = _notify->descriptor()->event();
        _running.store(true, std::memory_order_release);
        _posted._loopRunning = true;
        {
            CriticalSectionGuard local(_local._lock);
            _local._loopRunning = true;
        }
        _posted.giveInsideRunBack();
    }
    // Waiters rest while the loop does not run; they wait again from its
    // first wait on.
    for (ExtraEventWaiterThread* list : {_fullWaiters, _freeWaiters})
        for (ExtraEventWaiterThread* w = list; w; w = w->_next) queueWake(w);

    try {
        mainLoop();
    } catch (...) {
        windUp();
        throw;
    }
    windUp();
    if (_failure) std::rethrow_exception(std::exchange(_failure, nullptr));
}

void EventLoop::mainLoop() {
    std::uint64_t last = GetTickCount64();
    while (!_stop) {
        try {
            _timeouts.runDue(last);
        } catch (const Thread::TerminateException&) {
            _failure = std::current_exception();
            _stop = true;
        }
        if (_stop) break;

        std::uint32_t timeout = _timeouts.waitTimeout(last);
        if (_deferred || _ready) {
            timeout = 0;
        } else {
            CriticalSectionGuard guard(_local._lock);
            if (!_local.empty()) timeout = 0;
        }

        // Take the ready list over for this iteration.
        while (PolledFd* fd = _ready) {
            unlinkReady(fd);
            pushReady(&_localReady, fd);
        }

        // Waiters that have nothing to report keep waiting across this wait;
        // only those served or paused since the last one are woken.
        wakeWaiters();
        const std::uint32_t r = _waitSet.wait(timeout);
        const std::uint64_t now = GetTickCount64();
        if (r != WSA_WAIT_TIMEOUT && r >= _waitSet._count)
            throw EventLoopException("error from EventLoop WSAWaitForMultipleEvents");
        const bool timedOut = r == WSA_WAIT_TIMEOUT;

        if (timeout == 0 && timedOut) {
            if (_deferred) runDeferredRemovals();
            runLocalActors();
            serveReadyList();
            last = GetTickCount64();
            continue;
        }
        if (timeout != TimeoutHeap::kInfinite) {
            _timeouts.checkClockJump(last, now, timeout);
            if (timedOut) {
                last = now;
                continue;
            }
        }
        dispatch(r);
        serveReadyList();
        last = GetTickCount64();
    }
}

void EventLoop::windUp() noexcept {
    // No waiter waits while the loop does not run, so that owners may change
    // or drop their PolledFds then; a report stays pending for the next run.
    for (ExtraEventWaiterThread* list : {_fullWaiters, _freeWaiters})
        for (ExtraEventWaiterThread* w = list; w; w = w->_next) w->pause();
    const std::uint32_t me = GetCurrentThreadId();
    {
        CriticalSectionGuard guard(_posted._lock);
        _running.store(false, std::memory_order_release);
        _posted._loopRunning = false;
        _notifyEvent = WSA_INVALID_EVENT;
        _runningThreadId.store(0, std::memory_order_relaxed);
        _posted._running_outside_set = true;
        _posted._ownerThreadId = me;
    }
    {
        CriticalSectionGuard guard(_local._lock);
        _local._loopRunning = false;
    }
    // Whatever is still queued runs now (or is marked failed when its poster
    // asked for that), so no poster is left waiting.
    for (InThreadActorQueue* queue : {&_posted, &_local}) {
        while (InThreadActor* actor = queue->pop(nullptr)) {
            try {
                InThreadActorCrashLogNotation note(actor);
                queue->runOne(actor);
                serveImmediate();
            } catch (const std::exception& e) {
                s_log.error("Exception from an InThreadActor while the EventLoop stops: %s", e.what());
            } catch (...) {
                s_log.error("Unknown exception from an InThreadActor while the EventLoop stops");
            }
        }
    }
    for (;;) {
        try {
            _timeouts.finish();
            break;
        } catch (const std::exception& e) {
            s_log.error("Exception from a Timeout while the EventLoop stops: %s", e.what());
        } catch (...) {
            s_log.error("Unknown exception from a Timeout while the EventLoop stops");
        }
    }
    if (_notify) {
        _notify->unregister();
        delete _notify;
        _notify = nullptr;
    }
    while (PolledFd* fd = _localReady) unlinkReady(fd);
    _immediate = nullptr;
    CriticalSectionGuard guard(_posted._lock);
    _posted.waitForNoWaiters();
    // Still holding the inside-run right: a stop() that runs on its caller's
    // thread once the loop is done cannot interleave with this reset.
    _stop = false;
    _posted.giveInsideRunBack();
}

// --- stopping ---

void EventLoop::stop() {
    SetBooleanFlagActor actor(&_stop);
    runInThread(&actor, true);
}

void EventLoop::terminateOnce() {
    std::uint32_t expected = 1;
    if (_terminateOnce.compare_exchange_strong(expected, 0)) postNowait(&_stopActor);
}

// --- queries ---

EventLoop::WaiterCounts EventLoop::waiterCounts() const noexcept {
    WaiterCounts c;
    for (ExtraEventWaiterThread* w = _freeWaiters; w; w = w->_next) ++c.free;
    for (ExtraEventWaiterThread* w = _fullWaiters; w; w = w->_next) ++c.full;
    for (ExtraEventWaiterThread* w = _idleWaiters; w; w = w->_next) ++c.idle;
    return c;
}

std::uint32_t EventLoop::postedActorCount() {
    CriticalSectionGuard guard(_posted._lock);
    std::uint32_t n = 0;
    for (InThreadActor* a = _posted._head; a; a = a->_next) ++n;
    return n;
}

const WaitSet* EventLoop::waitSetOf(const PolledFd* fd) noexcept {
    return fd->_waitSet;
}

void EventLoop::WaitForEventLoopStarted(EventLoop& loop, Thread& thread) {
    struct StartedSignal final : OneShotTimeout {
        CriticalSection lock;
        ConditionVariable condition;
        bool fired = false;
        void callback() override {
            CriticalSectionGuard guard(lock);
            fired = true;
            condition.wakeAll();
        }
    } started;
    if (loop.isRunning())
        loop.addTimeoutFromAnywhere(&started, 0);
    else
        loop.addTimeout(&started, 0);
    s_log.debug("Spawning %s", thread.name().c_str());
    thread.start();
    s_log.debug("%s waiting for EventLoop to start", thread.name().c_str());
    {
        CriticalSectionGuard guard(started.lock);
        while (!started.fired) Thread::conditionWait(started.condition, started.lock);
    }
    s_log.debug("%s's EventLoop started", thread.name().c_str());
}

}  // namespace morvex
