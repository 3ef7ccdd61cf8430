// TcpOutbound: construction, the operations other code calls, the loop's
// entry into a step, and the defaults of the virtual operations. The
// connect and handshake, the I/O step and the end of a connection are in
// tcp_outbound_connect.cpp, tcp_outbound_io.cpp and tcp_outbound_end.cpp.
#include "net/tcp_outbound.h"

#include "net/in_thread_actor.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

}  // namespace

// Runs the connect on the loop's thread for TcpOutbound::connect.
class TcpOutboundConnectActor final : public InThreadActor {
public:
    TcpOutboundConnectActor(TcpOutbound& connection, const SocketAddress& address)
        : _connection(connection), _address(address) {}
    void callback() override { _connection.doConnect(_address); }

private:
    TcpOutbound& _connection;
    const SocketAddress& _address;
};

class TcpOutboundTerminateExternallyActor final : public InThreadActor {
public:
    TcpOutboundTerminateExternallyActor(TcpOutbound& connection, int how) : _connection(connection), _how(how) {}
    void callback() override { _connection.terminateRequested(_how); }

private:
    TcpOutbound& _connection;
    int _how;
};

// --- TcpOutboundLoop ---

TcpOutboundLoop::~TcpOutboundLoop() = default;

void TcpOutboundLoop::addTerminating(TcpOutbound* c) noexcept {
    if (c->_onTerminatingList) return;
    c->_termPrev = nullptr;
    c->_termNext = _terminating;
    if (_terminating) _terminating->_termPrev = c;
    _terminating = c;
    c->_onTerminatingList = true;
    ++_terminatingCount;
}

void TcpOutboundLoop::removeTerminating(TcpOutbound* c) noexcept {
    if (!c->_onTerminatingList) return;
    if (c->_termPrev) {
        c->_termPrev->_termNext = c->_termNext;
    } else {
        _terminating = c->_termNext;
    }
    if (c->_termNext) c->_termNext->_termPrev = c->_termPrev;
    c->_termPrev = c->_termNext = nullptr;
    c->_onTerminatingList = false;
    --_terminatingCount;
}

// --- timers ---

void TcpOutbound::IoTimeout::callback() {
    _owner.onTimeout();
}
void TcpOutbound::ConnectFinishedEarlyActor::callback() {
    _owner.connectFinishedEarly();
}
void TcpOutbound::ConnectFailedEarlyActor::callback() {
    _owner.connectFailedEarly();
}
void TcpOutbound::PostedConnect::callback() {
    _owner.doConnect(_owner._peer);
}

// --- TcpOutbound ---

TcpOutbound::TcpOutbound(TcpOutboundLoop& loop, std::string host, const SslContext* sslContext)
    : _timer(*this),
      _toloopp(loop),
      _sslContext(sslContext),
      _host(std::move(host)),
      _connectFinishedEarly(*this),
      _connectFailedEarly(*this),
      _postedConnect(*this) {}

TcpOutbound::~TcpOutbound() {
    _toloopp.removeTimeout(&_timer);
    _toloopp.removeTimeout(&_connectFinishedEarly);
    _toloopp.removeTimeout(&_connectFailedEarly);
    if (isRegistered()) _toloopp.removePolledFd(this);
    _toloopp.removeTerminating(this);
    if (!_ssl.empty()) _ssl.release();
}

bool TcpOutbound::connect(const SocketAddress& address) {
    TcpOutboundConnectActor actor(*this, address);
    return _toloopp.runInThreadOrFail(&actor);
}

bool TcpOutbound::connectNowait(const SocketAddress& address) {
    _peer = address;
    return _toloopp.postNowait(&_postedConnect);
}

void TcpOutbound::setAsyncWriteData(const SendList& list, std::size_t index, std::size_t offset) {
    _cursor.set(list, index, offset);
}

void TcpOutbound::terminateExternally(bool immediate) {
    TcpOutboundTerminateExternallyActor actor(*this, immediate ? 2 : 1);
    _toloopp.runInThread(&actor, true);
}

