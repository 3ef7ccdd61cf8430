// What a TLS call that did not complete means for a connection: the socket
// events to wait for, or the error that ends it. One mapping for channels
// and outbound connections alike.
#pragma once

#include "net/socket_error.h"
#include "tls/ssl_session.h"

namespace morvex {

// The events to wait for when the call only has to wait; 0 when it failed.
inline long tlsWantEvents(const SslSession::IoStatus& status) noexcept {
    switch (status.kind) {
        case SslSession::IoStatus::WantRead:
            return SslSession::kWantReadEvents;
        case SslSession::IoStatus::WantWrite:
            return SslSession::kWantWriteEvents;
        default:
            return 0;
    }
}

// The error the call ends the connection with; no error while it waits.
inline SocketError tlsFailure(const SslSession::IoStatus& status) noexcept {
    switch (status.kind) {
        case SslSession::IoStatus::SocketError:
            return SocketError::winsock(status.code);
        case SslSession::IoStatus::PeerClosed:
            return SocketError::closedByPeer();
        case SslSession::IoStatus::TlsError:
            return SocketError::ssl(status.code);
        default:
            return SocketError();
    }
}

}  // namespace morvex
