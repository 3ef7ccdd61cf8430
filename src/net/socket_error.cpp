#include "net/socket_error.h"

#include <openssl/err.h>

#include <cstdio>

#include "platform/error_codes.h"

namespace morvex {

namespace {

// Reasons that almost always mean a chain or name mix-up in the operator's
// certificates; the hint saves a support round trip.
constexpr const char* kCertVerifyHint =
    " - please check the output of the `openssl verify` command for the certificates involved; note that if "
    "certificate verification is enabled (requireClientCert or sslVerifyServerCert set to \"true\"), the CA "
    "certificate and the server certificate should not have the same Common Name.";

std::string sslErrorText(std::uint32_t code) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    std::string text(buf);
    std::uint32_t reason = code & 0xFFF;
    if (reason == 134 || reason == 1048) text += kCertVerifyHint;
    return text;
}

}  // namespace

std::string SocketError::text() const {
    switch (kind) {
        case kNone:
            return "No error";
        case kTimeout:
            return detail == kReadTimeout    ? "Read Timeout"
                   : detail == kWriteTimeout ? "Write Timeout"
                                             : "Connect Timeout";
        case kClosedByPeer:
            return "Connection closed by peer";
        case kLocalShutdown:
            return "Local side shutting down";
        case kUncaughtException:
            return "Uncaught exception";
        case kWinsock: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "Winsock error %d", static_cast<int>(detail));
            return buf;
        }
        case kSystem:
            return platform::ErrorText(detail);
        case kCannotResolve:
            return "Cannot resolve hostname";
        case kNotStarted:
            return "Transaction not started";
        case kSslNotConfigured:
            return "SSL not configured on client";
        case kCertCheckFailed:
            return "SSL certificate check failed";
        default:
            break;
    }
    // Kinds are signed on the wire of the state dump; only negative ones are
    // outside the table, since 7 and everything from 12 up is a TLS error.
    if (static_cast<std::int32_t>(kind) > 0) return sslErrorText(detail);
    char buf[48];
    std::snprintf(buf, sizeof buf, "bad SocketError type %d!", static_cast<int>(kind));
    return buf;
}

}  // namespace morvex
