// ExtraEventWaiterThread: a thread that only waits on up to 64 more handles
// for a loop whose own set is full, and signals its ready event (a slot in
// its parent's set) when one is signalled. The loop wakes its waiters before
// each wait of its own and collects them afterwards, so waiters wait only
// while the loop waits and every handler still runs on the loop's thread.
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

    // Loop side of the handshake, on the loop's thread.
    void wake() noexcept;     // state 1: wait once
    void collect() noexcept;  // afterwards: back to state 0 with the index of its wait
    void stopAndJoin() noexcept;

    // Polls its own set without waiting and records the result as its index.
    void pollOnce() noexcept;

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
    std::uint32_t _lastIndex = 0;  // lowest signalled slot of the last wait, _set._count when none
    ExtraEventWaiterThread* _next = nullptr;
    ExtraEventWaiterThread** _prevLink = nullptr;

private:
    std::uint32_t _state = kIdle;
    platform::CriticalSection _lock;
    platform::ConditionVariable _go;
    platform::ConditionVariable _done;
};

}  // namespace morvex
