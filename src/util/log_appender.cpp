#include "util/log_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/error_codes.h"
#include "util/log_category.h"
#include "util/log_flusher.h"
#include "util/log_stderr.h"

namespace morvex {

namespace {

struct Diagnostic {
    LogLevel level;
    std::string text;
};

// Failures noticed under an appender's lock wait here until the lock is
// released, so that reporting them (possibly to the same appender) cannot
// deadlock.
thread_local std::vector<Diagnostic> t_diagnostics;

// Records fmt with each "%s" replaced by the next of args and "%m" by the
// text of errno (taken at the call).
void note(LogLevel level, const char* fmt, std::initializer_list<std::string_view> args) {
    int err = errno;
    std::string text;
    auto next = args.begin();
    for (const char* p = fmt; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && next != args.end()) {
            text.append(*next++);
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            text += platform::ErrorText(static_cast<std::uint32_t>(err));
            ++p;
        } else {
            text += *p;
        }
    }
    t_diagnostics.push_back({level, std::move(text)});
    errno = err;
}

// Creates the missing parent directories of path (as "mkdir -p" would).
void makeParentDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string backupName(const std::string& base, std::uint32_t index) {
    return index == 0 ? base : base + "." + std::to_string(index);
}

std::int64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Every live appender, for crashFlushAll (which may not lock). Appenders are
// few and live as long as the process; one beyond the table is simply not
// flushed by a crash.
constexpr int kCrashSlots = 128;
std::atomic<LogAppender*> g_crashSlots[kCrashSlots];

// Guards the table for the flusher, which must not flush an appender that is
// being destroyed.
std::mutex& slotsLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

int claimCrashSlot(LogAppender* appender) noexcept {
    std::lock_guard<std::mutex> guard(slotsLock());
    for (int i = 0; i < kCrashSlots; ++i) {
        LogAppender* expected = nullptr;
        if (g_crashSlots[i].compare_exchange_strong(expected, appender)) return i;
    }
    return -1;
}

void releaseCrashSlot(int slot) noexcept {
    if (slot < 0) return;
    std::lock_guard<std::mutex> guard(slotsLock());
    g_crashSlots[slot].store(nullptr);
}

}  // namespace

void drainAppenderDiagnostics() {
    if (t_diagnostics.empty()) return;
    static Logger s_log("LogAppender");
    std::vector<Diagnostic> pending;
    pending.swap(t_diagnostics);
    for (const Diagnostic& d : pending) s_log.log(d.level, "%s", d.text.c_str());
}

LogAppender::LogAppender(std::string name) : _name(std::move(name)) {
    _slot = claimCrashSlot(this);
}

LogAppender::~LogAppender() {
    releaseCrashSlot(_slot);
    close();
    delete[] _batch.load();
}

void LogAppender::setFileName(std::string fileName) {
    std::lock_guard<std::mutex> guard(_lock);
    flushLocked();
    closeLocked();
    _fileName = std::move(fileName);
    _nextOpenAttemptMs = 0;
}

bool LogAppender::isOpen() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _fd.load(std::memory_order_relaxed) >= 0;
}

std::uint64_t LogAppender::currentSize() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _currentSize;
}

void LogAppender::render(const LogEvent& event, std::string& out) const {
    out.clear();
    const LogLayout& layout = _layout ? *_layout : *LogLayout::defaultLayout();
    layout.render(event, _serialization, _maxMessageSize, out);
}

bool LogAppender::open() {
    std::lock_guard<std::mutex> guard(_lock);
    _nextOpenAttemptMs = 0;  // an explicit open always tries
    return openLocked();
}

bool LogAppender::openLocked() {
    if (_fd.load(std::memory_order_relaxed) >= 0) return true;
    if (_fileName.empty()) {
        _fd.store(STDERR_FILENO, std::memory_order_relaxed);
        return true;
    }
    const std::int64_t now = monotonicMs();
    if (now < _nextOpenAttemptMs) return false;
    makeParentDirectories(_fileName);
    int fd = ::open(_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (!_openFailed) note(LogLevel::Error, "Failed opening \"%s\": %m", {_fileName});
        _openFailed = true;
        _nextOpenAttemptMs = now + _reopenIntervalMs;
        return false;
    }
    if (_openFailed) {
        note(LogLevel::Debug, "Successfully opened \"%s\" now.", {_fileName});
        _openFailed = false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        note(LogLevel::Error, "Error calling fstat on \"%s\": %m", {_fileName});
        ::close(fd);
        return false;
    }
    _currentSize = static_cast<std::uint64_t>(st.st_size);
    _fd.store(fd, std::memory_order_relaxed);
    return true;
}

void LogAppender::closeLocked() {
    int fd = _fd.exchange(-1, std::memory_order_relaxed);
    if (fd > STDERR_FILENO) ::close(fd);
}

void LogAppender::close() {
    std::lock_guard<std::mutex> guard(_lock);
    flushLocked();
    closeLocked();
}

void LogAppender::flush() {
    std::lock_guard<std::mutex> guard(_lock);
    flushLocked();
}

