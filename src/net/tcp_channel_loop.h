// TcpChannelLoop: an event loop with the bookkeeping for the TCP channels on
// it. The listening loop also holds the subordinate loops (run by other
// threads) over which new channels are spread; a subordinate loop knows its
// parent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/event_loop.h"
#include "net/timeout.h"

namespace morvex {

class TcpChannel;
class TcpChannelLoop;

// Trims the idle TcpChannelThread pool once a period. The proxy never hands
// channels to threaded handlers, so the pool stays empty and the timer is
// never armed; the class keeps the pool's shape.
class IdleThreadTrimmer : public OneShotTimeout {
public:
    static constexpr std::uint64_t kPeriodMs = 60000;
    explicit IdleThreadTrimmer(TcpChannelLoop& loop) noexcept : _loop(loop) {}
    void callback() override;
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;

private:
    TcpChannelLoop& _loop;
};

class TcpChannelLoop : public EventLoop {
public:
    // parent: the listening loop of a subordinate loop, or null.
    explicit TcpChannelLoop(TcpChannelLoop* parent = nullptr);
    ~TcpChannelLoop() override;

    TcpChannelLoop* parent() const noexcept { return _parent; }

    // Listening loop: adds a subordinate loop (sets its parent). Done at
    // set-up, before the acceptor accepts.
    void addSubordinate(TcpChannelLoop* loop);
    const std::vector<TcpChannelLoop*>& subordinates() const noexcept { return _subordinates; }

    // The channels on this loop (loop thread only).
    void linkChannel(TcpChannel* channel) noexcept;
    void unlinkChannel(TcpChannel* channel) noexcept;
    std::size_t channelCount() const noexcept { return _channelCount; }
    TcpChannel* firstChannel() const noexcept { return _channels; }

    // The idle TcpChannelThread pool (empty in this program).
    std::uint32_t idleThreadCount() const noexcept { return _idleThreads; }
    std::uint32_t threadsInUse() const noexcept { return _threadsInUse; }

private:
    friend class IdleThreadTrimmer;

    TcpChannelLoop* _parent;
    std::vector<TcpChannelLoop*> _subordinates;
    TcpChannel* _channels = nullptr;
    std::size_t _channelCount = 0;
    std::uint32_t _idleThreads = 0;
    std::uint32_t _threadsInUse = 0;
    std::uint32_t _lowMark = 0;
    IdleThreadTrimmer _trimmer;
};

}  // namespace morvex
