// Locale-free ASCII helpers for protocol and configuration text: only A-Z
// change case; bytes of 128 and above are left alone.
#pragma once

#include <cstddef>
#include <string_view>

namespace morvex {

constexpr char asciiLower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// HTTP's optional white space: space and horizontal tab.
constexpr bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

constexpr std::string_view trimBlanks(std::string_view s) noexcept {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace morvex
