#include "net/tcp_outbound.h"

#include <sys/socket.h>

#include <exception>

#include "net/in_thread_actor.h"
#include "net/tls_io_outcome.h"
#include "platform/tick_count.h"
#include "tls/ssl_library.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

constexpr long kReadEvents = platform::FD_READ | platform::FD_OOB | platform::FD_CLOSE;
// Ring loads read beyond the first in one step while the destination keeps
// the ring full (64 KiB a step in all).
constexpr int kExtraRingLoads = 3;

bool isWouldBlock(int code) {
    return code == static_cast<int>(platform::WSAEWOULDBLOCK) || code == static_cast<int>(platform::WSAEINPROGRESS);
}

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

void TcpOutbound::doConnect(const SocketAddress& address) {
    _peer = address;
    connectStarting();
    if (_sslContext) {
        // A context that verifies server names must know the name it expects,
        // with or without the session cache; otherwise the target only keys a
        // cached session for this peer (numeric host, no brackets).
        if (_sslContext->verifyServerName() && !_host.empty()) {
            _ssl.setTarget(_host, address.port());
        } else if (SslLibrary::clientSessionCache().enabled) {
            _ssl.setTarget(address.hostText(), address.port());
        }
    }
    platform::SOCKET s = platform::socket(address.family(), SOCK_STREAM, 0);
    if (s == platform::INVALID_SOCKET) return failConnectEarly(static_cast<std::uint32_t>(platform::WSAGetLastError()));
    // Out of descriptors or memory for this one connection ends it, not the
    // loop that every other connection shares.
    try {
        _socket = PollableDescriptorRef::adopt(PollableDescriptor::create(s));
    } catch (const std::exception& e) {
        s_log.error("Could not set up outbound connection to %s: %s", _host.c_str(), e.what());
        platform::closesocket(s);
        return failConnectEarly(platform::WSAEMFILE);
    }
    setNoDelay(s);
    try {
        setNonBlocking(s);
    } catch (const std::exception&) {
        return failConnectEarly(static_cast<std::uint32_t>(platform::WSAGetLastError()));
    }
    if (platform::connect(s, address.get(), address.length) == 0) {
        _toloopp.addTimeout(&_connectFinishedEarly, 0);
        return;
    }
    int code = platform::WSAGetLastError();
    if (!isWouldBlock(code)) return failConnectEarly(static_cast<std::uint32_t>(code));
    try {
        _toloopp.addPolledFd(this, _socket.get(), platform::FD_CONNECT | platform::FD_CLOSE);
    } catch (const std::exception& e) {
        s_log.error("Could not watch outbound connection to %s: %s", _host.c_str(), e.what());
        return failConnectEarly(platform::WSAEMFILE);
    }
    _tstate = kConnecting;
    _setEvents = _wantEvents = platform::FD_CONNECT | platform::FD_CLOSE;
    armTimer(_connectTimeoutMs);
}

void TcpOutbound::failConnectEarly(std::uint32_t code) {
    _serr = SocketError::winsock(code);
    _toloopp.addTimeout(&_connectFailedEarly, 0);
}

void TcpOutbound::connectFinishedEarly() {
    _tstate = kConnecting;
    try {
        _toloopp.addPolledFd(this, _socket.get(), kReadEvents);
    } catch (const std::exception& e) {
        s_log.error("Could not watch outbound connection to %s: %s", _host.c_str(), e.what());
        _serr = SocketError::winsock(platform::WSAEMFILE);
        connectFailedEarly();
        return;
    }
    _setEvents = _wantEvents = kReadEvents;
    _inStep = true;
    bool end = connectCompleted();
    if (!end) end = stateStep();
    _inStep = false;
    if (end) endNow();
}

void TcpOutbound::connectFailedEarly() {
    report(_serr);
    _tstate = kFailedConnecting;
    endNow();
}

