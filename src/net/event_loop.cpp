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

// How long runInThreadWorkUntil sleeps between checks of a predicate that
// may change without anything being posted.
constexpr std::uint32_t kWorkUntilRecheckMs = 100;
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

        const bool waiters = hasActiveWaiters();
        if (waiters) wakeWaiters();
        const std::uint32_t r = _waitSet.wait(timeout);
        const std::uint64_t now = GetTickCount64();
        if (waiters) collectWaiters();
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
            if (timedOut && !waiters) {
                last = now;
                continue;
            }
        }
        dispatch(timedOut ? _waitSet._count : r);
        serveReadyList();
        last = GetTickCount64();
    }
}

void EventLoop::windUp() noexcept {
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

// --- waiting and serving ---

void EventLoop::wakeWaiters() noexcept {
    for (ExtraEventWaiterThread* w = _fullWaiters; w; w = w->_next) w->wake();
    for (ExtraEventWaiterThread* w = _freeWaiters; w; w = w->_next) w->wake();
}

void EventLoop::collectWaiters() noexcept {
    for (ExtraEventWaiterThread* w = _fullWaiters; w; w = w->_next) w->collect();
    for (ExtraEventWaiterThread* w = _freeWaiters; w; w = w->_next) w->collect();
}

void EventLoop::dispatch(std::uint32_t index) {
    bool complete = checkWaitSet(_waitSet, index, hasActiveWaiters());
    while (!complete) {
        // A handler changed the registrations: the slots seen so far are
        // stale, so poll everything again.
        runDeferredRemovals();
        const std::uint32_t r = WSAWaitForMultipleEvents(_waitSet._count, _waitSet._handles, false, 0, false);
        bool any = r < _waitSet._count;
        if (r != WSA_WAIT_TIMEOUT && !any) throw EventLoopException("error from EventLoop WSAWaitForMultipleEvents");
        for (ExtraEventWaiterThread** list : {&_fullWaiters, &_freeWaiters}) {
            for (ExtraEventWaiterThread* w = *list; w; w = w->_next) {
                w->pollOnce();
                any |= w->_lastIndex < w->_set._count;
            }
        }
        if (!any) break;
        complete = checkWaitSet(_waitSet, r < _waitSet._count ? r : _waitSet._count, hasActiveWaiters());
    }
    runDeferredRemovals();
    runLocalActors();
}

bool EventLoop::checkWaitSet(WaitSet& set, std::uint32_t first, bool recurse) {
    const std::uint32_t changes = _changeCounter;
    std::uint32_t i = first;
    while (i < set._count) {
        PolledFd* fd = set._entries[i].fd;
        if (fd) {
            PollableDescriptor* ipd = fd->_ipd;
            const std::uint32_t mask = fd->_selectedMask;
            if (!ipd->hasSocket()) {
                // An event-only descriptor: the event itself is the news.
                fd->_pendingEvents |= mask & (FD_READ | FD_WRITE);
            } else if (WSAEnumNetworkEvents(ipd->socket(), set._handles[i], &ipd->_evts) != 0) {
                fd->_pendingEvents = mask & (FD_READ | FD_WRITE);  // the handler will try and see the error
                if (WSAGetLastError() == WSAEFAULT)
                    s_log.error(
                        "WSAEFAULT in checkWaitSet: The lpNetworkEvents parameter (pfd->_ipd->_evts) is not a valid "
                        "part of the user address space. eventNum = %u.",
                        i);
                else
                    ipd->_evts = WSANETWORKEVENTS{};
            } else {
                fd->_pendingEvents |= static_cast<std::uint32_t>(ipd->_evts.lNetworkEvents);
                if ((mask & (FD_WRITE | FD_CLOSE)) && ipd->writableHint()) fd->_pendingEvents |= FD_WRITE;
            }
            if (fd->_pendingEvents & mask) {
                if (serve(fd)) {
                    deferRemoval(fd);
                } else {
                    fd->_pendingEvents &= FD_CLOSE;
                    // Signal again so that the close is seen once more.
                    if (fd->_pendingEvents && fd->_ipd) WSASetEvent(fd->_ipd->event());
                    if (fd->_ipd) fd->_ipd->_evts = WSANETWORKEVENTS{};
                }
                if (_changeCounter != changes) return false;
            }
        } else {
            WSAResetEvent(set._handles[i]);
        }
        if (i + 1 >= set._count) break;
        const std::uint32_t rest = set._count - i - 1;
        const std::uint32_t r = WSAWaitForMultipleEvents(rest, &set._handles[i + 1], false, 0, false);
        if (r == WSA_WAIT_TIMEOUT) break;
        if (r >= rest) throw EventLoopException("error from EventLoop WSAWaitForMultipleEvents");
        i += 1 + r;
    }
    if (recurse) {
        for (std::uint32_t s = 0; s < set._count; ++s) {
            ExtraEventWaiterThread* w = set._entries[s].waiter;
            if (!w) continue;
            const std::uint32_t from = w->_lastIndex;
            w->_lastIndex = w->_set._count;
            if (!checkWaitSet(w->_set, from, w->_nestedWaiters > 0)) return false;
        }
    }
    return true;
}

bool EventLoop::serve(PolledFd* fd) {
    PolledFdCrashLogNotation note(fd);
    unlinkReady(fd);
    if (!fd->applyThrottle()) return false;
    PollableDescriptorRef ref(fd->_ipd);
    return fd->handleEvents(ref);
}

void EventLoop::serveReadyList() {
    while (PolledFd* fd = _localReady) {
        unlinkReady(fd);
        PolledFdCrashLogNotation note(fd);
        PollableDescriptorRef ref(fd->_ipd);
        if (fd->handleEvents(ref)) fd->removed(detach(fd));
    }
}

void EventLoop::serveImmediate() {
    PolledFd* fd = std::exchange(_immediate, nullptr);
    if (!fd || !fd->isRegistered()) return;
    PolledFdCrashLogNotation note(fd);
    PollableDescriptorRef ref(fd->_ipd);
    if (fd->handleEvents(ref)) fd->removed(detach(fd));
}

void EventLoop::runDeferredRemovals() {
    while (PolledFd* fd = _deferred) {
        unlinkDeferred(fd);
        if (!fd->_ipd) continue;
        fd->_ipd->_evts = WSANETWORKEVENTS{};
        fd->removed(detach(fd));
    }
}

void EventLoop::runLocalActors() {
    for (;;) {
        bool empty = true;
        InThreadActor* actor = _local.pop(&empty);
        if (!actor) return;
        {
            InThreadActorCrashLogNotation note(actor);
            _local.runOne(actor);
        }
        serveImmediate();
        if (empty) return;
    }
}

bool EventLoop::runPostedActors() {
    for (std::uint32_t n = 0; n < _actorLimit; ++n) {
        bool empty = true;
        InThreadActor* actor = _posted.pop(&empty);
        if (!actor) return n > 0;
        {
            InThreadActorCrashLogNotation note(actor);
            _posted.runOne(actor);
        }
        serveImmediate();
        if (empty) return true;
    }
    // The limit was reached first: make the next wait return at once.
    CriticalSectionGuard guard(_posted._lock);
    if (_notifyEvent != WSA_INVALID_EVENT) WSASetEvent(_notifyEvent);
    return true;
}

// --- lists ---

void EventLoop::unlinkReady(PolledFd* fd) noexcept {
    if (!fd->_readyPrev) return;
    *fd->_readyPrev = fd->_readyNext;
    if (fd->_readyNext) fd->_readyNext->_readyPrev = fd->_readyPrev;
    fd->_readyPrev = nullptr;
    fd->_readyNext = nullptr;
}

void EventLoop::pushReady(PolledFd** head, PolledFd* fd) noexcept {
    PolledFd** link = head;
    while (*link) link = &(*link)->_readyNext;
    *link = fd;
    fd->_readyPrev = link;
    fd->_readyNext = nullptr;
}

void EventLoop::deferRemoval(PolledFd* fd) noexcept {
    if (fd->_deferPrev) return;
    fd->_deferNext = _deferred;
    if (_deferred) _deferred->_deferPrev = &fd->_deferNext;
    _deferred = fd;
    fd->_deferPrev = &_deferred;
    ++_deferredCount;
}

void EventLoop::unlinkDeferred(PolledFd* fd) noexcept {
    if (!fd->_deferPrev) return;
    *fd->_deferPrev = fd->_deferNext;
    if (fd->_deferNext) fd->_deferNext->_deferPrev = fd->_deferPrev;
    fd->_deferPrev = nullptr;
    fd->_deferNext = nullptr;
    --_deferredCount;
}

// --- registration ---

void EventLoop::addPolledFd(PolledFd* fd, PollableDescriptor* ipd, long events) {
    ++_changeCounter;
    fd->_pendingEvents = 0;
    fd->_selectedMask = static_cast<std::uint32_t>(events);
    PollableDescriptorRef ref(ipd);
    fd->_ipd = ipd;
    try {
        if (ipd->hasSocket()) {
            if (!fd->reselect()) throw EventLoopException("couldn't select events for new PolledFd");
        } else {
            ipd->ensureEvent();
        }
        WaitSet* set = chooseSet(fd);
        set->append(ipd->event(), WaitSet::Entry{fd, nullptr});
        reorderUpwards(set);
    } catch (...) {
        fd->_ipd = nullptr;
        throw;
    }
    ref.detach();  // the loop's reference now lives in fd->_ipd
    try {
        fd->after_add();
    } catch (const std::exception& e) {
        s_log.error("In after_add(): %s", e.what());
        throw;
    }
}

void EventLoop::removePolledFd(PolledFd* fd) {
    PollableDescriptorRef ref = detach(fd);
}

PollableDescriptorRef EventLoop::detach(PolledFd* fd) noexcept {
    unlinkReady(fd);
    unlinkDeferred(fd);
    if (_immediate == fd) _immediate = nullptr;
    if (!fd->_waitSet) return PollableDescriptorRef::adopt(std::exchange(fd->_ipd, nullptr));
    ++_changeCounter;
    WaitSet* set = fd->_waitSet;
    set->removeSlot(fd->_slot);
    fd->_waitSet = nullptr;
    fd->_pendingEvents = 0;
    while (ExtraEventWaiterThread* w = set->_owner) {
        if (set->_count == WaitSet::kMaxSlots - 1) {
            // It had been full.
            w->unlinkFromList();
            w->pushFront(&_freeWaiters);
        }
        if (set->_count > 1) break;
        // Only its command event is left: park it and free its slot above.
        w->unlinkFromList();
        w->pushFront(&_idleWaiters);
        WaitSet* parent = w->_parentSet;
        for (ExtraEventWaiterThread* a = parent->_owner; a; a = a->_parentSet ? a->_parentSet->_owner : nullptr)
            --a->_nestedWaiters;
        parent->removeSlot(w->_parentSlot);
        w->_parentSet = nullptr;
        WSAResetEvent(w->_readyEvent);
        set = parent;
    }
    return PollableDescriptorRef::adopt(std::exchange(fd->_ipd, nullptr));
}

WaitSet* EventLoop::chooseSet(PolledFd* fd) {
    if (_waitSet._count < WaitSet::kMaxSlots) return &_waitSet;
    if (ExtraEventWaiterThread* w = _freeWaiters) {
        if (w->_set._count == WaitSet::kMaxSlots - 1) {
            w->unlinkFromList();
            w->pushFront(&_fullWaiters);
        }
        return &w->_set;
    }
    ExtraEventWaiterThread* w = _idleWaiters;
    if (w)
        w->unlinkFromList();
    else
        w = spawnWaiter(fd);
    makeRoomFor(w);
    w->pushFront(&_freeWaiters);
    return &w->_set;
}

ExtraEventWaiterThread* EventLoop::spawnWaiter(PolledFd* fd) {
    auto* w = new ExtraEventWaiterThread();
    w->start();
    s_log.debug("Spawning ExtraEventWaiterThread thread_name=%s total_threads=%u this=%p p=%p ws=%p",
                Thread::currentThreadName(), Thread::threadsActive(), static_cast<void*>(this), static_cast<void*>(fd),
                static_cast<void*>(&w->_set));
    return w;
}

void EventLoop::makeRoomFor(ExtraEventWaiterThread* w) {
    // Find the highest slot holding a PolledFd, descending through the
    // least nested waiters when a set holds only waiters.
    WaitSet* set = &_waitSet;
    std::uint32_t slot = 0;
    for (;;) {
        bool found = false;
        for (std::uint32_t i = set->_count; i-- > 0;) {
            if (set->_entries[i].fd) {
                slot = i;
                found = true;
                break;
            }
        }
        if (found) break;
        ExtraEventWaiterThread* best = nullptr;
        for (std::uint32_t i = 0; i < set->_count; ++i) {
            ExtraEventWaiterThread* c = set->_entries[i].waiter;
            if (c && (!best || c->_nestedWaiters < best->_nestedWaiters)) best = c;
        }
        set = &best->_set;
    }
    PolledFd* moved = set->_entries[slot].fd;
    const WSAEVENT handle = set->_handles[slot];
    WaitSet& own = w->_set;
    own._count = 0;
    own.place(0, w->_commandEvent, WaitSet::Entry{});
    own.place(1, handle, WaitSet::Entry{moved, nullptr});
    own._count = 2;
    w->_nestedWaiters = 0;
    w->_lastIndex = own._count;
    set->place(slot, w->_readyEvent, WaitSet::Entry{nullptr, w});
    for (ExtraEventWaiterThread* a = set->_owner; a; a = a->_parentSet ? a->_parentSet->_owner : nullptr)
        ++a->_nestedWaiters;
    own.reorderForAccept();
    reorderUpwards(set);
}

void EventLoop::reorderUpwards(WaitSet* set) noexcept {
    for (;;) {
        set->reorderForAccept();
        if (!set->_owner || !set->_owner->_parentSet) return;
        set = set->_owner->_parentSet;
    }
}

void EventLoop::scheduleService(PolledFd* fd) {
    if (!fd->_waitSet || fd->_readyPrev) return;
    pushReady(&_ready, fd);
}

bool EventLoop::serveNext(PolledFd* fd) {
    if (!fd->_waitSet) return false;
    _immediate = fd;
    return true;
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
        // Nothing was posted: sleep until something is.
        WSAEVENT event = _notify->descriptor()->event();
        WSAWaitForMultipleEvents(1, &event, false, kWorkUntilRecheckMs, false);
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
