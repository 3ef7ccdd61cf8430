#include "net/tcp_channel_acceptor.h"

#include <ctime>
#include <exception>
#include <ostream>

#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/tcp_channel.h"
#include "net/tcp_channel_loop.h"
#include "platform/error_codes.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("TcpChannel");
}

// Carries one accepted connection to a subordinate loop, creates the channel
// there, then travels back to the listening loop with the outcome. Frees
// itself at the end of the round trip.
class SendNewTcpChannelToLoopActor final : public InThreadActor {
public:
    SendNewTcpChannelToLoopActor(TcpChannelAcceptor& acceptor, TcpChannelLoop& target,
                                 const PollableDescriptorRef& socket, const SocketAddress& peer)
        : _acceptor(acceptor), _target(target), _socket(socket), _peer(peer) {}

    void callback() override {
        if (!_returning) {
            _created = _acceptor.createOnLoop(_target, _socket, _peer);
            _socket.reset();
            _returning = true;
            // Nothing may touch this object once it is posted back.
            TcpChannelAcceptor& acceptor = _acceptor;
            if (!acceptor._tcloop.postNowait(this)) delete this;
            return;
        }
        _acceptor.handOverDone(_created);
        delete this;
    }

private:
    TcpChannelAcceptor& _acceptor;
    TcpChannelLoop& _target;
    PollableDescriptorRef _socket;
    SocketAddress _peer;
    bool _returning = false;
    bool _created = false;
};

void TcpChannelAcceptorReenableAfterOutOfFds::callback() {
    _acceptor._disabledReasons &= ~TcpChannelAcceptor::kOutOfDescriptors;
    _acceptor.maybeReenable();
}

void TcpChannelAcceptorReenableAfterOutOfFds::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.write("In TcpChannelAcceptorReenableAfterOutOfFds\r\n");
    Timeout::crashLogDescribe(out);
}

TcpChannelAcceptor::TcpChannelAcceptor(TcpChannelLoop& listeningLoop)
    : _tcloop(listeningLoop), _roundRobin(static_cast<std::uint32_t>(std::time(nullptr))), _reenableTimer(*this) {}

TcpChannelAcceptor::~TcpChannelAcceptor() {
    stopListening();
}

void TcpChannelAcceptor::listen(const PollableDescriptorRef& listeningSocket) {
    _listenSocket = listeningSocket;
    _stopped = false;
    _disabledReasons = 0;
    _tcloop.addPolledFd(this, _listenSocket.get(), initialEventMask());
}

void TcpChannelAcceptor::stopListening() {
    _stopped = true;
    _tcloop.removeTimeout(&_reenableTimer);
    if (isRegistered()) _tcloop.removePolledFd(this);
}

long TcpChannelAcceptor::initialEventMask() const {
    return platform::FD_ACCEPT;
}

bool TcpChannelAcceptor::handleEvents(const PollableDescriptorRef&) {
    s_log.debug("Before accept");
    for (;;) {
        SocketAddress peer;
        PollableDescriptorRef socket = acceptConnection(_listenSocket, peer);
        if (!socket) {
            std::uint32_t code = platform::GetLastError();
            if (code == platform::WSAEWOULDBLOCK) return false;
            if (code == platform::WSAECONNABORTED || code == platform::WSAECONNRESET) continue;
            if (code == platform::WSAEMFILE || code == platform::WSAENOBUFS) {
                s_log.errorStream() << "Temporary error on accept socket, pausing: " << platform::ErrorText(code);
                _disabledReasons |= kOutOfDescriptors;
                _tcloop.addTimeout(&_reenableTimer, reenableDelayMs());
                return true;
            }
            s_log.errorStream() << "Fatal error on accept socket: " << platform::ErrorText(code);
            _stopped = true;
            return true;
        }
        ++_activeCount;
        setNoDelay(socket->socket());
        bool runningLow = descriptorsRunningLow(socket->socket());
        dispatch(socket, peer);
        if (runningLow) {
            // This one is served; further accepts wait until descriptors
            // come back, so connections already accepted can still reach
            // their destinations.
            s_log.error("Few descriptors left (descriptor %d accepted), pausing accepts",
                        static_cast<int>(socket->socket()));
            _disabledReasons |= kOutOfDescriptors;
            _tcloop.addTimeout(&_reenableTimer, reenableDelayMs());
            return true;
        }
        if (tooManyActive(_activeCount)) _disabledReasons |= kTooManyActive;
        if (tooManyInFlight(_inflightSubordinateAccepts)) _disabledReasons |= kTooManyInFlight;
        if (_disabledReasons != 0) return true;  // the loop drops the socket; we keep our reference
    }
}

