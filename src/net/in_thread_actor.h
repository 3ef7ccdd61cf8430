// In-thread actors: small objects whose callback an event loop's thread runs
// on behalf of other threads.
//
// An actor carries its own queue link, so posting one allocates nothing. The
// poster owns the actor's memory: a poster that waits keeps it alive until
// the wait returns; one that does not wait must keep it alive until it has
// run (or use InThreadFunctionNowait, which frees itself).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/sync.h"
#include "util/crash_log_notation.h"

namespace morvex {

class EventLoop;
class InThreadActorQueue;
class Timeout;

class InThreadActor {
public:
    InThreadActor() noexcept = default;
    InThreadActor(const InThreadActor&) = delete;
    InThreadActor& operator=(const InThreadActor&) = delete;
    virtual ~InThreadActor();

    // A hex dump of the object under "InThreadActor object" (at most 128
    // bytes), then CR LF.
    virtual void crashLogDump(CrashLogOutput& out) const noexcept;
    // Extra description for crash reports; default nothing.
    virtual void crashLogDescribe(CrashLogOutput& out) const noexcept;
    // The work, run on the loop's thread (or on the poster's thread when the
    // loop is not running and runInThread is used).
    virtual void callback() = 0;

    // After EventLoop::runInThreadOrFail returned: whether the actor ran.
    bool ranInLoop() const noexcept { return _wantFailIfLoopDone != 0; }

private:
    friend class InThreadActorQueue;
    friend class EventLoop;
    friend class InThreadActorCrashLogNotation;

    std::uint8_t _wantWake = 0;
    std::uint8_t _wantFailIfLoopDone = 0;
    std::uint8_t _ran = 0;
    platform::ConditionVariable _doneCondition;
    InThreadActor* _next = nullptr;
    InThreadActorQueue* _queuedOn = nullptr;
};

// Describes an actor on the thread's crash-log list while it is posted or run.
class InThreadActorCrashLogNotation : public ScopedPerThreadCrashLogNotation {
public:
    explicit InThreadActorCrashLogNotation(const InThreadActor* actor) noexcept : _actor(actor) {}
    void describe(CrashLogOutput& out) const noexcept override;

private:
    const InThreadActor* _actor;
};

// One FIFO of actors with the lock and conditions that posting and waiting
// need. An EventLoop has two: the posted queue and the local queue. Members
// marked "lock held" expect the caller to hold _lock.
class InThreadActorQueue {
public:
    InThreadActorQueue() noexcept = default;
    InThreadActorQueue(const InThreadActorQueue&) = delete;
    InThreadActorQueue& operator=(const InThreadActorQueue&) = delete;

    // Lock held: appends the actor (ran := 0).
    void enqueue(InThreadActor* actor) noexcept;
    // Takes the head (null when empty); nowEmpty tells whether the queue
    // became empty. Takes the lock.
    InThreadActor* pop(bool* nowEmpty) noexcept;
    // Withdraws a queued actor; false if it was not queued. Takes the lock.
    bool unqueue(InThreadActor* actor) noexcept;
    // Lock held.
    bool empty() const noexcept { return _head == nullptr; }

    // Runs a popped actor on the calling thread, lock not held: runs its
    // callback, or, when the queue no longer accepts actors and the poster
    // asked to fail, marks it failed without running it. Wakes a waiting
    // poster either way. Exceptions from the callback propagate (a waiting
    // poster is still woken).
    void runOne(InThreadActor* actor);

    // Lock held: sleeps until the actor has run or been given up.
    void waitForActorToComplete(InThreadActor* actor) noexcept;

    // Lock held: waits until no poster is waiting for an actor of this queue.
    void waitForNoWaiters() noexcept;

    // The inside-run right (lock held). takeInsideRun waits while another
    // thread holds it; when stopIfRunning is set it gives up (returns false)
    // as soon as the loop runs. giveInsideRunBack wakes threads waiting for
    // the right or for a predicate.
    bool takeInsideRun(std::uint32_t threadId, bool stopIfRunning) noexcept;
    void giveInsideRunBack() noexcept;
    bool holdsInsideRun(std::uint32_t threadId) const noexcept {
        return _running_outside_set && _ownerThreadId == threadId;
    }

    // "Running InThreadActors: _loopRunning=Y _running_outside_set=N"
    void crashLogDescribe(CrashLogOutput& out) const noexcept;

    platform::CriticalSection _lock;
    InThreadActor* _head = nullptr;
    InThreadActor* _tail = nullptr;
    bool _loopRunning = false;
    std::uint32_t _ownerThreadId = 0;
    bool _running_outside_set = false;
    platform::ConditionVariable _insideRunCondition;
    platform::ConditionVariable _predicateCondition;
    std::uint32_t _waiters = 0;
    platform::ConditionVariable _noWaitersCondition;
};

template <typename R>
class InThreadFunction;

// Runs a callable (an empty one throws std::bad_function_call).
template <>
class InThreadFunction<void> : public InThreadActor {
public:
    InThreadFunction() = default;
    explicit InThreadFunction(std::function<void()> fn) : _fn(std::move(fn)) {}
    void set(std::function<void()> fn) { _fn = std::move(fn); }
    void callback() override { _fn(); }

protected:
    std::function<void()> _fn;
};

// A heap-allocated function actor that frees itself after running. Use
// post(): the loop runs it (or the caller, when the loop is not running).
class InThreadFunctionNowait final : public InThreadFunction<void> {
public:
    static void post(EventLoop& loop, std::function<void()> fn);
    void callback() override;

private:
    explicit InThreadFunctionNowait(std::function<void()> fn) : InThreadFunction<void>(std::move(fn)) {}
};

class SetBooleanFlagActor : public InThreadActor {
public:
    explicit SetBooleanFlagActor(bool* flag) noexcept : _flag(flag) {}
    void callback() override { *_flag = true; }

private:
    bool* _flag;
};

class AddTimeoutFromAnywhereActor : public InThreadActor {
public:
    AddTimeoutFromAnywhereActor(EventLoop* loop, Timeout* timeout, std::uint64_t delay) noexcept
        : _loop(loop), _timeout(timeout), _delay(delay) {}
    void callback() override;

private:
    EventLoop* _loop;
    Timeout* _timeout;
    std::uint64_t _delay;
};

class RemoveTimeoutFromAnywhereActor : public InThreadActor {
public:
    RemoveTimeoutFromAnywhereActor(EventLoop* loop, Timeout* timeout) noexcept : _loop(loop), _timeout(timeout) {}
    void callback() override;

private:
    EventLoop* _loop;
    Timeout* _timeout;
};

// What EventLoop::runInThreadWorkUntil waits for.
class RunInThreadWorkUntilPredicate {
public:
    virtual ~RunInThreadWorkUntilPredicate() = default;
    virtual bool predicate() = 0;
};

class RunInThreadWorkUntilPredicate_unsignedIsZero : public RunInThreadWorkUntilPredicate {
public:
    explicit RunInThreadWorkUntilPredicate_unsignedIsZero(const std::atomic<unsigned>& counter) noexcept
        : _counter(counter) {}
    bool predicate() override { return _counter.load(std::memory_order_acquire) == 0; }

private:
    const std::atomic<unsigned>& _counter;
};

}  // namespace morvex
