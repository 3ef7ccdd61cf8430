#include "tlsd/http_request_reader.h"

#include <arpa/inet.h>

#include <optional>
#include <stdexcept>
#include <utility>

#include "util/ascii.h"

namespace morvex {

namespace {

constexpr std::size_t kMaxEchoedHost = 256;

// A refusal carrying the status's standard reason phrase as its text.
class HttpStatusError : public std::runtime_error {
public:
    HttpStatusError(int status, const char* reason) : std::runtime_error(reason), _status(status) {}
    int status() const noexcept { return _status; }

private:
    int _status;
};

[[noreturn]] void badRequest() {
    throw HttpStatusError(400, "Bad Request");
}

// Yields the buffer's lines: up to LF, without a CR before it. A text that
// ends without LF has no further complete line.
class LineSource {
public:
    explicit LineSource(std::string_view text) : _text(text) {}

    std::optional<std::string_view> next() {
        std::size_t lf = _text.find('\n', _pos);
        if (lf == std::string_view::npos) return std::nullopt;
        std::string_view line = _text.substr(_pos, lf - _pos);
        _pos = lf + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }

private:
    std::string_view _text;
    std::size_t _pos = 0;
};

struct Headers {
    std::string host;
    bool hasHost = false;
    std::string requestType;
    std::string token;
};

bool isValidHostName(std::string_view name) {
    if (name.empty()) return false;
    char prev = '\0';
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        // A "%xx" escape is well-formed in a host name, but an escaped name is
        // never one we resolve, so any '%' fails.
        if (c == '%') return false;
        if (c == '.') {
            if (prev == '-' || prev == '.') return false;
        } else if (c == '-') {
            if (i == 0 || prev == '.') return false;
        } else if (!alnum && c != '_') {
            return false;
        }
        prev = c;
    }
    return name.back() != '-';
}

bool isIpv6Literal(std::string_view host) {
    if (host.size() >= INET6_ADDRSTRLEN) return false;
    char buf[INET6_ADDRSTRLEN];
    host.copy(buf, host.size());
    buf[host.size()] = '\0';
    in6_addr addr;
    return inet_pton(AF_INET6, buf, &addr) == 1;
}

}  // namespace

const char* HttpRequestReader::canonicalMethod(std::string_view method) noexcept {
    static const char* const kMethods[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH"};
    for (const char* m : kMethods) {
        if (equalsIgnoreAsciiCase(method, m)) return m;
    }
    return "none";
}

bool HttpRequestReader::parseHostHeader(std::string_view value, HostPort& out) {
    std::string_view host = value;
    std::uint32_t port = 443;
    if (value.empty() || value.back() != ']') {
        std::size_t colon = value.rfind(':');
        if (colon != std::string_view::npos) {
            if (colon == 0) return false;
            std::string_view digits = value.substr(colon + 1);
            if (digits.empty() || digits.size() > 5) return false;
            std::uint32_t p = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return false;
                p = p * 10 + static_cast<std::uint32_t>(c - '0');
            }
            if (p >= 65536) return false;
            port = p;
            host = value.substr(0, colon);
        }
    }
    bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) {
        host = host.substr(1, host.size() - 2);
        if (host.empty()) return false;
    }
    if (port < 1 || port > 65535) return false;
    if (host.size() > kMaxHostName) return false;
    if (!isIpv6Literal(host) && !isValidHostName(host)) return false;
    out.host.assign(host);
    out.port = port;
    return true;
}

HttpRequestReader::Result HttpRequestReader::read(std::string_view request) {
    LineSource lines(request);
    RequestMetadata metadata;
    Headers headers;
    try {
        // Request line, after at most 100 empty lines.
        std::optional<std::string_view> line;
        for (int empty = 0;; ++empty) {
            line = lines.next();
            if (!line) return std::string("Failed to parse received request");
            if (!line->empty()) break;
            if (empty == kMaxLeadingEmptyLines) badRequest();
        }
        std::size_t headerBytes = line->size();
        bool requestLineTooLong = headerBytes > kMaxHeaderBytes;

        std::string_view words[3];
        int count = 0;
        std::string_view rest = *line;
        while (!rest.empty()) {
            while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
            if (rest.empty()) break;
            std::size_t end = 0;
            while (end < rest.size() && !isBlank(rest[end])) ++end;
            if (count == 3) badRequest();
            words[count++] = rest.substr(0, end);
            rest.remove_prefix(end);
        }
        if (count < 2) badRequest();
        const char* method = canonicalMethod(words[0]);
        if (count == 2 && std::string_view(method) != "GET") badRequest();

        // Headers up to the empty line.
        std::size_t headerCount = 0;
        std::string* lastValue = nullptr;
        bool tooLarge = requestLineTooLong;
        for (;;) {
            line = lines.next();
            if (!line) return std::string("Failed to parse received request");
            if (line->empty()) break;
            if (tooLarge) continue;  // skip the rest up to the empty line
            headerBytes += line->size();
            if (headerBytes > kMaxHeaderBytes || headerCount >= kMaxHeaders) {
                tooLarge = true;
                continue;
            }
            if (isBlank(line->front())) {
                // A folded header continues the previous one; only the three we
                // read need their value kept.
                if (headerCount == 0) badRequest();
                if (lastValue) {
                    *lastValue += ' ';
                    *lastValue += trimBlanks(*line);
                }
                continue;
            }
            std::size_t colon = line->find(':');
            if (colon == std::string_view::npos || colon == 0) badRequest();
            std::string_view name = trimBlanks(line->substr(0, colon));
            if (name.empty() || name.size() != colon) badRequest();
            std::string_view value = trimBlanks(line->substr(colon + 1));
            ++headerCount;
            lastValue = nullptr;
            if (equalsIgnoreAsciiCase(name, "Host")) {
                headers.host.assign(value);
                headers.hasHost = true;
                lastValue = &headers.host;
            } else if (equalsIgnoreAsciiCase(name, "x-morvex-request-type")) {
                headers.requestType.assign(value);
                lastValue = &headers.requestType;
            } else if (equalsIgnoreAsciiCase(name, "x-morvex-tlsproxy-token")) {
                headers.token.assign(value);
                lastValue = &headers.token;
            }
        }
        if (tooLarge) {
            if (requestLineTooLong) throw HttpStatusError(414, "Request-URI Too Long");
            throw HttpStatusError(413, "Request Entity Too Large");
        }
        if (std::string_view(method) == "none") throw HttpStatusError(501, "Not Implemented");
        metadata.httpMethod = method;
    } catch (const std::exception& e) {
        return std::string("Had exception when parsing received request: ") + e.what();
    }

    std::optional<ClientRequestType> type = parseClientRequestType(headers.requestType);
    if (!type) return std::string("Failed to parse Client Request type or invalid Client Request type");
    metadata.type = *type;

    if (!headers.hasHost || !parseHostHeader(headers.host, metadata.hostPort)) {
        // The value is echoed, cut: whoever sends it chooses its length.
        std::string value = headers.host.size() <= kMaxEchoedHost ? headers.host
                                                                  : headers.host.substr(0, kMaxEchoedHost) + "... (" +
                                                                        std::to_string(headers.host.size()) + " bytes)";
        return std::string("Failed to parse Host header or invalid Host header found in request: ") + value;
    }
    metadata.token = std::move(headers.token);
    return metadata;
}

}  // namespace morvex
