// Standard error as the logging facility's last resort, written so that it
// never blocks: a parent that stops reading its end of the pipe must not
// stall every thread that logs (they write under an appender's lock), the
// stop path included.
//
// A pipe is written through a non-blocking description of its own (opened
// anew, so the parent's description of the same pipe is not changed); a
// socket with MSG_DONTWAIT; files and terminals plainly. What does not fit
// is dropped and counted, and the count is written as a line of its own
// before the next text that fits:
//   "WARN - 12 lines for standard error were dropped: it was not being read"
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex {

// Writes data to descriptor 2 as far as it goes without blocking. Any
// thread; takes one lock of its own, held only for non-blocking calls.
void writeStandardError(const char* data, std::size_t size) noexcept;

// The same for a crash or signal handler: no lock, no allocation; what does
// not fit is dropped without being counted.
void writeStandardErrorFromSignal(const char* data, std::size_t size) noexcept;

// Lines dropped so far and not yet reported.
std::uint64_t standardErrorLinesDropped() noexcept;

}  // namespace morvex
