// TcpChannelAcceptor: a listening socket on the listening TcpChannelLoop. It
// accepts every pending connection per readiness event and hands each one to
// a channel loop: created right there when the listening loop has no
// subordinate loops, else posted round robin to a subordinate loop (at most
// 3 x loops + 2 hand-overs in flight). Out of descriptors or buffers pauses
// accepting for 4000 ms.
#pragma once

#include <cstdint>

#include "net/pollable_descriptor.h"
#include "net/polled_fd.h"
#include "net/socket_ops.h"
#include "net/timeout.h"

namespace morvex {

class TcpChannel;
class TcpChannelAcceptor;
class TcpChannelLoop;

// Clears disabled reason 1 after a pause for lack of descriptors.
class TcpChannelAcceptorReenableAfterOutOfFds : public OneShotTimeout {
public:
    explicit TcpChannelAcceptorReenableAfterOutOfFds(TcpChannelAcceptor& acceptor) noexcept : _acceptor(acceptor) {}
    void callback() override;
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;

private:
    TcpChannelAcceptor& _acceptor;
};

class TcpChannelAcceptor : public PolledFd {
public:
    // _disabledReasons bits.
    static constexpr std::uint32_t kOutOfDescriptors = 1;
    static constexpr std::uint32_t kTooManyActive = 2;
    static constexpr std::uint32_t kTooManyInFlight = 4;
    static constexpr std::uint64_t kReenableDelayMs = 4000;

    explicit TcpChannelAcceptor(TcpChannelLoop& listeningLoop);
    ~TcpChannelAcceptor() override;

    // Registers the listening socket with the listening loop (loop thread,
    // or before the loop runs). The acceptor keeps its own reference.
    void listen(const PollableDescriptorRef& listeningSocket);
    // Takes the listening socket off the loop for good.
    void stopListening();

    TcpChannelLoop& listeningLoop() const noexcept { return _tcloop; }
    std::uint32_t disabledReasons() const noexcept { return _disabledReasons; }
    std::uint32_t activeCount() const noexcept { return _activeCount; }
    std::uint32_t inflightSubordinateAccepts() const noexcept { return _inflightSubordinateAccepts; }
    bool isListening() const noexcept { return isRegistered(); }

    // --- virtual operations ---

    // "TcpChannelAcceptor: ", ", tcloop=%p", ", _disabledReasons=", ...
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    long initialEventMask() const override;
    // The accept loop.
    bool handleEvents(const PollableDescriptorRef& ipd) override;
    // Keeps the listening socket when the loop drops it (disabled).
    void removed(PollableDescriptorRef ipd) override;

    // Creates the channel for a new connection on loop (the loop that will
    // own it, whose thread is calling); calls channelFactory.
    virtual TcpChannel* createChannel(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                                      const SocketAddress& peer);
    // Makes the channel for a new connection, or returns null to refuse it
    // (the socket is then closed). loop is the loop that will own it.
    virtual TcpChannel* channelFactory(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                                       const SocketAddress& peer) = 0;
    // Deletes a finished channel (on the channel's loop thread).
    virtual void deleteChannel(TcpChannel* channel);
    virtual bool tooManyActive(std::uint32_t activeCount);
    virtual bool tooManyInFlight(std::uint32_t inflight);
    // The only subordinate loop, or round robin over them.
    virtual TcpChannelLoop* pickSubordinateLoop();
    // How long accepting pauses when descriptors or buffers ran out.
    virtual std::uint64_t reenableDelayMs() const { return kReenableDelayMs; }

private:
    friend class TcpChannel;
    friend class TcpChannelAcceptorReenableAfterOutOfFds;
    friend class SendNewTcpChannelToLoopActor;
    friend struct TcpChannelNoticeAccess;

    // Channel creation on the calling loop's thread (logs, factory, attach).
    // False when no channel took the connection (its socket is closed).
    bool createOnLoop(TcpChannelLoop& loop, const PollableDescriptorRef& socket, const SocketAddress& peer);
    // Listening loop: a hand-over came back / a channel went away.
    void handOverDone(bool created);
    void dispatch(const PollableDescriptorRef& socket, const SocketAddress& peer);
    void channelGone();
    // Registers the listening socket again once no reason is left.
    void maybeReenable();

    TcpChannelLoop& _tcloop;
    std::uint32_t _disabledReasons = 0;
    std::uint32_t _activeCount = 0;
    std::uint32_t _inflightSubordinateAccepts = 0;
    std::uint32_t _roundRobin;
    PollableDescriptorRef _listenSocket;
    TcpChannelAcceptorReenableAfterOutOfFds _reenableTimer;
    bool _stopped = false;
};

}  // namespace morvex
