#include "tlsd/request_record.h"

#include <arpa/inet.h>
#include <openssl/ssl.h>

#include <cerrno>

#include <cstdio>
#include <string_view>

#include "net/socket_error.h"
#include "util/log_appender.h"
#include "util/log_category.h"
#include "util/log_facility.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log(CompletionLog::kChannel);

double msBetween(RequestRecord::Clock::time_point from, RequestRecord::Clock::time_point to) noexcept {
    if (from.time_since_epoch().count() == 0 || to < from) return RequestRecord::kUnset;
    return std::chrono::duration<double, std::milli>(to - from).count();
}

constexpr char kHex[] = "0123456789abcdef";

bool isBare(unsigned char c) noexcept {
    return c > 0x20 && c < 0x7f && c != '"' && c != '\\' && c != '=';
}

// The value cut to the bound, so that every line stays short whatever a
// Host header held.
std::string_view bounded(std::string_view value) noexcept {
    return value.size() > RequestRecord::kMaxValueBytes ? value.substr(0, RequestRecord::kMaxValueBytes) : value;
}

// value in double quotes: quote and backslash escaped, control and non-ASCII
// bytes as hexPrefix and two hex digits (JSON's "\u00" keeps any byte,
// valid UTF-8 or not, valid JSON).
void appendQuoted(std::string& out, std::string_view value, const char* hexPrefix) {
    out += '"';
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += hexPrefix;
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void appendPlainText(std::string& out, std::string_view raw) {
    std::string_view value = bounded(raw);
    if (value.empty()) {
        out += '-';
        return;
    }
    bool bare = true;
    for (unsigned char c : value) bare = bare && isBare(c);
    if (bare) {
        out.append(value);
    } else {
        appendQuoted(out, value, "\\x");
    }
}

void appendJsonText(std::string& out, std::string_view raw) {
    std::string_view value = bounded(raw);
    if (value.empty()) {
        out += "null";
    } else {
        appendQuoted(out, value, "\\u00");
    }
}

void appendMs(std::string& out, double ms, const char* unset) {
    if (ms < 0) {
        out += unset;
        return;
    }
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, "%.1f", ms);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
}

std::string destinationText(const RequestRecord& r) {
    if (r.host.empty()) return std::string();
    std::string_view host = bounded(r.host);
    bool ipv6 = host.find(':') != std::string_view::npos;
    std::string out;
    out.reserve(host.size() + 8);
    if (ipv6) out += '[';
    out.append(host);
    if (ipv6) out += ']';
    out += ':';
    out += std::to_string(r.port);
    return out;
}

