#include "net/in_thread_actor.h"

#include "net/callback_after_event_service.h"
#include "net/event_loop.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {
Logger s_log("InThreadActor");
}

InThreadActor::~InThreadActor() = default;

void InThreadActor::crashLogDump(CrashLogOutput& out) const noexcept {
    out.hexDump("InThreadActor object", this, 128);
    out.write("\r\n");
}

void InThreadActor::crashLogDescribe(CrashLogOutput&) const noexcept {}

void InThreadActorCrashLogNotation::describe(CrashLogOutput& out) const noexcept {
    out.printf("InThreadActor @%p: _queuedOn=%p", static_cast<const void*>(_actor),
               static_cast<const void*>(_actor->_queuedOn));
    out.write(", ");
    out.flag("ran", _actor->_ran != 0);
    out.write(", ");
    out.flag("wantWake", _actor->_wantWake != 0);
    out.write(", ");
    out.flag("wantFailIfLoopDone", _actor->_wantFailIfLoopDone != 0);
    _actor->crashLogDescribe(out);
    out.write("\r\n");
    _actor->crashLogDump(out);
}

void InThreadActorQueue::enqueue(InThreadActor* actor) noexcept {
    actor->_ran = 0;
    actor->_next = nullptr;
    if (_tail)
        _tail->_next = actor;
    else
        _head = actor;
    _tail = actor;
    actor->_queuedOn = this;
}

InThreadActor* InThreadActorQueue::pop(bool* nowEmpty) noexcept {
    platform::CriticalSectionGuard guard(_lock);
    InThreadActor* actor = _head;
    if (actor) {
        _head = actor->_next;
        if (!_head) _tail = nullptr;
        actor->_next = nullptr;
        actor->_queuedOn = nullptr;
    }
    if (nowEmpty) *nowEmpty = _head == nullptr;
    return actor;
}

bool InThreadActorQueue::unqueue(InThreadActor* actor) noexcept {
    platform::CriticalSectionGuard guard(_lock);
    if (actor->_queuedOn != this) return false;
    InThreadActor* prev = nullptr;
    for (InThreadActor* a = _head; a; prev = a, a = a->_next) {
        if (a != actor) continue;
        if (prev)
            prev->_next = a->_next;
        else
            _head = a->_next;
        if (_tail == a) _tail = prev;
        a->_next = nullptr;
        a->_queuedOn = nullptr;
        return true;
    }
    return false;
}

void InThreadActorQueue::runOne(InThreadActor* actor) {
    _lock.enter();
    if (_loopRunning || !actor->_wantFailIfLoopDone) {
        const bool wake = actor->_wantWake != 0;
        _lock.leave();
        if (!wake) {
            // Nothing may touch the actor once its callback returned: it may
            // have freed itself.
            actor->callback();
            return;
        }
        try {
            actor->callback();
        } catch (...) {
            platform::CriticalSectionGuard guard(_lock);
            actor->_ran = 1;
            actor->_doneCondition.wakeAll();
            throw;
        }
        platform::CriticalSectionGuard guard(_lock);
        actor->_ran = 1;
        actor->_doneCondition.wakeAll();
        return;
    }
    // The loop has finished and the poster asked to fail rather than run.
    actor->_wantFailIfLoopDone = 0;
    actor->_ran = 1;
    actor->_doneCondition.wakeAll();
    _lock.leave();
}

void InThreadActorQueue::waitForActorToComplete(InThreadActor* actor) noexcept {
    s_log.debug("this=%p waitForActorToComplete start actor=%p", static_cast<void*>(this), static_cast<void*>(actor));
    if (!actor->_ran) {
        ++_waiters;
        while (!actor->_ran) Thread::conditionWait(actor->_doneCondition, _lock);
        --_waiters;
        if (_waiters == 0 && !_loopRunning) _noWaitersCondition.wakeAll();
    }
    s_log.debug("this=%p waitForActorToComplete end actor=%p", static_cast<void*>(this), static_cast<void*>(actor));
}

void InThreadActorQueue::waitForNoWaiters() noexcept {
    while (_waiters != 0) Thread::conditionWait(_noWaitersCondition, _lock);
}

bool InThreadActorQueue::takeInsideRun(std::uint32_t threadId, bool stopIfRunning) noexcept {
    while (_running_outside_set && _ownerThreadId != threadId) {
        if (stopIfRunning && _loopRunning) return false;
        Thread::conditionWait(_insideRunCondition, _lock);
    }
    if (stopIfRunning && _loopRunning) return false;
    _running_outside_set = true;
    _ownerThreadId = threadId;
    return true;
}

void InThreadActorQueue::giveInsideRunBack() noexcept {
    _running_outside_set = false;
    _ownerThreadId = 0;
    _insideRunCondition.wakeAll();
    _predicateCondition.wakeAll();
}

void InThreadActorQueue::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.write("Running InThreadActors: ");
    out.flag("_loopRunning", _loopRunning);
    out.write(" ");
    out.flag("_running_outside_set", _running_outside_set);
}

void InThreadFunctionNowait::post(EventLoop& loop, std::function<void()> fn) {
    loop.runInThread(new InThreadFunctionNowait(std::move(fn)), false);
}

void InThreadFunctionNowait::callback() {
    std::unique_ptr<InThreadFunctionNowait> self(this);
    _fn();
}

void AddTimeoutFromAnywhereActor::callback() {
    _loop->addTimeout(_timeout, _delay);
}

void RemoveTimeoutFromAnywhereActor::callback() {
    _loop->removeTimeout(_timeout);
}

void AddCallbackFromAnywhereActor::callback() {
    EventLoop* loop = _owner->_pending;
    if (!loop) return;
    platform::CriticalSectionGuard guard(loop->_posted._lock);
    loop->addTimeout(_owner, 0);
    _owner->_pending = nullptr;
}

}  // namespace morvex
