#include "net/wait_set.h"

#include <utility>

#include "net/extra_event_waiter_thread.h"
#include "net/polled_fd.h"

namespace morvex {

using namespace platform;

std::uint32_t WaitSet::wait(std::uint32_t timeoutMs) noexcept {
    signalWritable();
    return WSAWaitForMultipleEvents(_count, _handles, false, timeoutMs, false);
}

void WaitSet::signalWritable() noexcept {
    for (std::uint32_t i = 0; i < _count; ++i) signalWritableSlot(i);
}

void WaitSet::signalWritableSlot(std::uint32_t slot) noexcept {
    const PolledFd* fd = _entries[slot].fd;
    if (!fd) return;
    const long mask = fd->selectedEvents();
    const PollableDescriptor* ipd = fd->descriptor();
    if ((mask & FD_WRITE) && (mask & FD_CLOSE) && ipd && ipd->hasSocket() && ipd->writableHint())
        WSASetEvent(_handles[slot]);
}

bool WaitSet::interestedInAccept(std::uint32_t slot) const noexcept {
    const Entry& e = _entries[slot];
    if (e.fd) return (e.fd->selectedEvents() & FD_ACCEPT) != 0;
    if (e.waiter) {
        const WaitSet& below = e.waiter->_set;
        for (std::uint32_t i = 0; i < below._count; ++i)
            if (below.interestedInAccept(i)) return true;
    }
    return false;
}

void WaitSet::place(std::uint32_t slot, WSAEVENT handle, const Entry& entry) noexcept {
    _handles[slot] = handle;
    _entries[slot] = entry;
    if (entry.fd) {
        entry.fd->_waitSet = this;
        entry.fd->_slot = slot;
    } else if (entry.waiter) {
        entry.waiter->_parentSet = this;
        entry.waiter->_parentSlot = slot;
    }
}

void WaitSet::reorderForAccept() noexcept {
    std::uint32_t lo = 0;
    std::uint32_t hi = _count;
    for (;;) {
        while (lo < hi && interestedInAccept(lo)) ++lo;
        while (hi > lo && !interestedInAccept(hi - 1)) --hi;
        if (hi - lo < 2) return;
        // lo is not interested, hi - 1 is: swap them.
        const Entry a = _entries[lo];
        const WSAEVENT ha = _handles[lo];
        place(lo, _handles[hi - 1], _entries[hi - 1]);
        place(hi - 1, ha, a);
        ++lo;
        --hi;
    }
}

std::uint32_t WaitSet::append(WSAEVENT handle, const Entry& entry) noexcept {
    std::uint32_t slot = _count;
    if (_count > 0 && _entries[_count - 1].empty()) {
        // Keep a trailing slot without entry last.
        place(_count, _handles[_count - 1], _entries[_count - 1]);
        slot = _count - 1;
    }
    place(slot, handle, entry);
    ++_count;
    return slot;
}

void WaitSet::removeSlot(std::uint32_t slot) noexcept {
    const std::uint32_t last = _count - 1;
    if (slot != last) {
        if (_entries[last].empty()) {
            const std::uint32_t src = last - 1;
            if (src != slot) place(slot, _handles[src], _entries[src]);
            place(src, _handles[last], _entries[last]);
        } else {
            place(slot, _handles[last], _entries[last]);
        }
    }
    _entries[last] = Entry{};
    _handles[last] = WSA_INVALID_EVENT;
    --_count;
    reorderForAccept();
}

}  // namespace morvex
