// EventLoop: registration and removal of PolledFds, spreading them over the
// loop's own wait set and its ExtraEventWaiterThreads.
#include <utility>

#include "net/event_loop.h"
#include "net/extra_event_waiter_thread.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

using namespace platform;

namespace {
Logger s_log("EventLoop");
}  // namespace

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
        holdStill(set);
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
    holdStill(set);
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
        holdStill(parent);
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
    if (const int code = w->waitUntilReady()) {
        w->stopAndJoin();
        delete w;
        WSASetLastError(code);
        throw EventLoopException("couldn't prepare an ExtraEventWaiterThread to wait");
    }
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
    holdStill(set);
    w->takeReport();  // a reused waiter starts without a stale report
    PolledFd* moved = set->_entries[slot].fd;
    const WSAEVENT handle = set->_handles[slot];
    WaitSet& own = w->_set;
    own._count = 0;
    own.place(0, w->_commandEvent, WaitSet::Entry{});
    own.place(1, handle, WaitSet::Entry{moved, nullptr});
    own._count = 2;
    w->_nestedWaiters = 0;
    set->place(slot, w->_readyEvent, WaitSet::Entry{nullptr, w});
    for (ExtraEventWaiterThread* a = set->_owner; a; a = a->_parentSet ? a->_parentSet->_owner : nullptr)
        ++a->_nestedWaiters;
    own.reorderForAccept();
    reorderUpwards(set);
    queueWake(w);
}

void EventLoop::reorderUpwards(WaitSet* set) noexcept {
    for (;;) {
        holdStill(set);
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

void EventLoop::holdStill(WaitSet* set) noexcept {
    ExtraEventWaiterThread* w = set->_owner;
    if (!w) return;
    if (w->pause())
        w->reportAgain();  // slots may move: serve its set from the start
    else
        queueWake(w);
}

void EventLoop::queueWake(ExtraEventWaiterThread* w) noexcept {
    if (w->_wakeQueued) return;
    w->_wakeQueued = true;
    w->_wakeNext = _toWake;
    _toWake = w;
}

void EventLoop::wakeWaiters() noexcept {
    while (ExtraEventWaiterThread* w = _toWake) {
        _toWake = w->_wakeNext;
        w->_wakeNext = nullptr;
        w->_wakeQueued = false;
        if (!w->_parentSet) continue;  // parked meanwhile
        w->_set.signalWritable();
        w->wake();
    }
}

}  // namespace morvex
