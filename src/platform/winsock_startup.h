// Stand-in for WSAStartup. POSIX sockets need no start-up; what must hold for
// the rest of the program is that writes to a closed peer never raise
// SIGPIPE, so start-up ignores that signal process-wide.
#pragma once

#include <cstdint>

namespace morvex::platform {

struct WSADATA {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
};

// Returns 0 on success, otherwise a Winsock error code (10092 for a version
// other than 2.x).
int WSAStartup(std::uint16_t versionRequested, WSADATA* data) noexcept;

constexpr std::uint16_t MAKEWORD(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace morvex::platform
