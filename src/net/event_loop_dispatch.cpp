// EventLoop: serving what a wait reported (the loop's own set and the sets
// of waiters that reported), the ready list, deferred removals and the actor
// queues. Exceptions from handlers and actors stop here.
#include <exception>
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

void EventLoop::dispatch(std::uint32_t index) {
    bool complete = checkWaitSet(_waitSet, index);
    while (!complete) {
        // A handler changed the registrations: the slots seen so far are
        // stale, so look at the own set again (waiters whose sets were not
        // finished reported again).
        runDeferredRemovals();
        const std::uint32_t r = FirstSignalledEvent(_waitSet._count, _waitSet._handles);
        if (r == WSA_WAIT_TIMEOUT) break;
        complete = checkWaitSet(_waitSet, r);
    }
    runDeferredRemovals();
    runLocalActors();
}

bool EventLoop::checkWaitSet(WaitSet& set, std::uint32_t first) {
    const std::uint32_t changes = _changeCounter;
    std::uint32_t i = first;
    while (i < set._count) {
        PolledFd* fd = set._entries[i].fd;
        ExtraEventWaiterThread* w = set._entries[i].waiter;
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
                    // Signal again so that the close is seen once more, but
                    // only while it is still selected: a handler that stops
                    // reading (a pause) takes FD_CLOSE out and would otherwise
                    // be served in a busy loop. Selecting it again brings the
                    // close back (PolledFd::selectEvents).
                    if ((fd->_pendingEvents & fd->_selectedMask) && fd->_ipd) WSASetEvent(fd->_ipd->event());
                    if (fd->_ipd) fd->_ipd->_evts = WSANETWORKEVENTS{};
                }
                if (_changeCounter != changes) return false;
            }
        } else if (w) {
            // The waiter reported: it is idle until served and woken again.
            WSAResetEvent(set._handles[i]);
            const std::uint32_t from = w->takeReport();
            if (!checkWaitSet(w->_set, from)) {
                if (w->_parentSet) w->reportAgain();
                return false;
            }
            // Served: it may wait again at once (a handler further on that
            // changes its set pauses it first).
            w->_set.signalWritable();
            w->wake();
        } else {
            WSAResetEvent(set._handles[i]);  // a waiter's command event
        }
        if (i + 1 >= set._count) break;
        const std::uint32_t rest = set._count - i - 1;
        const std::uint32_t r = FirstSignalledEvent(rest, &set._handles[i + 1]);
        if (r == WSA_WAIT_TIMEOUT) break;
        i += 1 + r;
    }
    return true;
}

bool EventLoop::serve(PolledFd* fd) {
    PolledFdCrashLogNotation note(fd);
    unlinkReady(fd);
    const bool finished = callHandler(fd, true);
    if (!finished) afterServe(fd);
    return finished;
}

bool EventLoop::callHandler(PolledFd* fd, bool throttle) {
    try {
        if (throttle && !fd->applyThrottle()) return false;
        PollableDescriptorRef ref(fd->_ipd);
        return fd->handleEvents(ref);
    } catch (const Thread::TerminateException&) {
        throw;
    } catch (const std::exception& e) {
        s_log.error("Exception from a PolledFd's handler, removing it from the loop: %s", e.what());
    } catch (...) {
        s_log.error("Unknown exception from a PolledFd's handler, removing it from the loop");
    }
    return true;
}

void EventLoop::finishPolledFd(PolledFd* fd) noexcept {
    if (!fd->_ipd) return;  // already removed
    fd->_ipd->_evts = WSANETWORKEVENTS{};
    try {
        fd->removed(detach(fd));
    } catch (const std::exception& e) {
        s_log.error("Exception from a PolledFd's removal: %s", e.what());
    } catch (...) {
        s_log.error("Unknown exception from a PolledFd's removal");
    }
}

void EventLoop::afterServe(PolledFd* fd) noexcept {
    WaitSet* set = fd->_waitSet;
    if (set && set->_owner) set->signalWritableSlot(fd->_slot);
}

void EventLoop::serveReadyList() {
    while (PolledFd* fd = _localReady) {
        unlinkReady(fd);
        PolledFdCrashLogNotation note(fd);
        if (callHandler(fd))
            finishPolledFd(fd);
        else
            afterServe(fd);
    }
}

void EventLoop::serveImmediate() {
    PolledFd* fd = std::exchange(_immediate, nullptr);
    if (!fd || !fd->isRegistered()) return;
    PolledFdCrashLogNotation note(fd);
    if (callHandler(fd))
        finishPolledFd(fd);
    else
        afterServe(fd);
}

void EventLoop::runDeferredRemovals() {
    while (PolledFd* fd = _deferred) {
        unlinkDeferred(fd);
        finishPolledFd(fd);
    }
}

void EventLoop::runActor(InThreadActorQueue& queue, InThreadActor* actor) {
    InThreadActorCrashLogNotation note(actor);
    try {
        queue.runOne(actor);  // releases a waiting poster even when the callback throws
    } catch (const Thread::TerminateException&) {
        throw;
    } catch (const std::exception& e) {
        s_log.error("Exception from an InThreadActor: %s", e.what());
    } catch (...) {
        s_log.error("Unknown exception from an InThreadActor");
    }
}

void EventLoop::runLocalActors() {
    for (;;) {
        bool empty = true;
        InThreadActor* actor = _local.pop(&empty);
        if (!actor) return;
        runActor(_local, actor);
        serveImmediate();
        if (empty) return;
    }
}

bool EventLoop::runPostedActors() {
    for (std::uint32_t n = 0; n < _actorLimit; ++n) {
        bool empty = true;
        InThreadActor* actor = _posted.pop(&empty);
        if (!actor) return n > 0;
        runActor(_posted, actor);
        serveImmediate();
        if (empty) return true;
    }
    // The limit was reached first: make the next wait return at once.
    CriticalSectionGuard guard(_posted._lock);
    if (_notifyEvent != WSA_INVALID_EVENT) WSASetEvent(_notifyEvent);
    return true;
}

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

}  // namespace morvex
