#include "net/polled_fd.h"

#include <cstdio>

#include "net/event_loop_exceptions.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("EventLoop");
}

// --- ThrottleGroup ---

ThrottleGroup& ThrottleGroup::defaultGroup() noexcept {
    static ThrottleGroup group(StaticTag{}, 0);
    return group;
}

ThrottleGroup& ThrottleGroup::throttleAllGroup() noexcept {
    static ThrottleGroup group(StaticTag{}, 0xFFFFFFFFu);
    return group;
}

ThrottleGroup::~ThrottleGroup() {
    if (_static) return;
    platform::CriticalSectionGuard guard(_lock);
    _throttled = 0;
    resumeMembers();
    while (PolledFd* fd = _members) {
        leave(fd);
        fd->_throttleGroup = &defaultGroup();
    }
}

void ThrottleGroup::join(PolledFd* fd) noexcept {
    if (_static) return;
    fd->_groupPrev = nullptr;
    fd->_groupNext = _members;
    if (_members) _members->_groupPrev = fd;
    _members = fd;
}

void ThrottleGroup::leave(PolledFd* fd) noexcept {
    if (_static) return;
    if (fd->_groupPrev)
        fd->_groupPrev->_groupNext = fd->_groupNext;
    else if (_members == fd)
        _members = fd->_groupNext;
    if (fd->_groupNext) fd->_groupNext->_groupPrev = fd->_groupPrev;
    fd->_groupPrev = fd->_groupNext = nullptr;
}

void ThrottleGroup::throttle(long events) {
    if (_static) return;
    platform::CriticalSectionGuard guard(_lock);
    for (unsigned bit = 0; bit < 32; ++bit) {
        if (!(static_cast<std::uint32_t>(events) & (1u << bit))) continue;
        if (_counts[bit]++ == 0) _throttled |= 1u << bit;
    }
}

void ThrottleGroup::release(long events) {
    if (_static) return;
    platform::CriticalSectionGuard guard(_lock);
    std::uint32_t lifted = 0;
    for (unsigned bit = 0; bit < 32; ++bit) {
        if (!(static_cast<std::uint32_t>(events) & (1u << bit)) || _counts[bit] == 0) continue;
        if (--_counts[bit] == 0) lifted |= 1u << bit;
    }
    if (!lifted) return;
    _throttled &= ~lifted;
    resumeMembers();
}

void ThrottleGroup::shutdown() {
    if (_static) return;
    platform::CriticalSectionGuard guard(_lock);
    while (PolledFd* fd = _members) {
        leave(fd);
        fd->_throttleGroup = &throttleAllGroup();
    }
}

void ThrottleGroup::resumeMembers() {
    for (PolledFd* fd = _members; fd; fd = fd->_groupNext) {
        const std::uint32_t back = fd->_suspendedEvents & ~_throttled;
        if (!back) continue;
        fd->_suspendedEvents &= ~back;
        if (fd->_ipd && fd->_ipd->hasSocket() && !fd->reselect())
            throw EventLoopException("couldn't select events for existing PolledFd");
    }
}

// --- PolledFd ---

PolledFd::~PolledFd() {
    ThrottleGroup* group = _throttleGroup;
    if (group && !group->_static) {
        platform::CriticalSectionGuard guard(group->_lock);
        group->leave(this);
    }
}

bool PolledFd::reselect() noexcept {
    const std::uint32_t throttled = _throttleGroup->neverThrottles() ? 0 : _throttleGroup->_throttled;
    return _ipd->selectEvents(static_cast<long>(_selectedMask & ~throttled & ~_suspendedEvents));
}

bool PolledFd::addEvents(long events) {
    selectEvents(static_cast<long>(_selectedMask | static_cast<std::uint32_t>(events)));
    return true;
}

void PolledFd::selectEvents(long events) {
    const std::uint32_t before = _selectedMask;
    _selectedMask = static_cast<std::uint32_t>(events);
    if (_ipd && _ipd->hasSocket() && !reselect())
        throw EventLoopException("couldn't select events for existing PolledFd");
    // A close seen while FD_CLOSE was not selected is reported once only by
    // the socket: kept pending, it is served again once selected again.
    if ((_pendingEvents & _selectedMask & ~before & platform::FD_CLOSE) && _ipd) platform::WSASetEvent(_ipd->event());
}

void PolledFd::setThrottleGroup(ThrottleGroup* group) {
    if (!group) group = &ThrottleGroup::defaultGroup();
    if (group == _throttleGroup) return;
    ThrottleGroup* old = _throttleGroup;
    if (!old->_static) {
        platform::CriticalSectionGuard guard(old->_lock);
        old->leave(this);
    }
    _throttleGroup = group;
    if (!group->_static) {
        platform::CriticalSectionGuard guard(group->_lock);
        group->join(this);
    }
    if (_suspendedEvents) {
        _suspendedEvents = 0;
        if (_ipd && _ipd->hasSocket() && !reselect())
            throw EventLoopException("couldn't select events for existing PolledFd");
    }
}

bool PolledFd::applyThrottle() {
    ThrottleGroup* group = _throttleGroup;
    if (group->neverThrottles()) return true;
    if (!group->_static) group->_lock.enter();
    const std::uint32_t throttled = group->_throttled;
    bool serve = true;
    if (throttled & _pendingEvents) {
        _suspendedEvents |= throttled & _selectedMask;
        if (_ipd && _ipd->hasSocket() && !_ipd->selectEvents(static_cast<long>(_selectedMask & ~throttled))) {
            if (!group->_static) group->_lock.leave();
            throw EventLoopException("couldn't select events for existing PolledFd");
        }
        _pendingEvents &= ~throttled;
        serve = _pendingEvents != 0;
    }
    if (!group->_static) group->_lock.leave();
    return serve;
}

void PolledFd::crashLogDescribe(CrashLogOutput&) const noexcept {}

void PolledFd::after_add() {
    if (!_ipd || !_ipd->hasSocket()) return;
    unsigned long nonBlocking = 1;
    if (platform::ioctlsocket(_ipd->socket(), platform::FIONBIO_CMD, &nonBlocking) != 0) {
        const int code = platform::WSAGetLastError();
        if (code == platform::WSAEINVAL) return;
        char text[64];
        std::snprintf(text, sizeof text, "can't change FIONBIO: winsock error %d", code);
        throw PollableDescriptorException(text);
    }
}

void PolledFd::removed(PollableDescriptorRef ipd) {
    ipd.reset();
}

void PolledFdCrashLogNotation::describe(CrashLogOutput& out) const noexcept {
    out.hexDump("PolledFd object", _fd, 512);
    _fd->crashLogDescribe(out);
    out.write("\r\n");
}

}  // namespace morvex