bool TcpOutbound::connectCompleted() {
    if (!_sslContext) {
        _tstate = kOpenPlain;
        connectionMade();
        rearmTimer();
        return false;
    }
    if (!_ssl.createClient(*_sslContext, _socket.get(), _sni)) {
        report(SocketError(SocketError::kSystem, 8));
        _tstate = kFailedConnecting;
        return true;
    }
    _tstate = kHandshake;
    armTimer(_connectTimeoutMs);
    return false;
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

bool TcpOutbound::handshakeStep() {
    if (_isTerminated == 2) {
        _tstate = kTerminated;
        return true;
    }
    setupSslSession(_ssl, *_sslContext, _host);
    int r = _ssl.clientHandshake();
    if (r <= 0) {
        SslSession::IoStatus st = _ssl.classify(r);
        SocketError failure = tlsFailure(st);
        if (!failure) {
            _sslWant = tlsWantEvents(st);
            chooseEventsAndTimer(false);
            return false;
        }
        report(failure);
        _tstate = kFailedConnecting;
        return true;
    }
    bool verified =
        !_sslContext->verifyPeer() || _ssl.checkPeer(_sslContext->commonNameToCheck(), _sslContext->altNameToCheck());
    if (!verified || !serverCertificateAcceptable()) {
        report(SocketError(SocketError::kCertCheckFailed, 0));
        _tstate = kFailedConnecting;
        return true;
    }
    _tstate = kOpenTls;
    _sslWant = 0;
    connectionMade();
    rearmTimer();
    return openStep();
}

std::size_t TcpOutbound::readSome(SocketError& error) {
    if (!_sslContext) return readIntoRing(_socket->socket(), _rbuf, error);
    std::size_t total = 0;
    while (!_rbuf.full()) {
        int r = _ssl.read(_rbuf.writePtr(), static_cast<int>(_rbuf.contiguousFree()));
        if (r > 0) {
            _rbuf.commitWrite(static_cast<std::size_t>(r));
            total += static_cast<std::size_t>(r);
            continue;
        }
        SslSession::IoStatus st = _ssl.classify(r);
        _sslWant |= tlsWantEvents(st);
        if (SocketError failure = tlsFailure(st)) error = failure;
        return total;
    }
    return total;
}

std::size_t TcpOutbound::writeSome(SocketError& error) {
    if (!_sslContext) return writeFromCursor(*_socket, _cursor, error);
    std::size_t total = 0;
    while (_cursor.hasData()) {
        if (_cursor.currentLen() == 0) {
            _cursor.advance(0);
            continue;
        }
        int len = static_cast<int>(std::min(_cursor.currentLen(), kMaxSendChunk));
        int r = _ssl.write(_cursor.currentData(), len);
        if (r > 0) {
            _cursor.advance(static_cast<std::size_t>(r));
            total += static_cast<std::size_t>(r);
            continue;
        }
        SslSession::IoStatus st = _ssl.classify(r);
        _sslWant |= tlsWantEvents(st);
        if (SocketError failure = tlsFailure(st)) error = failure;
        return total;
    }
    return total;
}

bool TcpOutbound::openStep() {
    _sslWant = 0;
    // An end already seen while a pause kept bytes in the ring: nothing more
    // is read or written, the ring is handed over first.
    SocketError err = _heldError;
    bool progress = false;
    std::size_t readNow = 0;
    if (!err && !_paused && !_rbuf.full()) progress |= (readNow = readSome(err)) > 0;
    if (!err && !_cursor.isEmptyList()) {
        progress |= writeSome(err) > 0;
        if (!err && !_cursor.hasData()) {
            _cursor.reset();
            progress = true;
            asyncWriteComplete();
        }
    }
    if (!_paused && !_rbuf.empty()) {
        if (!err) {
            dataAvailable(_rbuf);
        } else if (_heldError) {
            // The pause ended: hand over what is left, as long as it is taken.
            for (std::uint64_t before = ~0ull; !_rbuf.empty() && !_paused && before != _rbuf.readCounter();) {
                before = _rbuf.readCounter();
                dataAvailable(_rbuf);
            }
        } else {
            closeWithDataPending(err);
        }
    }
    // A whole ring read at once and taken means more is likely waiting: a
    // few more ring loads in this step spare a loop round each.
    for (int more = 0; more < kExtraRingLoads && !err && readNow == Ring::kSize && !_paused && _rbuf.empty() &&
                       _isTerminated == 0;
         ++more) {
        readNow = readSome(err);
        if (_rbuf.empty()) break;
        if (!err) {
            dataAvailable(_rbuf);
        } else {
            closeWithDataPending(err);
        }
    }
    if (_isTerminated == 2) {
        if (err) report(err);
        _tstate = kTerminated;
        return true;
    }
    if (err) {
        if (_paused && !_rbuf.empty()) {
            holdError(err);
            return false;
        }
        report(err);
        _tstate = kFailedOpen;
        return true;
    }
    if (_isTerminated == 1) {
        if (_tstate == kOpenTls) return startTlsShutdown();
        _tstate = kTerminated;
        return true;
    }
    // Bytes inside the session (decrypted, or records read ahead) announce
    // no socket event: while there is room for them, another step reads them.
    if (_sslContext && !_paused && !_rbuf.full() && _ssl.hasPending()) _toloopp.scheduleService(this);
    chooseEventsAndTimer(progress);
    return false;
}

void TcpOutbound::holdError(const SocketError& error) {
    _heldError = error;
    _wantEvents = 0;
    if (_setEvents != 0 && isRegistered()) {
        selectEvents(0);
        _setEvents = 0;
    }
    armTimer(0);
}

bool TcpOutbound::startTlsShutdown() {
    _tstate = kTlsShutdown;
    armTimer(_sslShutdownTimeoutMs);
    _toloopp.addTerminating(this);
    return shutdownStep();
}

bool TcpOutbound::shutdownStep() {
    for (;;) {
        _sslShutdownSent = true;
        int r = _ssl.shutdown();
        if (r == 1) {
            _tstate = kTerminated;
            return true;
        }
        if (r == 0) {
            if (_sslShutdownReturnedZero) {
                _tstate = kTerminated;
                return true;
            }
            _sslShutdownReturnedZero = true;
            continue;
        }
        if (long want = tlsWantEvents(_ssl.classify(r))) {
            _sslWant = want;
            if (want != _setEvents) {
                selectEvents(want);
                _setEvents = want;
            }
            _wantEvents = want;
            return false;
        }
        _tstate = kTerminated;
        return true;
    }
}

void TcpOutbound::closeWithDataPending(SocketError& error) {
    auto tail = [&] { return "socket_status=\"" + error.text() + "\" paused=" + (_paused ? "1" : "0") + " "; };
    s_log.infoStream() << "Received unexpected socket close condition with unprocessed data in RX buffer. "
                          "Processing remaining bytes="
                       << _rbuf.readable() << " of data in RX buffer. " << tail();
    aboutToDrainAfterUnexpectedClose();
    for (;;) {
        std::uint64_t before = _rbuf.readCounter();
        dataAvailable(_rbuf);
        if (_isTerminated || _paused || _rbuf.readCounter() == before) break;
        if (!_rbuf.empty()) continue;  // a piece after the ring's wrap
        SocketError again;
        std::size_t n = readSome(again);
        if (again && again.kind != SocketError::kClosedByPeer) error = again;
        if (n == 0) break;
    }
    s_log.infoStream() << "Unable to confirm if operating system socket buffer was empty prior to handling errors, "
                          "remaining bytes="
                       << _rbuf.readable() << " " << tail();
}

void TcpOutbound::report(const SocketError& error) {
    if (!_serr) _serr = error;
    if (_errorReported) return;
    _errorReported = true;
    onError(error);
}

void TcpOutbound::chooseEventsAndTimer(bool progress) {
    long want = 0;
    if (_tstate == kHandshake) {
        want = _sslWant ? _sslWant : kReadEvents;
    } else {
        // The end of the stream is read like data: while nothing is read (a
        // pause, a full ring) a close would only be reported again and again
        // without anyone taking it, so it is not watched either.
        if (!_paused && !_rbuf.full()) want |= kReadEvents;
        if (_cursor.hasData()) want |= platform::FD_WRITE;
        want |= _sslWant;
    }
    _wantEvents = want;
    if (want != _setEvents && isRegistered()) {
        selectEvents(want);
        _setEvents = want;
    }
    if (progress && _tstate != kHandshake) rearmTimer();
}

void TcpOutbound::rearmTimer() {
    if (_cursor.hasData()) {
        armTimer(_writeTimeoutMs);
    } else if (!_rbuf.full() && !_paused) {
        armTimer(_readTimeoutMs);
    } else {
        armTimer(0);
    }
}

void TcpOutbound::armTimer(std::uint32_t ms) {
    _timeoutCount = 0;
    if (ms == 0) {
        _toloopp.removeTimeout(&_timer);
    } else {
        _toloopp.addTimeout(&_timer, ms);
    }
}

void TcpOutbound::onTimeout() {
    if (++_timeoutCount == 1) {
        _toloopp.addTimeout(&_timer, 1);  // one more round for pending I/O
        return;
    }
    if (_tstate == kTlsShutdown) {
        _tstate = kTerminated;
    } else if (_tstate == kConnecting || _tstate == kHandshake) {
        report(SocketError::timeout(SocketError::kConnectTimeout));
        _tstate = kFailedConnecting;
    } else {
        report(SocketError::timeout(_cursor.hasData() ? SocketError::kWriteTimeout : SocketError::kReadTimeout));
        _tstate = kFailedOpen;
    }
    endNow();
}

void TcpOutbound::endNow() {
    _toloopp.removeTimeout(&_timer);
    if (isRegistered()) _toloopp.removePolledFd(this);
    finish();
}

void TcpOutbound::blockingTlsShutdown() {
    // Waits on the descriptor's own event, with the loop no longer watching it.
    const std::uint64_t deadline = tickAdd(platform::GetTickCount64(), _sslShutdownTimeoutMs);
    bool zeroSeen = false;
    for (;;) {
        _sslShutdownSent = true;
        int r = _ssl.shutdown();
        if (r == 1) return;
        if (r == 0) {
            if (zeroSeen) return;
            zeroSeen = true;
            continue;
        }
        long want = tlsWantEvents(_ssl.classify(r));
        if (!want) return;
        std::uint64_t now = platform::GetTickCount64();
        if (now >= deadline || !_socket->selectEvents(want)) return;
        platform::WSAEVENT ev = _socket->event();
        std::uint32_t rc =
            platform::WSAWaitForMultipleEvents(1, &ev, false, static_cast<std::uint32_t>(deadline - now), false);
        platform::WSANETWORKEVENTS events;
        platform::WSAEnumNetworkEvents(_socket->socket(), ev, &events);
        if (rc != platform::WSA_WAIT_EVENT_0) return;
    }
}

void TcpOutbound::finish() {
    if (_finished) return;
    _finished = true;
    _toloopp.removeTimeout(&_timer);
    if (_isTerminated == 1 && _sslContext && _tstate != kFailedConnecting && !_sslShutdownSent && !_ssl.empty() &&
        _ssl.handshakeDone() && _socket && _socket->hasSocket()) {
        _tstate = kTerminated;
        blockingTlsShutdown();
    }
    if (!_ssl.empty()) _ssl.release();
    if (_socket) _socket->closeSocket();
    _toloopp.removeTerminating(this);
    finished();
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