std::string addressText(const RequestRecord& r) {
    if (!r.hasAddress) return std::string();
    char buffer[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = r.ipv4;
    return ::inet_ntop(AF_INET, &address, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

const char* resumedText(const RequestRecord& r) {
    switch (r.handshake) {
        case HandshakeKind::Resumed:
            return "yes";
        case HandshakeKind::Full:
            return "no";
        case HandshakeKind::None:
            break;
    }
    return nullptr;
}

// Whether the channel's lines go out as JSON: its first appender decides,
// as the logging core escapes by the first appender too.
bool channelWritesJson() {
    LogFacility& facility = LogFacility::instance();
    const LogCategory* category = facility.findCategory(CompletionLog::kChannel);
    if (category == nullptr) return false;  // not configured: the standard-error fallback
    const LogAppender* appender =
        category->appenders().empty() ? &facility.rootAppender() : category->appenders().front();
    return appender && appender->serialization() == LogSerialization::Json;
}

}  // namespace

void RequestRecord::noteTlsSession(const ssl_st* ssl) {
    if (ssl == nullptr) return;
    tlsVersion = ::SSL_get_version(ssl);
    const char* name = ::SSL_CIPHER_get_name(::SSL_get_current_cipher(ssl));
    cipher = name ? name : "";
    handshake = ::SSL_session_reused(const_cast<SSL*>(ssl)) ? HandshakeKind::Resumed : HandshakeKind::Full;
}

RequestOutcome RequestRecord::outcomeFor(const SocketError& error, Phase phase) noexcept {
    switch (error.kind) {
        case SocketError::kTimeout:
            // A destination that stops taking the request is as stuck as one
            // that never answers.
            if (error.detail == SocketError::kReadTimeout || error.detail == SocketError::kWriteTimeout) {
                return RequestOutcome::ReadTimeout;
            }
            return phase == Phase::Handshake ? RequestOutcome::HandshakeFailed : RequestOutcome::ConnectFailed;
        case SocketError::kClosedByPeer:
            return phase == Phase::Handshake ? RequestOutcome::HandshakeFailed : RequestOutcome::ClosedByDestination;
        case SocketError::kLocalShutdown:
            return RequestOutcome::Stopped;
        case SocketError::kWinsock:
            if (error.detail == 10053 || error.detail == 10054) {
                return phase == Phase::Open ? RequestOutcome::Reset
                       : phase == Phase::Handshake ? RequestOutcome::HandshakeFailed
                                                   : RequestOutcome::ConnectFailed;
            }
            break;
        case SocketError::kSystem:
            if (error.detail == ECONNRESET && phase == Phase::Open) return RequestOutcome::Reset;
            break;
        default:
            break;
    }
    switch (phase) {
        case Phase::Connecting:
            return RequestOutcome::ConnectFailed;
        case Phase::Handshake:
            return RequestOutcome::HandshakeFailed;
        case Phase::Open:
            break;
    }
    return RequestOutcome::Reset;
}

void RequestRecord::markResolved(std::uint32_t ipv4NetworkOrder) noexcept {
    ipv4 = ipv4NetworkOrder;
    hasAddress = true;
    resolveMs = msBetween(_begun, Clock::now());
}

void RequestRecord::markConnected() noexcept {
    _connected = Clock::now();
    connectMs = msBetween(_connectStarted, _connected);
}

void RequestRecord::markFirstByte() noexcept {
    if (firstByteMs >= 0) return;
    firstByteMs = msBetween(_connected, Clock::now());
}

void RequestRecord::markEnded() noexcept {
    totalMs = msBetween(_begun, Clock::now());
}

namespace {

// The completion line's fields, in order, each written by a Fields writer:
// the plain and the JSON line share this one list.
template <class Fields>
void writeFields(const RequestRecord& r, Fields& f) {
    f.text("type", toString(r.type));
    f.text("method", r.method);
    f.text("dest", destinationText(r));
    f.text("addr", addressText(r));
    f.text("sni", r.sni);
    f.text("tls", r.tlsVersion);
    f.text("cipher", r.cipher);
    f.yesNo("resumed", resumedText(r));
    f.count("status", r.status);
    f.count("sent", static_cast<long long>(r.sent));
    f.count("relayed", static_cast<long long>(r.relayed));
    f.ms("resolve_ms", r.resolveMs);
    f.ms("connect_ms", r.connectMs);
    f.ms("first_byte_ms", r.firstByteMs);
    f.ms("total_ms", r.totalMs);
    f.word("outcome", outcomeName(r.outcome));
}

// name=value pairs; "-" for what is unknown.
struct PlainFields {
    std::string& out;
    bool first = true;
    void key(const char* name) {
        if (!first) out += ' ';
        first = false;
        out += name;
        out += '=';
    }
    void text(const char* name, std::string_view value) { key(name), appendPlainText(out, value); }
    void yesNo(const char* name, const char* value) { key(name), out += value ? value : "-"; }
    void count(const char* name, long long value) { key(name), out += value >= 0 ? std::to_string(value) : "-"; }
    void ms(const char* name, double value) { key(name), appendMs(out, value, "-"); }
    void word(const char* name, const char* value) { key(name), out += value; }
};

// One JSON object; null for what is unknown.
struct JsonFields {
    std::string& out;
    bool first = true;
    void key(const char* name) {
        out += first ? "{\"" : ",\"";
        first = false;
        out += name;
        out += "\":";
    }
    void text(const char* name, std::string_view value) { key(name), appendJsonText(out, value); }
    void yesNo(const char* name, const char* value) {
        key(name), out += value ? (value[0] == 'y' ? "true" : "false") : "null";
    }
    void count(const char* name, long long value) { key(name), out += value >= 0 ? std::to_string(value) : "null"; }
    void ms(const char* name, double value) { key(name), appendMs(out, value, "null"); }
    void word(const char* name, const char* value) { key(name), out += '"', out += value, out += '"'; }
};

}  // namespace

void CompletionLog::formatPlain(const RequestRecord& r, std::string& out) {
    PlainFields fields{out};
    writeFields(r, fields);
}

void CompletionLog::formatJson(const RequestRecord& r, std::string& out) {
    JsonFields fields{out};
    writeFields(r, fields);
    out += '}';
}

void CompletionLog::write(RequestRecord& record) {
    if (record.totalMs < 0) record.markEnded();
    ProxyStats::instance().outboundEnded(record.outcome, record.sent, record.relayed, record.handshake,
                                         record.totalMs);
    if (!s_log.isEnabledFor(LogLevel::Info)) return;
    thread_local std::string line;
    line.clear();
    if (channelWritesJson()) {
        formatJson(record, line);
    } else {
        formatPlain(record, line);
    }
    s_log.write(LogLevel::Info, line);
}

}  // namespace morvex
