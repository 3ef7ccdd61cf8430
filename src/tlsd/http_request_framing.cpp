#include "tlsd/http_request_framing.h"

#include <algorithm>
#include <cstring>

#include "util/ascii.h"

namespace morvex {

namespace {

constexpr const char* kBadRequest = "Had exception when parsing received request: Bad Request";
constexpr const char* kTooLarge = "Had exception when parsing received request: Request Entity Too Large";
constexpr const char* kUriTooLong = "Had exception when parsing received request: Request-URI Too Long";

std::string_view withoutCr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = asciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

HttpRequestFraming::Step HttpRequestFraming::fail(const char* reason) {
    _state = State::Failed;
    _error = reason;
    return {Kind::Error, 0};
}

void HttpRequestFraming::reset() {
    _state = State::Start;
    _head.clear();
    _lineStart = 0;
    _emptyLines = 0;
    _headBytes = 0;
    _headers = 0;
    _requestLineSeen = false;
    _lastWasLengthField = false;
    _headMethod = false;
    _chunked = false;
    _haveLength = false;
    _codingError = false;
    _contentLength = 0;
    _remaining = 0;
    _line.clear();
}

HttpRequestFraming::Step HttpRequestFraming::next(const char* data, std::size_t n) {
    switch (_state) {
        case State::Failed:
            return {Kind::Error, 0};
        case State::Ended:
            reset();
            return {Kind::End, 0};
        case State::Start:
        case State::Headers:
            return headBytes(data, n);
        case State::Body: {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(_remaining, n));
            _remaining -= k;
            if (_remaining == 0) _state = State::Ended;
            if (k == 0) return {Kind::NeedMore, 0};
            return {Kind::Body, k};
        }
        default:
            break;
    }
    // Chunked body: data runs by count, the lines around them up to LF.
    std::size_t used = 0;
    while (used < n && _state != State::Ended) {
        if (_state == State::ChunkData) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(_remaining, n - used));
            used += k;
            _remaining -= k;
            if (_remaining == 0) _state = State::ChunkDataEnd;
            continue;
        }
        const char* start = data + used;
        const void* lf = std::memchr(start, '\n', n - used);
        std::size_t len = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : n - used;
        if (_line.size() + len > kMaxChunkLine) return fail(kBadRequest);
        _line.append(start, len);
        used += lf ? len + 1 : len;
        if (!lf) break;
        bool ok = chunkLine(withoutCr(_line));
        _line.clear();
        if (!ok) return fail(kBadRequest);
    }
    if (used == 0) return {Kind::NeedMore, 0};
    return {Kind::Body, used};
}

HttpRequestFraming::Step HttpRequestFraming::headBytes(const char* data, std::size_t n) {
    std::size_t used = 0;
    while (used < n) {
        const char* start = data + used;
        const void* lf = std::memchr(start, '\n', n - used);
        std::size_t len = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : n - used;
        // A line that cannot end within the limits is refused at once, so a
        // head is never collected past them. One byte of slack for a CR.
        std::size_t lineSoFar = _head.size() - _lineStart + len - (lf ? 1 : 0);
        if (_headBytes + lineSoFar > kMaxHeadBytes + 1) return fail(_requestLineSeen ? kTooLarge : kUriTooLong);
        _head.append(start, len);
        used += len;
        if (!lf) break;
        std::string_view line(_head.data() + _lineStart, _head.size() - _lineStart - 1);
        _lineStart = _head.size();
        if (!headLine(withoutCr(line))) return {Kind::Error, 0};
        if (_state != State::Start && _state != State::Headers) return {Kind::Head, used};
    }
    return {Kind::NeedMore, used};
}

bool HttpRequestFraming::headLine(std::string_view line) {
    if (_state == State::Start) {
        if (line.empty()) {
            if (++_emptyLines > kMaxLeadingEmptyLines) {
                fail(kBadRequest);
                return false;
            }
            return true;
        }
        _requestLineSeen = true;
        _headBytes = line.size();
        if (_headBytes > kMaxHeadBytes) {
            fail(kUriTooLong);
            return false;
        }
        _headMethod = line.substr(0, 5) == "HEAD ";
        _state = State::Headers;
        return true;
    }
    if (line.empty()) {
        headDone();
        return _state != State::Failed;
    }
    _headBytes += line.size();
    if (_headBytes > kMaxHeadBytes || _headers >= kMaxHeaders) {
        fail(kTooLarge);
        return false;
    }
    if (isBlank(line.front())) {
        // A folded line would change a length or coding value: too
        // ambiguous to follow.
        if (_lastWasLengthField) _codingError = true;
        return true;
    }
    ++_headers;
    return headerField(line);
}

bool HttpRequestFraming::headerField(std::string_view line) {
    _lastWasLengthField = false;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;  // the reader refuses it
    std::string_view name = line.substr(0, colon);
    std::string_view value = trimBlanks(line.substr(colon + 1));
    if (equalsIgnoreAsciiCase(name, "content-length")) {
        _lastWasLengthField = true;
        std::uint64_t length = 0;
        bool valid = !value.empty() && value.size() <= 18;
        for (char c : value) {
            if (c < '0' || c > '9') valid = false;
            length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!valid || (_haveLength && length != _contentLength)) _codingError = true;
        _haveLength = true;
        _contentLength = length;
    } else if (equalsIgnoreAsciiCase(name, "transfer-encoding")) {
        _lastWasLengthField = true;
        // Only a final "chunked" tells where the body ends; the codings of
        // several fields add up, so the last field's last coding decides.
        std::size_t comma = value.rfind(',');
        std::string_view last = trimBlanks(comma == std::string_view::npos ? value : value.substr(comma + 1));
        _chunked = equalsIgnoreAsciiCase(last, "chunked");
        _remaining = 1;  // marks "a transfer coding was given"
    }
    return true;
}

void HttpRequestFraming::headDone() {
    bool coded = _remaining != 0;
    _remaining = 0;
    if (coded) {
        // A transfer coding overrides any Content-Length (which the
        // destination sees too, unchanged).
        if (!_chunked) {
            fail(kBadRequest);
            return;
        }
        _contentLength = 0;
        _state = State::ChunkSize;
        return;
    }
    if (_codingError) {
        fail(kBadRequest);
        return;
    }
    if (_contentLength > 0) {
        _remaining = _contentLength;
        _state = State::Body;
    } else {
        _state = State::Ended;
    }
}

bool HttpRequestFraming::chunkLine(std::string_view line) {
    switch (_state) {
        case State::ChunkSize: {
            std::uint64_t size = 0;
            std::size_t i = 0;
            for (; i < line.size(); ++i) {
                int v = hexValue(line[i]);
                if (v < 0) break;
                if (i >= 15) return false;  // beyond any sane chunk
                size = size * 16 + static_cast<std::uint64_t>(v);
            }
            if (i == 0) return false;
            std::string_view rest = trimBlanks(line.substr(i));
            if (!rest.empty() && rest.front() != ';') return false;
            if (size == 0) {
                _state = State::Trailers;
            } else {
                _remaining = size;
                _state = State::ChunkData;
            }
            return true;
        }
        case State::ChunkDataEnd:
            if (!line.empty()) return false;
            _state = State::ChunkSize;
            return true;
        case State::Trailers:
            if (line.empty()) _state = State::Ended;
            return true;
        default:
            return false;
    }
}

}  // namespace morvex
