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
}

ExtraEventWaiterThread::~ExtraEventWaiterThread() {
    closeEvent(_readyEvent);
    closeEvent(_commandEvent);
}

void ExtraEventWaiterThread::main() {
    // Descriptors short: the registration that needed this thread fails
    // instead of the first wait.
    const bool prepared = PrepareThreadForWaits();
    const int code = prepared ? 0 : (WSAGetLastError() ? WSAGetLastError() : static_cast<int>(WSAENOBUFS));
    _lock.enter();
    _readyChecked = true;
    _startError = code;
    if (!prepared) _state = kAskedToStop;
    _done.wakeAll();
    for (;;) {
        while (_state == kIdle) Thread::conditionWait(_go, _lock);
        if (_state == kAskedToStop) break;
        _state = kWaiting;
        _lock.leave();
        // Slot 0 is the command event: a pause or a stop, not news.
        std::uint32_t r = WSAWaitForMultipleEvents(_set._count, _set._handles, false, WSA_INFINITE, false);
        _lock.enter();
        if (r >= _set._count) {
            _lock.leave();
            EventLoopException e("error from EventLoop WSAWaitForMultipleEvents");
            std::abort();
        }
        WSAResetEvent(_commandEvent);
        if (r == 0) {
            const std::uint32_t rest = FirstSignalledEvent(_set._count - 1, _set._handles + 1);
            r = rest == WSA_WAIT_TIMEOUT ? _set._count : rest + 1;
        }
        if (_state == kAskedToStop) break;
        _state = kIdle;
        const bool report = r < _set._count;
        if (report) {
            _lastIndex = r;
            _reported = true;
        }
        _done.wakeAll();
        if (report) {
            // Outside the lock: the loop, woken by this, takes the report at
            // once. The state is checked again under the lock below.
            _lock.leave();
            WSASetEvent(_readyEvent);
            _lock.enter();
        }
    }
    _state = kStopped;
    _done.wakeAll();
    _lock.leave();
}

int ExtraEventWaiterThread::waitUntilReady() noexcept {
    CriticalSectionGuard guard(_lock);
    while (!_readyChecked) Thread::conditionWait(_done, _lock);
    return _startError;
}

void ExtraEventWaiterThread::wake() noexcept {
    CriticalSectionGuard guard(_lock);
    if (_state != kIdle || _reported) return;
    _state = kAskedToWait;
    _go.wakeOne();
}

bool ExtraEventWaiterThread::pause() noexcept {
    CriticalSectionGuard guard(_lock);
    if (_state == kAskedToWait) {
        _state = kIdle;  // it never started waiting
    } else if (_state == kWaiting) {
        WSASetEvent(_commandEvent);
        while (_state == kWaiting) Thread::conditionWait(_done, _lock);
    }
    return _reported;
}

std::uint32_t ExtraEventWaiterThread::takeReport() noexcept {
    pause();
    CriticalSectionGuard guard(_lock);
    const std::uint32_t from = _reported ? _lastIndex : _set._count;
    _reported = false;
    return from;
}

void ExtraEventWaiterThread::reportAgain() noexcept {
    CriticalSectionGuard guard(_lock);
    _lastIndex = 0;
    _reported = true;
    WSASetEvent(_readyEvent);
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
    out.printf("ExtraEventWaiterThread: slots=%u nested=%u lastIndex=%u state=%u\r\n", _set._count, _nestedWaiters,
               _lastIndex, _state);
}

}  // namespace morvex
