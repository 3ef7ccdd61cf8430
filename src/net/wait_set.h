// WaitSet: up to 64 event handles in the exact array form that
// WSAWaitForMultipleEvents takes, with what each slot stands for: a PolledFd,
// an ExtraEventWaiterThread (the slot's handle is its ready event), or
// neither (a waiter's own command event).
#pragma once

#include <cstdint>

#include "platform/winsock.h"

namespace morvex {

class PolledFd;
class ExtraEventWaiterThread;

struct WaitSet {
    static constexpr std::uint32_t kMaxSlots = platform::WSA_MAXIMUM_WAIT_EVENTS;

    struct Entry {
        PolledFd* fd = nullptr;
        ExtraEventWaiterThread* waiter = nullptr;
        bool empty() const noexcept { return !fd && !waiter; }
    };

    // signalWritable(), then waits. Returns the lowest signalled index,
    // WSA_WAIT_TIMEOUT or WSA_WAIT_FAILED.
    std::uint32_t wait(std::uint32_t timeoutMs) noexcept;
    // Signals the events of slots whose socket was writable at its last send
    // and that watch FD_WRITE and FD_CLOSE (FD_WRITE would not fire again).
    // Loop thread only: it reads the PolledFds.
    void signalWritable() noexcept;
    void signalWritableSlot(std::uint32_t slot) noexcept;

    // Whether the entry in the slot, or anything below it, watches FD_ACCEPT.
    bool interestedInAccept(std::uint32_t slot) const noexcept;
    // Moves the entries interested in FD_ACCEPT to the front, so that the
    // lowest-index rule of the wait serves listening sockets first.
    void reorderForAccept() noexcept;
    // Puts an entry into a slot and records the slot in it.
    void place(std::uint32_t slot, platform::WSAEVENT handle, const Entry& entry) noexcept;
    // Appends an entry; a trailing slot without entry stays last.
    std::uint32_t append(platform::WSAEVENT handle, const Entry& entry) noexcept;
    // Removes the entry in the slot: the last real entry takes its place (a
    // trailing slot without entry stays last), then reorders.
    void removeSlot(std::uint32_t slot) noexcept;

    std::uint32_t _count = 0;
    ExtraEventWaiterThread* _owner = nullptr;  // null for the loop's own set
    platform::WSAEVENT _handles[kMaxSlots] = {};
    Entry _entries[kMaxSlots] = {};
};

}  // namespace morvex
