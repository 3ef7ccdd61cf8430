#include "tlsd/http_response_framing.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "util/ascii.h"

namespace morvex {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    c = asciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::size_t HttpResponseFraming::feed(const char* data, std::size_t n) {
    std::size_t used = 0;
    while (used < n) {
        switch (_state) {
            case State::Done:
                return used;
            case State::UntilClose:
                return n;
            case State::Body:
            case State::ChunkData: {
                std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(_remaining, n - used));
                used += k;
                _remaining -= k;
                if (_remaining == 0) {
                    if (_state == State::Body) {
                        answerDone();
                    } else {
                        _state = State::ChunkDataEnd;
                    }
                }
                break;
            }
            default: {
                // Line states: collect up to LF.
                const char* start = data + used;
                const void* lf = std::memchr(start, '\n', n - used);
                std::size_t len = lf ? static_cast<const char*>(lf) - start : n - used;
                if (!_lineTooLong) {
                    std::size_t room = kMaxLine - _line.size();
                    _line.append(start, std::min(len, room));
                    if (len > room) _lineTooLong = true;
                }
                used += lf ? len + 1 : len;
                if (_state == State::StatusLine && !startsLikeStatusLine()) {
                    // Not HTTP: decided at once, a status line may never end.
                    _state = State::UntilClose;
                    return n;
                }
                if (!lf) break;
                if (!_line.empty() && _line.back() == '\r') _line.pop_back();
                bool ok = !_lineTooLong;
                if (ok) {
                    switch (_state) {
                        case State::StatusLine:
                            ok = _line.empty() || statusLine(_line);  // stray blank lines are skipped
                            break;
                        case State::Headers:
                            if (_line.empty()) {
                                headersDone();
                            } else {
                                headerLine(_line);
                            }
                            break;
                        case State::ChunkSize:
                            ok = chunkSizeLine(_line);
                            break;
                        case State::ChunkDataEnd:
                            ok = _line.empty();
                            if (ok) _state = State::ChunkSize;
                            break;
                        case State::Trailers:
                            if (_line.empty()) answerDone();
                            break;
                        default:
                            break;
                    }
                }
                _line.clear();
                _lineTooLong = false;
                // Framing this watcher cannot follow: the answer lasts as
                // long as the connection, so no byte is ever cut off.
                if (!ok) _state = State::UntilClose;
                break;
            }
        }
    }
    return used;
}

bool HttpResponseFraming::startsLikeStatusLine() const noexcept {
    static constexpr std::string_view kPrefix = "HTTP/1.";
    std::size_t k = std::min(_line.size(), kPrefix.size());
    return _line.compare(0, k, kPrefix.substr(0, k)) == 0 || (_line.size() == 1 && _line[0] == '\r');
}

bool HttpResponseFraming::statusLine(const std::string& line) {
    // "HTTP/1.x SSS reason"
    if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !isDigit(line[7]) || line[8] != ' ') return false;
    if (!isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11])) return false;
    if (line.size() > 12 && line[12] != ' ') return false;
    _minorVersion = line[7] - '0';
    _status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    _chunked = false;
    _haveLength = false;
    _lengthConflict = false;
    _remaining = 0;
    _state = State::Headers;
    return true;
}

void HttpResponseFraming::headerLine(const std::string& line) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    std::string_view name(line.data(), colon);
    std::string_view value = trim(std::string_view(line).substr(colon + 1));
    if (equalsIgnoreAsciiCase(name, "content-length")) {
        std::uint64_t length = 0;
        bool valid = !value.empty() && value.size() <= 18;
        for (char c : value) {
            if (!isDigit(c)) valid = false;
            length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!valid || (_haveLength && length != _remaining)) {
            _lengthConflict = true;
        } else {
            _haveLength = true;
            _remaining = length;
        }
    } else if (equalsIgnoreAsciiCase(name, "transfer-encoding")) {
        // Only a final "chunked" coding frames the body; any other coding
        // leaves the end to the connection.
        std::size_t comma = value.rfind(',');
        std::string_view last = trim(comma == std::string_view::npos ? value : value.substr(comma + 1));
        _chunked = equalsIgnoreAsciiCase(last, "chunked");
        if (!_chunked) _lengthConflict = true;
    }
}

void HttpResponseFraming::headersDone() {
    if (_status >= 100 && _status < 200) {
        // Interim answers precede the final one; 101 hands the connection
        // over to another protocol.
        _state = _status == 101 ? State::UntilClose : State::StatusLine;
        return;
    }
    if (_heads[_answer] || _status == 204 || _status == 304) {
        answerDone();
    } else if (_chunked) {
        _state = State::ChunkSize;
    } else if (_lengthConflict || !_haveLength) {
        _state = State::UntilClose;
    } else if (_remaining == 0) {
        answerDone();
    } else {
        _state = State::Body;
    }
}

void HttpResponseFraming::answerDone() {
    if (++_answer < _heads.size()) {
        _state = State::StatusLine;
    } else {
        _state = State::Done;
    }
}

bool HttpResponseFraming::chunkSizeLine(const std::string& line) {
    std::uint64_t size = 0;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        int v = hexValue(line[i]);
        if (v < 0) break;
        if (i >= 15) return false;  // beyond any sane chunk
        size = size * 16 + static_cast<std::uint64_t>(v);
    }
    if (i == 0) return false;
    std::string_view rest = trim(std::string_view(line).substr(i));
    if (!rest.empty() && rest.front() != ';') return false;
    if (size == 0) {
        _state = State::Trailers;
    } else {
        _remaining = size;
        _state = State::ChunkData;
    }
    return true;
}

}  // namespace morvex