void TcpOutbound::terminateRequested(int how) {
    if (how > _isTerminated) _isTerminated = how;
    // Inside a step (a callback asked) the step itself looks at the flag.
    if (_inStep || _finished) return;
    if (_tstate == kCreated) return;
    _inStep = true;
    bool end = stateStep();
    _inStep = false;
    if (end) endNow();
}

void TcpOutbound::setPaused(bool paused) {
    if (_paused == paused) return;
    _paused = paused;
    if (!paused && isRegistered() && !_inStep) _toloopp.scheduleService(this);
}

bool TcpOutbound::handleEvents(const PollableDescriptorRef& ipd) {
    _inStep = true;
    bool end;
    if (_tstate == kConnecting) {
        long ev = pendingEvents();
        int code = 0;
        if (ev & platform::FD_CONNECT) code = ipd->_evts.iErrorCode[platform::FD_CONNECT_BIT];
        if (code == 0 && (ev & platform::FD_CLOSE)) code = ipd->_evts.iErrorCode[platform::FD_CLOSE_BIT];
        if (!(ev & (platform::FD_CONNECT | platform::FD_CLOSE))) {
            _inStep = false;
            return false;
        }
        if (code != 0 || (ev & platform::FD_CONNECT) == 0) {
            report(SocketError::winsock(static_cast<std::uint32_t>(code)));
            _tstate = kFailedConnecting;
            end = true;
        } else {
            end = connectCompleted();
            if (!end) end = stateStep();
        }
    } else {
        end = stateStep();
    }
    _inStep = false;
    if (end) _toloopp.removeTimeout(&_timer);
    return end;
}

void TcpOutbound::removed(PollableDescriptorRef) {
    finish();
}

bool TcpOutbound::stateStep() {
    switch (_tstate) {
        case kHandshake:
            return handshakeStep();
        case kOpenPlain:
        case kOpenTls:
            return openStep();
        case kTlsShutdown:
            return shutdownStep();
        case kConnecting:
        case kCreated:
            if (_isTerminated == 2) {
                _tstate = kTerminated;
                return true;
            }
            return false;
        default:
            return true;
    }
}

void TcpOutbound::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("In TcpOutputLoop %p, _toloopp=%p, _tstate=%d", static_cast<const void*>(this),
               static_cast<const void*>(&_toloopp), _tstate);
    if (_cursor.hasData()) {
        _cursor.dump(out);
    } else {
        out.write(", no async write data");
    }
    out.printf(", isTerminated=%d", _isTerminated);
    out.printf(", destLoop=%p, ", static_cast<const void*>(_destLoop));
    out.printf("c/r/w/s timeouts=%u/%u/%u/%u", _connectTimeoutMs, _readTimeoutMs, _writeTimeoutMs,
               _sslShutdownTimeoutMs);
    out.write(", ");
    out.flag("paused", _paused);
    out.printf(", timeout_count=%u", _timeoutCount);
    out.write(", ");
    out.flag("ssl_shutdown_returned_zero", _sslShutdownReturnedZero);
    out.write(_ssl.empty() ? ", SSL: inactive" : ", SSL: active");
    out.write(", sni=\"");
    out.write(_sni.data(), _sni.size());
    out.write("\"");
    out.printf("serr: %u/%u", _serr.kind, _serr.detail);
    out.printf(", _wantEvents=%ld", _wantEvents);
    out.printf(", _setEvents=%ld", _setEvents);
    out.write(", rbuf: ");
    _rbuf.dump(out);
}

void TcpOutbound::connectStarting() {}

void TcpOutbound::connectionMade() {}

bool TcpOutbound::serverCertificateAcceptable() {
    return true;
}

void TcpOutbound::setupSslSession(SslSession&, const SslContext&, const std::string&) {}

void TcpOutbound::onError(const SocketError& error) {
    s_log.info("TcpOutbound error: %s", error.text().c_str());
}

void TcpOutbound::finished() {}

}  // namespace morvex
