#include "platform/last_error.h"

namespace morvex::platform {

namespace {
thread_local std::uint32_t t_lastError = 0;
}

std::uint32_t GetLastError() noexcept { return t_lastError; }
void SetLastError(std::uint32_t code) noexcept { t_lastError = code; }

}  // namespace morvex::platform
