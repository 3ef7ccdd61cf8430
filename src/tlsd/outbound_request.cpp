#include "tlsd/outbound_request.h"

#include "net/in_thread_actor.h"
#include "net/tcp_outbound.h"
#include "tlsd/channel_response_relay.h"
#include "tlsd/fwd_client_connection.h"

namespace morvex {

void OutboundRequest::append(const char* data, std::size_t n) {
    if (n == 0) return;
    bool post = false;
    bool gone;
    {
        std::lock_guard<std::mutex> guard(_lock);
        gone = _gone;
        if (!gone) {
            _incoming.append(data, n);
            post = !_posted;
            _posted = true;
        }
    }
    if (gone) _relay->requestBytesSent(n);
    if (post) this->post();
}

void OutboundRequest::end() {
    bool post;
    {
        std::lock_guard<std::mutex> guard(_lock);
        _ended = true;
        post = !_posted && !_gone;
        _posted = true;
    }
    if (post) this->post();
}

void OutboundRequest::post() {
    InThreadFunctionNowait::post(_loop, [self = shared_from_this()] {
        // A loop that no longer runs hands the function back to the caller's
        // thread: the connection belongs to the outbound thread only.
        if (!self->_loop.inLoopThread()) return;
        if (self->_connection != nullptr) self->_connection->pumpRequest();
    });
}

void OutboundRequest::attach(FwdClientConnection* connection) {
    _connection = connection;
}

void OutboundRequest::detach() {
    _connection = nullptr;
    std::size_t dropped;
    {
        std::lock_guard<std::mutex> guard(_lock);
        _gone = true;
        dropped = _incoming.size();
        BlockChain none;
        _incoming.swap(none);
    }
    _relay->requestBytesSent(dropped);
}

bool OutboundRequest::take(BlockChain& out) {
    std::lock_guard<std::mutex> guard(_lock);
    _incoming.swap(out);
    _posted = false;
    return _ended;
}

}  // namespace morvex
