// TcpOutbound: the connect, with outcomes known inside the call reported
// from the loop, and the TLS client handshake that follows.
#include "net/tcp_outbound.h"

#include <sys/socket.h>

#include <exception>

#include "net/tls_io_outcome.h"
#include "tls/ssl_library.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

constexpr long kReadEvents = platform::FD_READ | platform::FD_OOB | platform::FD_CLOSE;

bool isWouldBlock(int code) {
    return code == static_cast<int>(platform::WSAEWOULDBLOCK) || code == static_cast<int>(platform::WSAEINPROGRESS);
}

}  // namespace

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

}  // namespace morvex
