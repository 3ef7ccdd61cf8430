// The per-thread last-error code, the stand-in for GetLastError/SetLastError
// and WSAGetLastError/WSASetLastError (one value per thread, as on Windows).
//
// Codes below 10000 are errno values unless listed in error_codes.h as
// Windows codes the system itself reports (ERROR_TIMEOUT, ...); codes from
// 10000 up are Winsock codes.
#pragma once

#include <cstdint>

namespace morvex::platform {

std::uint32_t GetLastError() noexcept;
void SetLastError(std::uint32_t code) noexcept;

inline int WSAGetLastError() noexcept { return static_cast<int>(GetLastError()); }
inline void WSASetLastError(int code) noexcept { SetLastError(static_cast<std::uint32_t>(code)); }

// Keeps the caller's last-error code across a scope (logging must never
// change it).
class LastErrorSaver {
public:
    LastErrorSaver() noexcept : _code(GetLastError()) {}
    ~LastErrorSaver() { SetLastError(_code); }
    LastErrorSaver(const LastErrorSaver&) = delete;
    LastErrorSaver& operator=(const LastErrorSaver&) = delete;
    std::uint32_t code() const noexcept { return _code; }

private:
    std::uint32_t _code;
};

}  // namespace morvex::platform
