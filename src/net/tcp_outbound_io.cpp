// TcpOutbound: the open state's step (reading into the ring, writing the
// send list, handing bytes over) and the events it waits for.
#include "net/tcp_outbound.h"

#include <algorithm>

#include "net/tls_io_outcome.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

constexpr long kReadEvents = platform::FD_READ | platform::FD_OOB | platform::FD_CLOSE;
// Ring loads read beyond the first in one step while the destination keeps
// the ring full (64 KiB a step in all).
constexpr int kExtraRingLoads = 3;

}  // namespace

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

}  // namespace morvex
