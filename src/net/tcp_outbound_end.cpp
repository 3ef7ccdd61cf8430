// TcpOutbound: the end of a connection: the orderly TLS shutdown (in the
// loop, or blocking as a last attempt), the I/O timer and finishing.
#include "net/tcp_outbound.h"

#include "net/tls_io_outcome.h"
#include "platform/tick_count.h"

namespace morvex {

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

}  // namespace morvex
