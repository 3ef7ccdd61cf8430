#include "net/extra_event_waiter_thread.h"

#include <cstdlib>

#include "net/event_loop_exceptions.h"
#include "net/pollable_descriptor.h"
#include "util/logger.h"

namespace morvex {

using namespace platform;

namespace {
Logger s_pdLog("PollableDescriptor");

WSAEVENT createEvent() {
    WSAEVENT e = WSACreateEvent();
    if (e == WSA_INVALID_EVENT) throw PollableDescriptorException("couldn't WSACreateEvent");
    return e;
}

void closeEvent(WSAEVENT e) noexcept {
    if (e == WSA_INVALID_EVENT) return;
    const int saved = WSAGetLastError();
    if (!WSACloseEvent(e)) s_pdLog.error("couldn't WSACloseEvent, error=%d", WSAGetLastError());
    WSASetLastError(saved);
}
}  // namespace

ExtraEventWaiterThread::ExtraEventWaiterThread() : Thread("ExtraEventWaiter") {
    try {
        _readyEvent = createEvent();
        _commandEvent = createEvent();
    } catch (...) {
        closeEvent(_readyEvent);
        throw;  // the Thread destructor gives up the OS thread
    }
    _set._owner = this;
    _set.place(0, _commandEvent, WaitSet::Entry{});
    _set._count = 1;
    _lastIndex = 1;
}

ExtraEventWaiterThread::~ExtraEventWaiterThread() {
    closeEvent(_readyEvent);
    closeEvent(_commandEvent);
}

void ExtraEventWaiterThread::main() {
    _lock.enter();
    for (;;) {
        while (_state == kIdle) Thread::conditionWait(_go, _lock);
        if (_state == kAskedToStop) break;
        _state = kWaiting;
        _lock.leave();
        const std::uint32_t r = _set.wait(WSA_INFINITE);
        _lock.enter();
        WSAResetEvent(_commandEvent);
        if (r >= _set._count && r != WSA_WAIT_TIMEOUT) {
            _lock.leave();
            EventLoopException e("error from EventLoop WSAWaitForMultipleEvents");
            std::abort();
        }
        _lastIndex = r == WSA_WAIT_TIMEOUT ? _set._count : r;
        if (_state == kAskedToStop) break;
        _state = kIdle;
        WSASetEvent(_readyEvent);
        _done.wakeAll();
    }
    _state = kStopped;
    _done.wakeAll();
    _lock.leave();
}

void ExtraEventWaiterThread::wake() noexcept {
    CriticalSectionGuard guard(_lock);
    _state = kAskedToWait;
    _go.wakeOne();
}

void ExtraEventWaiterThread::collect() noexcept {
    CriticalSectionGuard guard(_lock);
    if (_state == kAskedToWait) {
        // It never started waiting: nothing is ready.
        _state = kIdle;
        _lastIndex = _set._count;
        return;
    }
    if (_state == kWaiting) {
        WSASetEvent(_commandEvent);
        while (_state != kIdle) Thread::conditionWait(_done, _lock);
    }
}

void ExtraEventWaiterThread::pollOnce() noexcept {
    const std::uint32_t r = WSAWaitForMultipleEvents(_set._count, _set._handles, false, 0, false);
    _lastIndex = r < _set._count ? r : _set._count;
}

void ExtraEventWaiterThread::stopAndJoin() noexcept {
    {
        CriticalSectionGuard guard(_lock);
        if (_state != kStopped) {
            const bool waiting = _state == kWaiting;
            _state = kAskedToStop;
            _go.wakeAll();
            if (waiting) WSASetEvent(_commandEvent);
            while (_state != kStopped) Thread::conditionWait(_done, _lock);
        }
    }
    join();
}

void ExtraEventWaiterThread::unlinkFromList() noexcept {
    if (!_prevLink) return;
    *_prevLink = _next;
    if (_next) _next->_prevLink = _prevLink;
    _next = nullptr;
    _prevLink = nullptr;
}

void ExtraEventWaiterThread::pushFront(ExtraEventWaiterThread** head) noexcept {
    _next = *head;
    if (_next) _next->_prevLink = &_next;
    *head = this;
    _prevLink = head;
}

void ExtraEventWaiterThread::crashLogDescribe(CrashLogOutput& out) const noexcept {
    Thread::crashLogDescribe(out);
    out.printf("ExtraEventWaiterThread: slots=%u nested=%u lastIndex=%u\r\n", _set._count, _nestedWaiters, _lastIndex);
}

}  // namespace morvex
