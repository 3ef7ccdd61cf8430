#include "net/tcp_channel_loop.h"

#include <ostream>

#include "net/tcp_channel.h"

namespace morvex {

void IdleThreadTrimmer::callback() {
    // Stop idle threads down to half when more are idle than were in use at
    // the previous expiry; the pool is always empty here, so only the
    // bookkeeping remains.
    if (_loop._idleThreads > _loop._lowMark) _loop._idleThreads /= 2;
    _loop._lowMark = _loop._threadsInUse;
    if (_loop._idleThreads > 0) _loop.addTimeout(this, kPeriodMs);
}

void IdleThreadTrimmer::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.write("In Base_TcpChannelLoop::IdleThreadTrimmer\r\n");
    Timeout::crashLogDescribe(out);
}

TcpChannelLoop::TcpChannelLoop(TcpChannelLoop* parent) : _parent(parent), _trimmer(*this) {}

TcpChannelLoop::~TcpChannelLoop() {
    removeTimeout(&_trimmer);
}

void TcpChannelLoop::addSubordinate(TcpChannelLoop* loop) {
    loop->_parent = this;
    _subordinates.push_back(loop);
}

void TcpChannelLoop::linkChannel(TcpChannel* channel) noexcept {
    channel->_listPrev = nullptr;
    channel->_listNext = _channels;
    if (_channels) _channels->_listPrev = channel;
    _channels = channel;
    ++_channelCount;
}

void TcpChannelLoop::unlinkChannel(TcpChannel* channel) noexcept {
    if (channel->_listPrev) {
        channel->_listPrev->_listNext = channel->_listNext;
    } else if (_channels == channel) {
        _channels = channel->_listNext;
    } else {
        return;  // not linked
    }
    if (channel->_listNext) channel->_listNext->_listPrev = channel->_listPrev;
    channel->_listPrev = channel->_listNext = nullptr;
    --_channelCount;
}

}  // namespace morvex