void TcpChannelAcceptor::dispatch(const PollableDescriptorRef& socket, const SocketAddress& peer) {
    if (_tcloop.subordinates().empty()) {
        if (!createOnLoop(_tcloop, socket, peer)) channelGone();
        return;
    }
    TcpChannelLoop* loop = pickSubordinateLoop();
    ++_inflightSubordinateAccepts;
    auto* actor = new SendNewTcpChannelToLoopActor(*this, *loop, socket, peer);
    if (!loop->postNowait(actor)) {
        delete actor;
        --_inflightSubordinateAccepts;
        socket->closeSocket();
        channelGone();
    }
}

bool TcpChannelAcceptor::createOnLoop(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                                      const SocketAddress& peer) {
    s_log.debug("Creating polled fd from factory");
    TcpChannel* channel = nullptr;
    try {
        channel = createChannel(loop, socket, peer);
        if (!channel) {
            socket->closeSocket();
            return false;
        }
        channel->attach(this, &loop, socket);
        return true;
    } catch (const std::exception& e) {
        s_log.error("Could not set up accepted connection: %s", e.what());
        // A channel that got as far as its destruction notice reports its own end.
        bool noticed = channel && channel->_destructionNotice;
        delete channel;
        socket->closeSocket();
        return noticed;
    }
}

void TcpChannelAcceptor::handOverDone(bool created) {
    --_inflightSubordinateAccepts;
    if (!created) channelGone();
    if ((_disabledReasons & kTooManyInFlight) && !tooManyInFlight(_inflightSubordinateAccepts)) {
        _disabledReasons &= ~kTooManyInFlight;
    }
    maybeReenable();
}

void TcpChannelAcceptor::channelGone() {
    if (_activeCount > 0) --_activeCount;
    if ((_disabledReasons & kTooManyActive) && !tooManyActive(_activeCount)) _disabledReasons &= ~kTooManyActive;
    maybeReenable();
}

void TcpChannelAcceptor::maybeReenable() {
    // While a removal is still pending, removed() comes back here.
    if (_disabledReasons != 0 || _stopped || !_listenSocket || isRegistered()) return;
    _tcloop.addPolledFd(this, _listenSocket.get(), initialEventMask());
}

void TcpChannelAcceptor::removed(PollableDescriptorRef) {
    maybeReenable();
}

TcpChannel* TcpChannelAcceptor::createChannel(TcpChannelLoop& loop, const PollableDescriptorRef& socket,
                                              const SocketAddress& peer) {
    return channelFactory(loop, socket, peer);
}

void TcpChannelAcceptor::deleteChannel(TcpChannel* channel) {
    delete channel;
}

bool TcpChannelAcceptor::tooManyActive(std::uint32_t) {
    return false;
}

bool TcpChannelAcceptor::tooManyInFlight(std::uint32_t inflight) {
    return inflight > 3 * static_cast<std::uint32_t>(_tcloop.subordinates().size()) + 2;
}

TcpChannelLoop* TcpChannelAcceptor::pickSubordinateLoop() {
    const auto& loops = _tcloop.subordinates();
    if (loops.size() == 1) return loops[0];
    return loops[_roundRobin++ % loops.size()];
}

void TcpChannelAcceptor::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.write("TcpChannelAcceptor: ");
    out.printf("%p", static_cast<const void*>(this));
    out.printf(", tcloop=%p", static_cast<const void*>(&_tcloop));
    out.printf(", _disabledReasons=%u", _disabledReasons);
    out.printf(", _activeCount=%u", _activeCount);
    out.printf(", _inflightSubordinateAccepts=%u", _inflightSubordinateAccepts);
}

}  // namespace morvex
