// A fixed receive ring: read and write counters that only ever increase and
// N bytes of data (N a power of two). The offset of a counter in the ring is
// counter & (N - 1). Reads from the socket go straight into the contiguous
// free region and consumers advance the read counter; nothing is copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/crash_log_notation.h"

namespace morvex {

template <std::size_t N>
class ReceiveRing {
    static_assert(N > 0 && (N & (N - 1)) == 0, "ring size must be a power of two");

public:
    static constexpr std::size_t kSize = N;

    std::uint64_t readCounter() const noexcept { return _read; }
    std::uint64_t writeCounter() const noexcept { return _write; }

    std::size_t readable() const noexcept { return static_cast<std::size_t>(_write - _read); }
    std::size_t freeSpace() const noexcept { return N - readable(); }
    bool empty() const noexcept { return _write == _read; }
    bool full() const noexcept { return readable() == N; }

    // The contiguous readable region: from the read offset up to the ring's
    // end at most.
    const char* readPtr() const noexcept { return _data + (_read & (N - 1)); }
    std::size_t contiguousReadable() const noexcept {
        return std::min(readable(), N - static_cast<std::size_t>(_read & (N - 1)));
    }
    // The contiguous free region, the same for writing.
    char* writePtr() noexcept { return _data + (_write & (N - 1)); }
    std::size_t contiguousFree() const noexcept {
        return std::min(freeSpace(), N - static_cast<std::size_t>(_write & (N - 1)));
    }

    // Records n bytes written at writePtr(); n <= contiguousFree().
    void commitWrite(std::size_t n) noexcept { _write += n; }
    // Consumes n readable bytes; n <= readable().
    void consume(std::size_t n) noexcept { _read += std::min(n, readable()); }
    // Drops everything readable.
    void clear() noexcept { _read = _write; }

    // The i-th readable byte (i < readable()).
    char at(std::size_t i) const noexcept { return _data[(_read + i) & (N - 1)]; }

    // Copies up to n readable bytes to dst without consuming them (handles the
    // wrap). Returns the number copied.
    std::size_t peek(char* dst, std::size_t n) const noexcept {
        n = std::min(n, readable());
        std::size_t first = std::min(n, contiguousReadable());
        std::memcpy(dst, readPtr(), first);
        std::memcpy(dst + first, _data, n - first);
        return n;
    }

    // Appends up to n bytes from src (handles the wrap); returns the number
    // taken. Used by tests and by callers that already hold a copy.
    std::size_t append(const char* src, std::size_t n) noexcept {
        std::size_t done = 0;
        while (done < n && !full()) {
            std::size_t k = std::min(n - done, contiguousFree());
            std::memcpy(writePtr(), src + done, k);
            commitWrite(k);
            done += k;
        }
        return done;
    }

    void dump(CrashLogOutput& out) const noexcept {
        out.printf("read=%llu, write=%llu, size=%zu, avail=%zu", static_cast<unsigned long long>(_read),
                   static_cast<unsigned long long>(_write), N, readable());
    }

private:
    std::uint64_t _read = 0;
    std::uint64_t _write = 0;
    char _data[N];
};

}  // namespace morvex
