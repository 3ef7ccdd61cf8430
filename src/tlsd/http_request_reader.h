// Reads the request line and headers of one HTTP/1.x request of the daemon.
//
// It is given one whole head (HttpRequestFraming collects it) and keeps
// nothing between calls. It extracts the method, the Host header (default
// port 443), the request type and the token; everything after the empty line
// is left alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "tlsd/request_metadata.h"

namespace morvex {

class HttpRequestReader {
public:
    static constexpr std::size_t kMaxHeaderBytes = 512000;  // request line and header lines together
    static constexpr std::size_t kMaxHeaders = 200;
    static constexpr int kMaxLeadingEmptyLines = 100;
    // The longest DNS name; a longer Host is refused before it is echoed
    // into any line at length.
    static constexpr std::size_t kMaxHostName = 253;

    // Either the metadata, or the error text the refusal logs. Logs nothing:
    // the caller logs a request once it has passed the token check.
    using Result = std::variant<RequestMetadata, std::string>;
    static Result read(std::string_view request);

    // "host", "host:port", "[v6]" or "[v6]:port"; false for an invalid value
    // or a host longer than kMaxHostName.
    static bool parseHostHeader(std::string_view value, HostPort& out);

    // The canonical method name ("GET" ...) for a method matched without
    // regard to case, or "none".
    static const char* canonicalMethod(std::string_view method) noexcept;
};

}  // namespace morvex
