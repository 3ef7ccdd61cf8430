// EventLoop: drives everything that happens on one thread: readiness of the
// registered PolledFds, actors posted by other threads, and timers.
//
// Registered objects, timers and the ready list are touched only by the
// loop's thread. Other threads reach the loop by posting actors (runInThread,
// runInThreadOrFail, postNowait, ...), which wake it through its
// notification event, and through stop() and terminateOnce().
//
// A wait takes at most 64 handles; when the loop's own set is full, further
// PolledFds go to ExtraEventWaiterThreads, which wait until something in
// their set is signalled, report it into the loop's set and rest until the
// loop has served their set on its own thread. A loop wait costs what is
// ready, not what is registered. Emptied waiters are parked and reused, never
// ended while the loop exists.
//
//   EventLoop loop;
//   ThreadFunction t([&] { loop.run(); }, "IoThread");
//   EventLoop::WaitForEventLoopStarted(loop, t);
//   InThreadFunction<void> f([&] { /* on the loop's thread */ });
//   loop.runInThread(&f, true);
//   loop.stop();
//   t.join();
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

#include "net/callback_after_event_service.h"
#include "net/event_loop_exceptions.h"
#include "net/in_thread_actor.h"
#include "net/polled_fd.h"
#include "net/timeout_heap.h"
#include "net/wait_set.h"

namespace morvex {

class ExtraEventWaiterThread;
class InThreadActorNotify;
class Thread;

// What the thread watchdog sees of a monitored loop: a way to nudge it.
class IMonitoredThread {
public:
    virtual ~IMonitoredThread() = default;
    virtual bool postNowait(InThreadActor* actor) = 0;
};

class EventLoop {
public:
    static constexpr std::uint32_t kNoWatchdog = 0xFFFFFFFFu;
    static constexpr std::uint32_t kNoActorLimit = 0xFFFFFFFFu;

    // An empty loop; nothing is created on any thread.
    EventLoop();
    // Stops and joins every waiter thread. The loop must not be running, and
    // the owners must have removed their PolledFds.
    virtual ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs the loop on the calling thread until stop(). Only one thread at a
    // time can be inside run(). An exception from a PolledFd's handler, an
    // actor or a timer is logged at ERROR and the loop goes on: the PolledFd
    // is removed from the loop (its removed() follows), a waiting poster is
    // released. A Thread::TerminateException from a handler or an actor
    // leaves run() (the loop is then wound up and not running); one from a
    // timer stops the loop in order and is thrown again. The loop can be run
    // again afterwards.
    void run();

    // Registers fd over ipd (the loop takes its own reference) with the
    // event mask, normally fd->initialEventMask(); then calls fd->after_add().
    // Loop thread, or before the loop runs. Throws EventLoopException
    // "couldn't select events for new PolledFd".
    void addPolledFd(PolledFd* fd, PollableDescriptor* ipd, long events);
    // Unregisters fd and drops the loop's descriptor reference. Does nothing
    // for an fd that is not registered.
    void removePolledFd(PolledFd* fd);
    // Serves fd in the current iteration without an event. Loop thread.
    void scheduleService(PolledFd* fd);
    // Serves fd right after the actor that runs now; false if fd is not
    // registered. Loop thread.
    bool serveNext(PolledFd* fd);

    // Asks the loop to stop and waits until it took the request; sets the
    // flag at once when the loop is not running.
    void stop();
    // The first call posts a stop request without waiting; later calls do
    // nothing.
    void terminateOnce();

    void setActorLimitPerNotification(std::uint32_t limit) noexcept { _actorLimit = limit ? limit : 1; }
    void setWatchdogTimeout(std::uint32_t ms) noexcept { _watchdogTimeout = ms; }
    void clearWatchdogTimeout() noexcept { _watchdogTimeout = kNoWatchdog; }

    // --- actors (any thread) ---

    // Runs the actor on the loop's thread; with wait, returns after it ran.
    // Called on the loop's own thread, or while the loop does not run, the
    // actor runs at once on the calling thread.
    void runInThread(InThreadActor* actor, bool wait);
    // Runs the actor on the running loop and waits. False if the loop is not
    // running or finished before reaching the actor (which then never runs).
    bool runInThreadOrFail(InThreadActor* actor);
    // Queues the actor without waiting if the loop runs and the actor is not
    // queued already; returns whether it was queued.
    bool postNowait(InThreadActor* actor);
    // Queues the actor on the local queue, run after each dispatch pass.
    void postLocal(InThreadActor* actor);
    // Fires cb on the loop as soon as possible; repeated calls before it
    // fires collapse into one. False if the loop is not running.
    bool addCallbackFromAnywhere(CallbackAfterEventService* cb);
    // addTimeout / removeTimeout from another thread.
    bool addTimeoutFromAnywhere(Timeout* timeout, std::uint64_t delay);
    void removeTimeoutFromAnywhere(Timeout* timeout);
    // Returns when the predicate holds. On the running loop's thread it runs
    // posted actors meanwhile; when the loop does not run it waits for the
    // thread that runs the loop's actors to give up the inside-run right.
    void runInThreadWorkUntil(RunInThreadWorkUntilPredicate& predicate);

    // --- timers (loop thread) ---

    void addTimeout(Timeout* timeout, std::uint64_t delay);
    void removeTimeout(Timeout* timeout);
    void changeInterval(Timeout* timeout, std::uint64_t interval);
    void changeInterval(Timeout* timeout, std::uint64_t interval, std::uint64_t now);
    void scaleInterval(Timeout* timeout, double factor);

    // --- queries ---

