#include "platform/tick_count.h"

#include <atomic>
#include <ctime>

namespace morvex::platform {

namespace {

std::atomic<TickCountSource> g_source{nullptr};
std::atomic<std::uint64_t> g_fakeNow{0};

std::uint64_t fakeSource() {
    return g_fakeNow.load(std::memory_order_relaxed);
}

}  // namespace

std::uint64_t GetTickCount64() noexcept {
    // One relaxed load and a well-predicted branch when no test clock is set.
    if (TickCountSource source = g_source.load(std::memory_order_relaxed)) [[unlikely]]
        return source();
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void setTickCountSourceForTest(TickCountSource source) noexcept {
    g_source.store(source, std::memory_order_relaxed);
}

ScopedFakeTickCount::ScopedFakeTickCount(std::uint64_t startMs) noexcept {
    g_fakeNow.store(startMs, std::memory_order_relaxed);
    setTickCountSourceForTest(&fakeSource);
}

ScopedFakeTickCount::~ScopedFakeTickCount() {
    setTickCountSourceForTest(nullptr);
}

void ScopedFakeTickCount::advance(std::uint64_t ms) noexcept {
    g_fakeNow.fetch_add(ms, std::memory_order_relaxed);
}

void ScopedFakeTickCount::set(std::uint64_t ms) noexcept {
    g_fakeNow.store(ms, std::memory_order_relaxed);
}

std::uint64_t ScopedFakeTickCount::now() const noexcept {
    return g_fakeNow.load(std::memory_order_relaxed);
}

}  // namespace morvex::platform
