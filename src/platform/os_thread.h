// OS threads with the shape of the Windows calls the thread layer is built
// on: _beginthreadex, WaitForSingleObject, CloseHandle, GetCurrentThreadId.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::platform {

struct OsThread;
using HANDLE = OsThread*;

constexpr std::uint32_t WAIT_OBJECT_0 = 0;
constexpr std::uint32_t WAIT_TIMEOUT = 258;
constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFFu;

using ThreadProc = unsigned (*)(void* arg);

// Starts a thread running proc(arg) with the given stack size (0: the
// default). Returns its handle and stores the new thread's OS id (as
// GetCurrentThreadId reports it there) in *threadId; the id is known when
// this returns. On failure returns null with the last error set.
HANDLE BeginThreadEx(std::size_t stackSize, ThreadProc proc, void* arg, std::uint32_t* threadId) noexcept;

// Waits for the thread to end: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED
// with the last error set. May be called again after the thread has ended.
std::uint32_t WaitForSingleObject(HANDLE thread, std::uint32_t timeoutMs) noexcept;

// Releases the handle (a thread still running goes on, detached). False with
// the last error set for a null handle.
bool CloseHandle(HANDLE thread) noexcept;

// The calling thread's OS id (gettid), cached per thread.
std::uint32_t GetCurrentThreadId() noexcept;

// Names the calling thread for debuggers and ps; Linux keeps at most 15
// bytes, so longer names are cut.
void SetCurrentThreadName(const char* name) noexcept;

void Sleep(std::uint32_t ms) noexcept;

// Ends the process at once with the status: no destructors, no atexit
// handlers, no stream flushing.
[[noreturn]] void QuickExit(int status) noexcept;

}  // namespace morvex::platform
