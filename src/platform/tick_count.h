// Milliseconds of the monotonic clock, with a seam for tests.
#pragma once

#include <cstdint>

namespace morvex::platform {

// Milliseconds since an arbitrary start on CLOCK_MONOTONIC (never goes back).
std::uint64_t GetTickCount64() noexcept;

// Replaces the clock for the whole process (null restores the real one).
// For unit tests only.
using TickCountSource = std::uint64_t (*)();
void setTickCountSourceForTest(TickCountSource source) noexcept;

// A fake clock for a test's scope: GetTickCount64 returns its value, which
// moves only through advance/set. One at a time per process.
class ScopedFakeTickCount {
public:
    explicit ScopedFakeTickCount(std::uint64_t startMs = 1000000) noexcept;
    ~ScopedFakeTickCount();
    ScopedFakeTickCount(const ScopedFakeTickCount&) = delete;
    ScopedFakeTickCount& operator=(const ScopedFakeTickCount&) = delete;

    void advance(std::uint64_t ms) noexcept;
    void set(std::uint64_t ms) noexcept;
    std::uint64_t now() const noexcept;
};

}  // namespace morvex::platform
