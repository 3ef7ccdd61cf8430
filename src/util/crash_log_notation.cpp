#include "util/crash_log_notation.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/thread.h"

namespace morvex {

namespace {

thread_local CrashLogNotationList* t_list = nullptr;
CrashLogNotationList g_processList;  // constant-initialised

}  // namespace

void CrashLogOutput::write(const char* text) noexcept {
    if (text) write(text, std::strlen(text));
}

void CrashLogOutput::printf(const char* format, ...) noexcept {
    char buf[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n <= 0) return;
    write(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

void CrashLogOutput::flag(const char* name, bool value) noexcept {
    write(name);
    write(value ? "=Y" : "=N", 2);
}

void CrashLogOutput::hexDump(const char* title, const void* address, std::size_t maxBytes) noexcept {
    static const char kHex[] = "0123456789abcdef";
    write(title);
    write("\r\n", 2);
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::uintptr_t pageSize = page > 0 ? static_cast<std::uintptr_t>(page) : 4096u;
    const std::uintptr_t pageEnd = (start / pageSize + 1) * pageSize;
    std::size_t count = pageEnd - start < maxBytes ? pageEnd - start : maxBytes;
    const auto* bytes = static_cast<const unsigned char*>(address);
    for (std::size_t row = 0; row < count; row += 16) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "  %012lx:", static_cast<unsigned long>(start + row));
        std::size_t len = n > 0 && n < 24 ? static_cast<std::size_t>(n) : 0;
        for (std::size_t i = row; i < count && i < row + 16; ++i) {
            line[len++] = ' ';
            line[len++] = kHex[bytes[i] >> 4];
            line[len++] = kHex[bytes[i] & 0xf];
        }
        line[len++] = '\r';
        line[len++] = '\n';
        write(line, len);
    }
}

BufferCrashLogOutput::BufferCrashLogOutput(char* buffer, std::size_t size) noexcept : _buffer(buffer), _size(size) {
    if (_size) _buffer[0] = '\0';
}

void BufferCrashLogOutput::write(const char* data, std::size_t size) noexcept {
    if (_size == 0) return;
    std::size_t room = _size - 1 - _length;
    std::size_t n = size < room ? size : room;
    std::memcpy(_buffer + _length, data, n);
    _length += n;
    _buffer[_length] = '\0';
}

ScopedPerThreadCrashLogNotation::ScopedPerThreadCrashLogNotation() noexcept : _list(t_list) {
    if (!_list) return;
    _next = _list->head.load(std::memory_order_relaxed);
    _list->head.store(this, std::memory_order_release);
}

ScopedPerThreadCrashLogNotation::ScopedPerThreadCrashLogNotation(BottomOf where) noexcept : _list(where.list) {
    if (!_list) return;
    ScopedPerThreadCrashLogNotation* last = _list->head.load(std::memory_order_relaxed);
    if (!last) {
        _list->head.store(this, std::memory_order_release);
        return;
    }
    while (last->_next) last = last->_next;
    last->_next = this;
}

ScopedPerThreadCrashLogNotation::~ScopedPerThreadCrashLogNotation() {
    if (!_list) return;
    if (_list->head.load(std::memory_order_relaxed) == this) {
        _list->head.store(_next, std::memory_order_release);
        return;
    }
    // Out of order (a permanent entry at the bottom): unlink from the middle.
    for (ScopedPerThreadCrashLogNotation* p = _list->head.load(std::memory_order_relaxed); p; p = p->_next) {
        if (p->_next == this) {
            p->_next = _next;
            return;
        }
    }
}

namespace crash_log {

CrashLogNotationList* currentList() noexcept {
    return t_list;
}

void setCurrentList(CrashLogNotationList* list) noexcept {
    t_list = list;
}

CrashLogNotationList& processList() noexcept {
    return g_processList;
}

void markCrashReporterThread() noexcept {
    if (!Thread::mainThreadExists()) t_list = &g_processList;
}

const char* currentThreadName() noexcept {
    return Thread::currentThreadName();
}

std::uint32_t threadsActive() noexcept {
    return Thread::threadsActive();
}

const ScopedPerThreadCrashLogNotation* currentNotations() noexcept {
    return t_list ? t_list->head.load(std::memory_order_acquire) : nullptr;
}

void eachOtherThreadNotations(void (*visit)(const char*, const ScopedPerThreadCrashLogNotation*, void*),
                              void* context) noexcept {
    Thread::crashVisitOtherThreads(visit, context);
}

std::uint32_t printNotations(const ScopedPerThreadCrashLogNotation* head, CrashLogOutput& out) noexcept {
    std::uint32_t count = 0;
    for (const ScopedPerThreadCrashLogNotation* p = head; p; p = p->next()) {
        if (count == kMaxNotationsPerList) {
            out.write(
                "Max crashlog notation count exceeded (1024), probably linked list of notations corrupted. breaking "
                "out.\r\n");
            break;
        }
        p->describe(out);
        ++count;
    }
    return count;
}

}  // namespace crash_log

}  // namespace morvex
