// Backtraces and symbol names for crash reports, usable inside a signal
// handler of a damaged process: no allocation and no locks once
// crashSymbolsWarmUp() has run. Symbols come from the dynamic symbol table
// of the module that holds an address, so only exported functions have
// names (the program is linked with its symbols exported); others are given
// as module + offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::platform {

// Loads what the unwinder needs on first use (that first use allocates).
// Call once at start-up, before any fault.
void crashSymbolsWarmUp() noexcept;

// The return addresses of the calling thread's stack, innermost first; when
// called in a signal handler the frames pass through the signal frame into
// the interrupted code. Returns the count stored (at most max).
std::size_t crashBacktrace(void** frames, std::size_t max) noexcept;

struct CrashSymbol {
    const char* module = nullptr;    // file name of the module (basename), or null
    std::uint64_t moduleOffset = 0;  // address - module load base
    const char* name = nullptr;      // mangled symbol name, or null
    std::uint64_t symbolOffset = 0;  // address - symbol start
};

// Finds the module and the exported function containing address. False when
// no loaded module holds it.
bool crashLookupSymbol(const void* address, CrashSymbol& out) noexcept;

// Writes a readable form of an Itanium-mangled name into out (always
// terminated): "_ZN6morvex6Thread4mainEv" gives "morvex::Thread::main",
// "St13runtime_error" (a type name) gives "std::runtime_error". Parameters
// are left out. A name it does not understand is copied unchanged. Returns
// the length written.
std::size_t crashDemangle(const char* mangled, char* out, std::size_t size) noexcept;

}  // namespace morvex::platform
