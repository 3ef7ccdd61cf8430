// OutboundRequest: the hand-over of one request's later bytes (a body that
// arrives after the connection was made) from the inbound channel's thread
// to its FwdClientConnection on the outbound loop's thread.
//
// The channel appends as bytes arrive and ends it after the request's last
// byte; every append is counted in the relay's request bytes, and whatever
// never reaches the destination (the connection ended first) is counted as
// gone, so the channel's back-pressure always comes back down.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

#include "net/buffer_block_pool.h"

namespace morvex {

class ChannelResponseRelay;
class FwdClientConnection;
class TcpOutboundLoop;

class OutboundRequest : public std::enable_shared_from_this<OutboundRequest> {
public:
    OutboundRequest(TcpOutboundLoop& loop, std::shared_ptr<ChannelResponseRelay> relay) noexcept
        : _loop(loop), _relay(std::move(relay)) {}

    // --- channel thread ---
    // More request bytes; the caller counted them in the relay first.
    // Throws std::bad_alloc (nothing taken) when no block can be had.
    void append(const char* data, std::size_t n);
    // The request's last byte was appended.
    void end();

    // --- outbound loop thread ---
    // The connection that sends the bytes (null: it ended). Bytes that
    // arrive for an ended connection are dropped and counted as gone.
    void attach(FwdClientConnection* connection);
    void detach();
    // Moves what arrived into out; true once the request has ended.
    bool take(BlockChain& out);

private:
    void post();

    TcpOutboundLoop& _loop;
    std::shared_ptr<ChannelResponseRelay> _relay;
    std::mutex _lock;
    BlockChain _incoming;
    bool _ended = false;
    bool _posted = false;
    bool _gone = false;
    FwdClientConnection* _connection = nullptr;  // outbound thread only
};

}  // namespace morvex
