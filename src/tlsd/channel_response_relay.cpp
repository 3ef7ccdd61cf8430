#include "tlsd/channel_response_relay.h"

#include <algorithm>
#include <vector>

#include "net/in_thread_actor.h"
#include "net/tcp_outbound.h"
#include "tlsd/async_fwd_tcp_channel.h"
#include "tlsd/fwd_client_connection.h"

namespace morvex {

void ChannelResponseRelay::deliverResponse(std::string_view data) {
    if (data.empty()) return;
    bool post;
    {
        std::lock_guard<std::mutex> guard(_handOverLock);
        _handOver.append(data.data(), data.size());
        post = !_flushPosted;
        _flushPosted = true;
    }
    _inFlight.fetch_add(data.size(), std::memory_order_relaxed);
    if (post) InThreadFunctionNowait::post(_loop, [self = shared_from_this()] { self->flushToChannel(); });
}

void ChannelResponseRelay::flushToChannel() {
    BlockChain batch;
    {
        std::lock_guard<std::mutex> guard(_handOverLock);
        batch.swap(_handOver);
        _flushPosted = false;
    }
    // A loop that no longer runs hands the function to the posting thread:
    // the channel is gone by then, never touch it from there.
    if (_loop.inLoopThread() && _channel != nullptr) {
        _channel->writeResponse(batch);
    } else {
        written(batch.size());
    }
}

void ChannelResponseRelay::enqueue(FwdClientConnection* connection) {
    _answers.push_back(connection);
}

void ChannelResponseRelay::remove(FwdClientConnection* connection) {
    auto it = std::find(_answers.begin(), _answers.end(), connection);
    if (it == _answers.end()) return;
    bool wasFirst = it == _answers.begin();
    _answers.erase(it);
    if (wasFirst && !_detached.load(std::memory_order_acquire) && !_answers.empty()) _answers.front()->setPaused(false);
}

bool ChannelResponseRelay::mustWaitForRoom() {
    if (_inFlight.load(std::memory_order_acquire) < kHighWatermark) return false;
    _waitingForRoom.store(true, std::memory_order_seq_cst);
    if (_inFlight.load(std::memory_order_seq_cst) >= kHighWatermark) return true;
    // The daemon made room meanwhile. If the channel's side already took the
    // flag, its resume is on the way: wait for it.
    return !_waitingForRoom.exchange(false, std::memory_order_seq_cst);
}

void ChannelResponseRelay::written(std::size_t n) {
    if (n == 0) return;
    std::size_t before = _inFlight.fetch_sub(n, std::memory_order_seq_cst);
    std::size_t left = before >= n ? before - n : 0;
    if (left > kLowWatermark || !_waitingForRoom.load(std::memory_order_seq_cst)) return;
    if (!_waitingForRoom.exchange(false, std::memory_order_seq_cst) || _outboundLoop == nullptr) return;
    InThreadFunctionNowait::post(*_outboundLoop, [self = shared_from_this()] { self->resumeFirst(); });
}

bool ChannelResponseRelay::mustHoldInput() {
    if (_requestBytes.load(std::memory_order_acquire) < kHighWatermark) return false;
    _inputHeld.store(true, std::memory_order_seq_cst);
    if (_requestBytes.load(std::memory_order_seq_cst) >= kHighWatermark) return true;
    // Sent meanwhile: if the sending side already took the flag, its resume
    // is on the way.
    return !_inputHeld.exchange(false, std::memory_order_seq_cst);
}

void ChannelResponseRelay::requestBytesSent(std::size_t n) {
    if (n == 0) return;
    std::size_t before = _requestBytes.fetch_sub(n, std::memory_order_seq_cst);
    std::size_t left = before >= n ? before - n : 0;
    if (left > kLowWatermark || !_inputHeld.load(std::memory_order_seq_cst)) return;
    if (!_inputHeld.exchange(false, std::memory_order_seq_cst)) return;
    InThreadFunctionNowait::post(_loop, [self = shared_from_this()] {
        if (self->_loop.inLoopThread() && self->_channel != nullptr) self->_channel->resumeInput();
    });
}

void ChannelResponseRelay::resumeFirst() {
    if (!_outboundLoop->inLoopThread()) return;
    if (!_answers.empty()) _answers.front()->setPaused(false);
}

void ChannelResponseRelay::detach() {
    _channel = nullptr;
    _detached.store(true, std::memory_order_release);
    if (_outboundLoop == nullptr) return;
    InThreadFunctionNowait::post(*_outboundLoop, [self = shared_from_this()] {
        if (!self->_outboundLoop->inLoopThread()) return;
        // Each ends and leaves the queue on its own; the copy keeps the walk
        // valid meanwhile.
        std::vector<FwdClientConnection*> connections(self->_answers.begin(), self->_answers.end());
        for (FwdClientConnection* connection : connections) connection->terminateExternally(true);
    });
}

}  // namespace morvex
