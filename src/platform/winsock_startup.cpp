#include "platform/winsock_startup.h"

#include <csignal>

#include "platform/error_codes.h"

namespace morvex::platform {

int WSAStartup(std::uint16_t versionRequested, WSADATA* data) noexcept {
    if ((versionRequested & 0xff) != 2) return WSAVERNOTSUPPORTED;
    std::signal(SIGPIPE, SIG_IGN);
    if (data) {
        data->wVersion = versionRequested;
        data->wHighVersion = MAKEWORD(2, 2);
    }
    return 0;
}

}  // namespace morvex::platform
