// ExtraEventWaiterThread: a thread that only waits on up to 64 more handles
// for a loop whose own set is full, and signals its ready event (a slot in
// its parent's set) when one is signalled.
//
// Handshake with the loop: a waiter that the loop has woken keeps waiting,
// across the loop's own waits, until something in its set is signalled; it
// then records the slot, goes idle and signals its ready event ("reports").
// The loop serves a reported set on its own thread and then wakes the waiter
// again. Before the loop changes a set that a waiter may be waiting on, it
// pauses the waiter through its command event. So a loop wait costs nothing
// per waiter that has nothing to report, and the waiter never touches its set
// while the loop does.
#pragma once

#include <cstdint>

#include "net/wait_set.h"
#include "platform/sync.h"
#include "util/thread.h"

namespace morvex {

class ExtraEventWaiterThread final : public Thread {
public:
    enum State : std::uint32_t { kIdle = 0, kAskedToWait = 1, kWaiting = 2, kAskedToStop = 3, kStopped = 4 };

    // Creates both events (PollableDescriptorException "couldn't WSACreateEvent")
    // and the OS thread; the owner starts it.
    ExtraEventWaiterThread();
    // The owner must have stopped it (stopAndJoin).
    ~ExtraEventWaiterThread() override;

    void main() override;

    // After start(), on the loop's thread: waits until the thread could make
    // what it needs to wait (descriptors); 0, or the Winsock code of the
    // failure, after which the thread has ended (stopAndJoin still applies).
    int waitUntilReady() noexcept;

    // Loop side of the handshake, on the loop's thread.
    // Idle and not reported: wait (state 1). Otherwise nothing.
    void wake() noexcept;
    // Makes sure it does not wait (it stays idle until woken); returns whether
    // it has reported something not yet taken.
    bool pause() noexcept;
    // Pauses it and takes its report: the slot to serve from (its slot count
    // when nothing was found).
    std::uint32_t takeReport() noexcept;
    // The loop stopped serving its set half-way: report again from slot 0 so
    // that the rest is served in the next pass.
    void reportAgain() noexcept;
    void stopAndJoin() noexcept;

    // Links in one of the loop's three waiter lists.
    void unlinkFromList() noexcept;
    void pushFront(ExtraEventWaiterThread** head) noexcept;

    void crashLogDescribe(CrashLogOutput& out) const noexcept override;

    WaitSet _set;
    std::uint32_t _nestedWaiters = 0;
    platform::WSAEVENT _readyEvent = platform::WSA_INVALID_EVENT;
    platform::WSAEVENT _commandEvent = platform::WSA_INVALID_EVENT;
    WaitSet* _parentSet = nullptr;
    std::uint32_t _parentSlot = 0;
    ExtraEventWaiterThread* _next = nullptr;
    ExtraEventWaiterThread** _prevLink = nullptr;
    // The loop's list of waiters to wake before its next wait (loop thread).
    ExtraEventWaiterThread* _wakeNext = nullptr;
    bool _wakeQueued = false;

private:
    std::uint32_t _state = kIdle;  // _lock
    std::uint32_t _lastIndex = 0;  // _lock: lowest signalled slot of its last report
    bool _reported = false;        // _lock: reported and not yet taken
    bool _readyChecked = false;    // _lock: main() has prepared its waits
    int _startError = 0;           // _lock: the Winsock code when it could not
    platform::CriticalSection _lock;
    platform::ConditionVariable _go;
    platform::ConditionVariable _done;
};

}  // namespace morvex
