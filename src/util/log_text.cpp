#include "util/log_text.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace morvex {

namespace {

bool needsEscape(unsigned char c, bool escapeAll) {
    if (c == '\n' || c == '\r') return true;
    if (!escapeAll || c >= 128 || c == '\t') return false;
    return c < 0x20 || c == 0x7f;
}

// " ...{skipping N bytes}... " into buf; returns its length.
std::size_t formatMarker(char* buf, std::size_t size, std::size_t skipped) {
    int n = std::snprintf(buf, size, " ...{skipping %zu bytes}... ", skipped);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n;
    std::uint32_t min;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    std::uint32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// A small recursive-descent checker over one JSON text.
class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : _t(text) {}

    bool wholeValue() {
        blanks();
        if (!value(0)) return false;
        blanks();
        return _i == _t.size();
    }

private:
    void blanks() {
        while (_i < _t.size() && (_t[_i] == ' ' || _t[_i] == '\t' || _t[_i] == '\n' || _t[_i] == '\r')) ++_i;
    }
    bool literal(std::string_view word) {
        if (_t.substr(_i, word.size()) != word) return false;
        _i += word.size();
        return true;
    }
    bool digits() {
        std::size_t start = _i;
        while (_i < _t.size() && _t[_i] >= '0' && _t[_i] <= '9') ++_i;
        return _i > start;
    }
    bool number() {
        if (_i < _t.size() && _t[_i] == '-') ++_i;
        if (_i < _t.size() && _t[_i] == '0') {
            ++_i;
        } else if (!digits()) {
            return false;
        }
        if (_i < _t.size() && _t[_i] == '.') {
            ++_i;
            if (!digits()) return false;
        }
        if (_i < _t.size() && (_t[_i] == 'e' || _t[_i] == 'E')) {
            ++_i;
            if (_i < _t.size() && (_t[_i] == '+' || _t[_i] == '-')) ++_i;
            if (!digits()) return false;
        }
        return true;
    }
    bool string() {
        if (_i >= _t.size() || _t[_i] != '"') return false;
        ++_i;
        while (_i < _t.size()) {
            const auto c = static_cast<unsigned char>(_t[_i]);
            if (c == '"') {
                ++_i;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++_i >= _t.size()) return false;
                const char e = _t[_i++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k, ++_i)
                        if (_i >= _t.size() || !std::isxdigit(static_cast<unsigned char>(_t[_i]))) return false;
                } else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
                    return false;
                }
                continue;
            }
            const std::size_t n = utf8SequenceLength(_t, _i);
            if (n == 0) return false;
            _i += n;
        }
        return false;
    }
    bool value(int depth) {
        if (depth > 64 || _i >= _t.size()) return false;
        const char c = _t[_i];
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++_i;
            blanks();
            if (_i < _t.size() && _t[_i] == close) return ++_i, true;
            for (;;) {
                if (c == '{') {
                    if (!string()) return false;
                    blanks();
                    if (_i >= _t.size() || _t[_i++] != ':') return false;
                    blanks();
                }
                if (!value(depth + 1)) return false;
                blanks();
                if (_i >= _t.size()) return false;
                if (_t[_i] == close) return ++_i, true;
                if (_t[_i++] != ',') return false;
                blanks();
            }
        }
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }

    std::string_view _t;
    std::size_t _i = 0;
};

}  // namespace

bool isJsonValue(std::string_view text) noexcept {
    return JsonChecker(text).wholeValue();
}

void appendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != 0x7f) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x80) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else if (const std::size_t n = utf8SequenceLength(text, i)) {
                    out.append(text.substr(i, n));
                    i += n;
                    continue;
                } else {
                    out += "\\\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
        }
        ++i;
    }
    out += '"';
}

bool escapeLogText(std::string_view text, bool escapeAll, std::string& out) {
    std::size_t i = 0;
    while (i < text.size() && !needsEscape(static_cast<unsigned char>(text[i]), escapeAll)) ++i;
    if (i == text.size()) return false;
    static const char kHex[] = "0123456789abcdef";
    out.assign(text.data(), i);
    for (; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!needsEscape(c, escapeAll)) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return true;
}

void appendShortened(std::string& out, std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        out.append(text);
        return;
    }
    char marker[64];
    // The marker's length depends on the count it shows; iterate until the
    // count and the length agree (at most a couple of rounds).
    std::size_t markerLen = formatMarker(marker, sizeof marker, text.size() - limit);
    std::size_t head = 0, tail = 0;
    bool shortMarker = false;
    for (int round = 0; round < 4; ++round) {
        if (limit < markerLen) {
            out.append(text.substr(0, limit));
            return;
        }
        std::size_t x = limit - markerLen;
        shortMarker = x < 64;
        if (shortMarker) {
            head = x + 4;
            tail = 0;
        } else {
            tail = x / 4;
            head = x - tail;
        }
        std::size_t len = formatMarker(marker, sizeof marker, text.size() - head - tail);
        if (len == markerLen) break;
        markerLen = len;
    }
    while (head > 0 && text[head - 1] == '\\') --head;
    markerLen = formatMarker(marker, sizeof marker, text.size() - head - tail);
    if (shortMarker) markerLen -= 4;
    out.append(text.substr(0, head));
    out.append(marker, markerLen);
    out.append(text.substr(text.size() - tail));
}

}  // namespace morvex
