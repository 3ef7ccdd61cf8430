#include "util/log_text.h"

#include <cstdio>

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

}  // namespace

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