    bool isRunning() const noexcept { return _running.load(std::memory_order_acquire); }
    // Whether the caller is the thread running the loop.
    bool inLoopThread() const noexcept;
    std::uint32_t changeCounter() const noexcept { return _changeCounter; }
    // Actors waiting in the posted queue (any thread).
    std::uint32_t postedActorCount();
    const TimeoutHeap& timeouts() const noexcept { return _timeouts; }

    struct WaiterCounts {
        std::uint32_t free = 0, full = 0, idle = 0;
        std::uint32_t total() const noexcept { return free + full + idle; }
    };
    // Loop thread (or while the loop is not running).
    WaiterCounts waiterCounts() const noexcept;
    // The set and slot that hold fd, for inspection; null if not registered.
    static const WaitSet* waitSetOf(const PolledFd* fd) noexcept;
    const WaitSet& ownWaitSet() const noexcept { return _waitSet; }

    // Starts thread (whose main runs loop) and returns once the loop really
    // runs: a zero-delay timer armed before the start fires on the loop.
    static void WaitForEventLoopStarted(EventLoop& loop, Thread& thread);

    class scoped_inside_run;

private:
    friend class InThreadActorNotify;
    friend class AddCallbackFromAnywhereActor;

    void mainLoop();
    void windUp() noexcept;

    // Registration helpers.
    WaitSet* chooseSet(PolledFd* fd);
    ExtraEventWaiterThread* spawnWaiter(PolledFd* fd);
    void makeRoomFor(ExtraEventWaiterThread* w);
    PollableDescriptorRef detach(PolledFd* fd) noexcept;
    void reorderUpwards(WaitSet* set) noexcept;
    // Before changing a set: makes sure its waiter (if any) does not wait on
    // it, and queues it to be woken again unless it has a report pending.
    void holdStill(WaitSet* set) noexcept;

    // Waiters served or paused since the last wait are woken before the next.
    void queueWake(ExtraEventWaiterThread* w) noexcept;
    void wakeWaiters() noexcept;

    // Serving.
    void dispatch(std::uint32_t index);
    bool checkWaitSet(WaitSet& set, std::uint32_t first);
    bool serve(PolledFd* fd);
    // Runs fd's handler (after its throttle group's say, with throttle). An
    // exception (other than Thread::TerminateException) is logged and counts
    // as "finished", so that fd is removed.
    bool callHandler(PolledFd* fd, bool throttle = false);
    // Removes fd and tells it, if it is still registered.
    void finishPolledFd(PolledFd* fd) noexcept;
    // After a handler: an fd in a waiter's set whose socket stays writable is
    // signalled so that the waiter reports it (FD_WRITE would not fire again).
    void afterServe(PolledFd* fd) noexcept;
    void serveReadyList();
    void serveImmediate();
    void runDeferredRemovals();
    void runLocalActors();
    // The notification handler's step: runs up to the actor limit of posted
    // actors; false when the queue was found empty.
    bool runPostedActors();
    // Runs one actor from the queue; an exception (other than
    // Thread::TerminateException) is logged, its waiting poster released.
    void runActor(InThreadActorQueue& queue, InThreadActor* actor);

    void unlinkReady(PolledFd* fd) noexcept;
    void pushReady(PolledFd** head, PolledFd* fd) noexcept;
    void deferRemoval(PolledFd* fd) noexcept;
    void unlinkDeferred(PolledFd* fd) noexcept;

    // Posting helpers (posted-queue lock held).
    void signalLocked() noexcept;
    void runActorHere(InThreadActor* actor);

    TimeoutHeap _timeouts;
    std::exception_ptr _failure;
    bool _stop = false;
    WaitSet _waitSet;
    ExtraEventWaiterThread* _freeWaiters = nullptr;
    ExtraEventWaiterThread* _fullWaiters = nullptr;
    ExtraEventWaiterThread* _idleWaiters = nullptr;
    ExtraEventWaiterThread* _toWake = nullptr;
    PolledFd* _deferred = nullptr;
    std::uint32_t _deferredCount = 0;
    PolledFd* _immediate = nullptr;
    std::uint32_t _changeCounter = 0;
    std::uint32_t _actorLimit = kNoActorLimit;
    std::atomic<bool> _running{false};
    InThreadActorNotify* _notify = nullptr;
    platform::WSAEVENT _notifyEvent = platform::WSA_INVALID_EVENT;  // posted-queue lock
    std::atomic<std::uint32_t> _runningThreadId{0};
    InThreadActorQueue _posted;
    InThreadActorQueue _local;
    SetBooleanFlagActor _stopActor{&_stop};
    std::atomic<std::uint32_t> _terminateOnce{1};
    PolledFd* _ready = nullptr;
    PolledFd* _localReady = nullptr;  // the ready list taken over for this iteration
    std::uint32_t _watchdogTimeout = 0;
};

// Stops the loop (terminateOnce) when the scope is left by an exception.
class ScopedTerminateEventLoopOnError {
public:
    explicit ScopedTerminateEventLoopOnError(EventLoop& loop) noexcept
        : _loop(loop), _exceptions(std::uncaught_exceptions()) {}
    ~ScopedTerminateEventLoopOnError() {
        if (std::uncaught_exceptions() > _exceptions) _loop.terminateOnce();
    }
    ScopedTerminateEventLoopOnError(const ScopedTerminateEventLoopOnError&) = delete;
    ScopedTerminateEventLoopOnError& operator=(const ScopedTerminateEventLoopOnError&) = delete;

private:
    EventLoop& _loop;
    int _exceptions;
};

}  // namespace morvex