void LogAppender::write(std::string_view text, bool buffered, const LogEvent& event,
                        const std::vector<LogObserver*>* observers) {
    if (_disabled) return;
    std::lock_guard<std::mutex> guard(_lock);
    if (_fd.load(std::memory_order_relaxed) < 0 && !openLocked()) {
        // The file is out of reach: the line goes to standard error rather
        // than nowhere.
        flushLocked();
        writeStandardError(text.data(), text.size());
        return;
    }
    if (observers) {
        for (LogObserver* observer : *observers) observer->observe(event, text);
    }
    std::size_t pending = _pending.load(std::memory_order_relaxed);
    if (pending + text.size() > kBatchBytes) {
        flushLocked();
        pending = 0;
    }
    if (text.size() >= kBatchBytes) {
        writeOutLocked(text.data(), text.size());
        return;
    }
    char* batch = _batch.load(std::memory_order_relaxed);
    if (!batch) {
        batch = new char[kBatchBytes];
        _batch.store(batch, std::memory_order_release);
    }
    std::memcpy(batch + pending, text.data(), text.size());
    _pending.store(pending + text.size(), std::memory_order_release);
    pending += text.size();

    bool hold;
    if (buffered) {
        hold = pending < _bufferSize;
    } else {
        hold = isFileLocked() && event.level < LogLevel::Error;
    }
    // The line that takes the file past its limit is written at once, so the
    // file rolls where it would without batching.
    if (hold && _maxFileSize != 0 && isFileLocked() && _currentSize + pending > _maxFileSize) hold = false;
    if (!hold) {
        flushLocked();
    } else if (pending == text.size() && !LogFlusher::instance().arm() && !buffered) {
        // No flusher thread to write the batch later. (A buffered category
        // holds its lines until bufferSize, timer or not.)
        flushLocked();
    }
}

void LogAppender::writeOutLocked(const char* data, std::size_t size) {
    const int fd = _fd.load(std::memory_order_relaxed);
    if (fd < 0 || fd == STDERR_FILENO) {
        // Never blocks: a parent that stopped reading must not stall every
        // thread that logs under this lock.
        writeStandardError(data, size);
        return;
    }
    if (!writeAll(fd, data, size)) {
        // Reported once until a write succeeds again: the report itself is a
        // line for this file, which must not keep the failure going.
        if (!_writeFailed) note(LogLevel::Error, "Error writing to \"%s\": %m", {_fileName});
        _writeFailed = true;
        _nextOpenAttemptMs = monotonicMs() + _reopenIntervalMs;
        closeLocked();
        // Not lost: these lines go to standard error, later ones too until
        // the file opens again.
        writeStandardError(data, size);
        return;
    }
    _currentSize += size;
    _writeFailed = false;
    if (_maxFileSize != 0 && _currentSize > _maxFileSize) rollOverLocked();
}

void LogAppender::flushLocked() {
    const std::size_t pending = _pending.load(std::memory_order_relaxed);
    if (pending == 0) return;
    writeOutLocked(_batch.load(std::memory_order_relaxed), pending);
    _pending.store(0, std::memory_order_release);
}

void LogAppender::flushAllListed() {
    std::lock_guard<std::mutex> guard(slotsLock());
    for (std::atomic<LogAppender*>& slot : g_crashSlots) {
        LogAppender* appender = slot.load(std::memory_order_acquire);
        if (appender && appender->pendingBytes() != 0) appender->flush();
    }
}

void LogAppender::crashFlushAll() noexcept {
    for (std::atomic<LogAppender*>& slot : g_crashSlots) {
        LogAppender* appender = slot.load(std::memory_order_acquire);
        if (!appender) continue;
        const std::size_t pending = appender->_pending.exchange(0, std::memory_order_acq_rel);
        const char* batch = appender->_batch.load(std::memory_order_acquire);
        if (pending == 0 || pending > kBatchBytes || !batch) continue;
        int fd = appender->_fd.load(std::memory_order_relaxed);
        if (fd < 0 || fd == STDERR_FILENO) {
            writeStandardErrorFromSignal(batch, pending);
            continue;
        }
        for (std::size_t done = 0; done < pending;) {
            ssize_t n = ::write(fd, batch + done, pending - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
}

void LogAppender::rollOverLocked() {
    // After a roll that could not move the file away, the next attempt waits
    // (every line would otherwise retry and report it).
    const std::int64_t now = monotonicMs();
    if (now < _nextRollAttemptMs) return;
    closeLocked();
    bool failed = false;
    // The first free slot, or the oldest kept backup, which is removed.
    std::uint32_t i = 0;
    for (;; ++i) {
        std::string name = backupName(_fileName, i);
        if (i >= _maxBackupIndex) {
            if (::unlink(name.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
                if (!_rollFailed) note(LogLevel::Error, "Error unlinking \"%s\": %m", {name});
                failed = true;
            }
            break;
        }
        if (!exists(name)) break;
    }
    for (std::uint32_t j = i; j >= 1; --j) {
        std::string from = backupName(_fileName, j - 1);
        std::string to = backupName(_fileName, j);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            if (!_rollFailed) note(LogLevel::Error, "Error renaming \"%s\" to \"%s\": %m", {from, to});
            failed = true;
        }
    }
    // No O_TRUNC: when the live file could not be moved away (a read-only
    // folder, say) it is still there, and its lines are kept by appending.
    int fd = ::open(_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        note(LogLevel::Error, "Error opening \"%s\": %m", {_fileName});
        return;
    }
    struct stat st;
    _currentSize = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    _fd.store(fd, std::memory_order_relaxed);
    _rollFailed = failed;
    _nextRollAttemptMs = failed ? now + _reopenIntervalMs : 0;
}

}  // namespace morvex
