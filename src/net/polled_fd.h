// PolledFd: something an EventLoop watches, a PollableDescriptor plus the
// handler the loop calls when its events arrive. Channels, acceptors and
// outbound connections derive from it.
//
// Throttle groups can take event kinds out of the selection of all their
// members for a while; a PolledFd starts in the default group, which
// throttles nothing. Everything here runs on the thread of the loop the
// PolledFd is registered with.
#pragma once

#include <cstdint>

#include "net/pollable_descriptor.h"
#include "platform/sync.h"
#include "util/crash_log_notation.h"

namespace morvex {

class EventLoop;
class PolledFd;
struct WaitSet;

class ThrottleGroup {
public:
    // An ordinary group, throttling nothing until throttle() is called.
    ThrottleGroup() noexcept = default;
    // Lifts every throttle and moves the members to the default group.
    ~ThrottleGroup();
    ThrottleGroup(const ThrottleGroup&) = delete;
    ThrottleGroup& operator=(const ThrottleGroup&) = delete;

    // Process-wide groups without a lock: one throttles nothing (every
    // PolledFd starts there), one throttles every event.
    static ThrottleGroup& defaultGroup() noexcept;
    static ThrottleGroup& throttleAllGroup() noexcept;

    // Counted per event kind: the first throttle of a kind takes it out of
    // the members' selection as their events arrive; the last release puts
    // the suspended events of the members back.
    void throttle(long events);
    void release(long events);
    // Members move to the throttle-all group: any event that then arrives
    // deselects all events of the member.
    void shutdown();

    std::uint32_t throttledEvents() const noexcept { return _throttled; }
    bool neverThrottles() const noexcept { return this == &defaultGroup(); }

private:
    friend class PolledFd;
    struct StaticTag {};
    ThrottleGroup(StaticTag, std::uint32_t throttled) noexcept : _throttled(throttled), _static(true) {}

    void join(PolledFd* fd) noexcept;
    void leave(PolledFd* fd) noexcept;
    // Lock held: re-selects the suspended events of every member.
    void resumeMembers();

    std::uint32_t _throttled = 0;
    std::uint32_t _counts[32] = {};
    bool _static = false;
    platform::CriticalSection _lock;
    PolledFd* _members = nullptr;
};

class Throttleable {
public:
    ThrottleGroup* throttleGroup() const noexcept { return _throttleGroup; }

protected:
    ThrottleGroup* _throttleGroup = &ThrottleGroup::defaultGroup();
};

class PolledFd : public Throttleable {
public:
    static constexpr long kDefaultEventMask = 37;  // FD_READ | FD_OOB | FD_CLOSE

    PolledFd() noexcept = default;
    PolledFd(const PolledFd&) = delete;
    PolledFd& operator=(const PolledFd&) = delete;
    // Leaves the throttle group. The owner must have removed it from its loop.
    virtual ~PolledFd();

    // Adds events to the selection and re-selects. Throws EventLoopException
    // "couldn't select events for existing PolledFd". Returns true.
    virtual bool addEvents(long events);
    // What a crash report says about the object; default nothing.
    virtual void crashLogDescribe(CrashLogOutput& out) const noexcept;
    // The mask the loop registers it with.
    virtual long initialEventMask() const { return kDefaultEventMask; }
    // Called right after registration: puts the socket into non-blocking mode
    // (PollableDescriptorException "can't change FIONBIO: winsock error %d").
    virtual void after_add();
    // Called after the loop removed it because handleEvents asked for it,
    // with the reference the loop held; the default drops it.
    virtual void removed(PollableDescriptorRef ipd);
    // Handles the pending events (pendingEvents()). Returns true when the
    // PolledFd is finished and is to be removed from the loop (then
    // removed() follows, where it may destroy itself; it must not do so in
    // here). It may register and remove other PolledFds.
    virtual bool handleEvents(const PollableDescriptorRef& ipd) = 0;

    // Sets the selection to exactly these events and re-selects. Throws
    // EventLoopException "couldn't select events for existing PolledFd".
    void selectEvents(long events);

    // Moves it to another throttle group (null: the default group).
    void setThrottleGroup(ThrottleGroup* group);

    long selectedEvents() const noexcept { return static_cast<long>(_selectedMask); }
    long pendingEvents() const noexcept { return static_cast<long>(_pendingEvents); }
    void setPendingEvents(long events) noexcept { _pendingEvents = static_cast<std::uint32_t>(events); }
    long suspendedEvents() const noexcept { return static_cast<long>(_suspendedEvents); }
    // The loop's reference, null while not registered.
    PollableDescriptor* descriptor() const noexcept { return _ipd; }
    bool isRegistered() const noexcept { return _waitSet != nullptr; }
    std::uint32_t slot() const noexcept { return _slot; }

private:
    friend class EventLoop;
    friend class ThrottleGroup;
    friend class ExtraEventWaiterThread;
    friend struct WaitSet;

    // Re-selects the mask less what the group throttles.
    bool reselect() noexcept;
    // Before serving: takes the events the group throttles out of the
    // selection and the pending events; false when nothing is left to serve.
    bool applyThrottle();

    std::uint32_t _suspendedEvents = 0;
    PolledFd* _groupPrev = nullptr;
    PolledFd* _groupNext = nullptr;
    WaitSet* _waitSet = nullptr;
    std::uint32_t _slot = 0;
    std::uint32_t _selectedMask = 0;
    std::uint32_t _pendingEvents = 0;
    PollableDescriptor* _ipd = nullptr;
    PolledFd** _readyPrev = nullptr;  // null when not on the ready list
    PolledFd* _readyNext = nullptr;
    PolledFd** _deferPrev = nullptr;  // null when no removal is deferred
    PolledFd* _deferNext = nullptr;
};

// On the thread's crash-log list while the loop serves a PolledFd: a dump of
// the object under "PolledFd object", then its crashLogDescribe.
class PolledFdCrashLogNotation : public ScopedPerThreadCrashLogNotation {
public:
    explicit PolledFdCrashLogNotation(const PolledFd* fd) noexcept : _fd(fd) {}
    void describe(CrashLogOutput& out) const noexcept override;

private:
    const PolledFd* _fd;
};

}  // namespace morvex
