// Shared pieces of the fuzz targets: invariant checks that abort with a
// message, logging that formats every message but writes nowhere, a private
// scratch directory, and a deterministic way to cut an input into pieces.
//
// Each target defines LLVMFuzzerTestOneInput. Built with -fsanitize=fuzzer it
// is a libFuzzer binary; linked with replay_main.cpp it replays files (the
// seed corpus and the regression inputs) as an ordinary test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::morvex::fuzz::checkFailed(#cond, __FILE__, __LINE__))

namespace morvex::fuzz {

// Prints the failed invariant and aborts, so that libFuzzer (or the replay
// test) reports the input.
[[noreturn]] void checkFailed(const char* what, const char* file, int line);

// Sends every channel, at DEBUG, to /dev/null (which never rolls: no size
// limit is configured). Once per process.
void quietLogging();

// A directory private to this process, created on first use and removed at
// exit.
const std::string& scratchDir();

// FNV-1a; the targets derive their switches and cut points from it so that an
// input always replays the same way.
std::uint64_t hashBytes(std::string_view data) noexcept;

// Strictly increasing cut positions inside (0, size), derived from the bytes.
std::vector<std::size_t> cutPoints(std::string_view data, std::uint64_t seed);

inline std::string_view asText(const std::uint8_t* data, std::size_t size) noexcept {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace morvex::fuzz
