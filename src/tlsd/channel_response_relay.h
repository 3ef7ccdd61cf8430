// ChannelResponseRelay: the counted link between one inbound channel and the
// outbound connections made for its requests.
//
// - Order: answers reach the daemon in request order, whole. Connections
//   queue up in the order their requests were started; only the first one
//   hands its answer over, the others are paused (their destinations are held
//   back by the bounded ring) until every connection before them has ended.
// - Back-pressure: bytes copied for the daemon but not yet written to it are
//   counted. Above kHighWatermark the answering connection stops taking bytes
//   from its ring, so its ring fills and reading from the destination stops;
//   once the daemon has taken the count below kLowWatermark it goes on.
// - Request bytes: the other way round, bytes of the daemon's requests that
//   were taken from the channel but not yet written to a destination (queued
//   while a name resolves, or handed to a connection) are counted too. Above
//   kHighWatermark the channel stops taking bytes from its receive ring, so
//   the ring fills and reading from the daemon stops; below kLowWatermark it
//   goes on. A large upload so costs bounded memory.
// - Lifetime: outbound connections may outlive the channel. Each keeps the
//   relay alive; the channel detaches when it goes, which drops late bytes
//   and ends the connections that still wait for their turn or their room.
//
// Threads: the queue and the pause decisions belong to the outbound loop's
// thread; the channel link to the channel's loop thread; the counters and the
// hand-over buffer are shared under their own lock or atomics.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/buffer_block_pool.h"
#include "tlsd/proxy_response_callback.h"

namespace morvex {

class AsyncFwdTcpChannel;
class EventLoop;
class FwdClientConnection;
class TcpOutboundLoop;

class ChannelResponseRelay final : public ProxyResponseCallback,
                                   public std::enable_shared_from_this<ChannelResponseRelay> {
public:
    // 256 KiB keeps a 1 Gbit/s-class loopback relay busy across one scheduling
    // round of the channel's thread (several 64 KiB socket writes), while 300
    // connections at the mark still cost under 100 MiB. 64 KiB (one output
    // block, four ring loads) left in flight when reading resumes means the
    // daemon's socket never runs dry while the destination wakes up again.
    static constexpr std::size_t kHighWatermark = 256 * 1024;
    static constexpr std::size_t kLowWatermark = 64 * 1024;

    ChannelResponseRelay(EventLoop& channelLoop, TcpOutboundLoop* outboundLoop, AsyncFwdTcpChannel* channel) noexcept
        : _loop(channelLoop), _outboundLoop(outboundLoop), _channel(channel) {}

    // Outbound thread: copies the bytes for the daemon into pool blocks,
    // which the channel's output then adopts: the one copy an answer's bytes
    // make between threads. Pieces that arrive while an earlier hand-over is
    // still pending ride along with it: one wake-up of the channel's loop
    // carries them all.
    void deliverResponse(std::string_view data) override;

    // --- outbound loop thread ---
    // A connection starts: it answers after every connection enqueued before.
    void enqueue(FwdClientConnection* connection);
    // A connection ends: the next one in line may answer.
    void remove(FwdClientConnection* connection);
    bool isFirst(const FwdClientConnection* connection) const noexcept {
        return !_answers.empty() && _answers.front() == connection;
    }
    // True when the answering connection must wait for the daemon to take
    // bytes; it is then resumed (setPaused(false)) from the channel's side.
    bool mustWaitForRoom();
    std::size_t queued() const noexcept { return _answers.size(); }

    // --- channel loop thread ---
    // The daemon took n bytes.
    void written(std::size_t n);
    // The channel goes: no byte reaches it any more and its outbound
    // connections are ended.
    void detach();

    // Any thread: the channel has gone.
    bool detached() const noexcept { return _detached.load(std::memory_order_acquire); }

    std::size_t inFlight() const noexcept { return _inFlight.load(std::memory_order_relaxed); }

    // --- request bytes ---
    // Channel thread: n more request bytes are held on their way out.
    void requestBytesQueued(std::size_t n) noexcept { _requestBytes.fetch_add(n, std::memory_order_seq_cst); }
    // Any thread: n of them were written or dropped. Below the low mark a
    // channel that holds its input is resumed (resumeInput on its loop).
    void requestBytesSent(std::size_t n);
    // Channel thread: true when the channel must take no more input for now;
    // it is then resumed from the sending side.
    bool mustHoldInput();
    std::size_t requestBytes() const noexcept { return _requestBytes.load(std::memory_order_relaxed); }

private:
    void flushToChannel();
    void resumeFirst();

    EventLoop& _loop;
    TcpOutboundLoop* _outboundLoop;
    AsyncFwdTcpChannel* _channel;

    std::deque<FwdClientConnection*> _answers;

    std::mutex _handOverLock;
    BlockChain _handOver;  // copied bytes not yet taken by the channel's loop
    bool _flushPosted = false;

    std::atomic<bool> _detached{false};
    std::atomic<std::size_t> _inFlight{0};
    std::atomic<bool> _waitingForRoom{false};
    std::atomic<std::size_t> _requestBytes{0};
    std::atomic<bool> _inputHeld{false};
};

}  // namespace morvex
