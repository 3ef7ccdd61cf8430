// Crash-log notations: while code works on an object (a thread, a polled
// descriptor, an actor, a timer) it keeps a notation on the current thread's
// list, so that a crash report can describe what the thread was doing.
//
// Lists are intrusive and LIFO: a ScopedPerThreadCrashLogNotation links
// itself in on construction and out on destruction, which allocates nothing.
// The bottom entry of an ordinary thread's list is the Thread itself; the
// main thread (and, before a MainThread exists, the thread that set up the
// crash reporter) uses one process-wide list; other threads have none and
// their notations are not linked anywhere.
//
// Printing runs inside a crash report: describe() must not allocate, lock or
// throw; it writes through CrashLogOutput.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "util/logger.h"  // MORVEX_PRINTF

namespace morvex {

// A sink for crash-report text. Implementations must not allocate.
class CrashLogOutput {
public:
    virtual void write(const char* data, std::size_t size) noexcept = 0;

    void write(const char* text) noexcept;
    // printf into a fixed stack buffer (longer results are cut at 1023 bytes).
    void printf(const char* format, ...) noexcept MORVEX_PRINTF(2, 3);
    // "name=Y" / "name=N".
    void flag(const char* name, bool value) noexcept;
    // A hex dump of up to maxBytes from address, never past the end of the
    // memory page that holds address: a title line, then lines of 16 bytes
    // ("  <address>: xx xx ..."), CR LF line ends.
    void hexDump(const char* title, const void* address, std::size_t maxBytes) noexcept;

protected:
    ~CrashLogOutput() = default;
};

// CrashLogOutput into a caller's fixed buffer (always terminated; excess is
// dropped). Handy for tests and for formatting before a raw write.
class BufferCrashLogOutput : public CrashLogOutput {
public:
    BufferCrashLogOutput(char* buffer, std::size_t size) noexcept;
    using CrashLogOutput::write;
    void write(const char* data, std::size_t size) noexcept override;
    const char* text() const noexcept { return _buffer; }
    std::size_t length() const noexcept { return _length; }

private:
    char* _buffer;
    std::size_t _size;
    std::size_t _length = 0;
};

class ScopedPerThreadCrashLogNotation;

// Head of one notation list (newest first).
struct CrashLogNotationList {
    std::atomic<ScopedPerThreadCrashLogNotation*> head{nullptr};
};

class ScopedPerThreadCrashLogNotation {
public:
    // Links this notation at the head of the calling thread's list (does
    // nothing on a thread without a list). Must be destroyed on the same
    // thread, in LIFO order with the thread's other notations.
    ScopedPerThreadCrashLogNotation() noexcept;
    virtual ~ScopedPerThreadCrashLogNotation();
    ScopedPerThreadCrashLogNotation(const ScopedPerThreadCrashLogNotation&) = delete;
    ScopedPerThreadCrashLogNotation& operator=(const ScopedPerThreadCrashLogNotation&) = delete;

    // Writes the description of the object (lines end with CR LF).
    virtual void describe(CrashLogOutput& out) const noexcept = 0;

    const ScopedPerThreadCrashLogNotation* next() const noexcept { return _next; }

protected:
    // A permanent entry placed at the bottom of a given list (a thread's own
    // entry); it unlinks itself from that list when destroyed.
    struct BottomOf {
        CrashLogNotationList* list;
    };
    explicit ScopedPerThreadCrashLogNotation(BottomOf where) noexcept;

private:
    CrashLogNotationList* _list;
    ScopedPerThreadCrashLogNotation* _next = nullptr;
};

namespace crash_log {

constexpr std::uint32_t kMaxNotationsPerList = 1024;

// The calling thread's list (own list, the process-wide list, or null).
CrashLogNotationList* currentList() noexcept;
// Sets the calling thread's list; the thread layer calls this. Null detaches.
void setCurrentList(CrashLogNotationList* list) noexcept;
// The process-wide list of the main thread.
CrashLogNotationList& processList() noexcept;
// Called by the thread that sets up the crash reporter: before a MainThread
// exists, that thread then uses the process-wide list.
void markCrashReporterThread() noexcept;

// The three callbacks handed to the crash reporter.
const char* currentThreadName() noexcept;
std::uint32_t threadsActive() noexcept;
const ScopedPerThreadCrashLogNotation* currentNotations() noexcept;  // head or null
// The reporter's view of the other threads: visit(name, head, context) for
// the main thread and every listed thread except the caller. Takes the
// thread registry's lock only if it is free, so it works whoever holds it.
void eachOtherThreadNotations(void (*visit)(const char* threadName, const ScopedPerThreadCrashLogNotation* head,
                                            void* context),
                              void* context) noexcept;

// Describes each notation from head down, at most kMaxNotationsPerList; if
// the list is longer writes "Max crashlog notation count exceeded (1024),
// probably linked list of notations corrupted. breaking out." and CR LF.
// Returns the number of notations described.
std::uint32_t printNotations(const ScopedPerThreadCrashLogNotation* head, CrashLogOutput& out) noexcept;

}  // namespace crash_log

}  // namespace morvex
