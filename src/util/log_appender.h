// Appenders: where rendered messages go (standard error or a size-rolled
// file), with an output buffer and the properties the configuration sets.
//
// Properties are set while configuring (start-up, single-threaded); write()
// may be called from any thread and serialises on the appender's own lock.
// Failures of the file system are reported through the logging facility
// after the lock is released (see drainAppenderDiagnostics).
//
// Batching: a file appender gathers lines and writes them with one call once
// kBatchBytes are pending, when a line of level ERROR or above arrives, when
// the next line would take the file past maxFileSize, or at the latest
// kFlushDelayMs after the first pending line (the LogFlusher thread; without
// it lines are written at once). Standard error is written at once, without
// ever blocking (log_stderr.h). A buffered
// category holds its lines (on any appender) until bufferSize bytes are
// pending or the flush delay has passed. crashFlushAll() writes whatever is
// pending from a crash handler.
//
// A file that cannot be opened or written does not silence the appender: its
// lines go to standard error until the file opens again (retried at most
// once per reopenInterval).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/log_layout.h"

namespace morvex {

class LogObserver;

class LogAppender {
public:
    static constexpr std::uint64_t kDefaultMaxMessageSize = 16384;
    static constexpr std::uint64_t kDefaultBufferSize = 16384;
    static constexpr std::size_t kBatchBytes = 64 * 1024;
    // A buffered category holds at most one batch.
    static constexpr std::uint64_t kMaxBufferSize = kBatchBytes;
    static constexpr unsigned kFlushDelayMs = 100;
    static constexpr unsigned kDefaultReopenIntervalMs = 1000;

    explicit LogAppender(std::string name);
    ~LogAppender();
    LogAppender(const LogAppender&) = delete;
    LogAppender& operator=(const LogAppender&) = delete;

    const std::string& name() const noexcept { return _name; }

    // Empty: standard error. Closes a file that was open; the new one opens
    // when the appender is checked or first written.
    void setFileName(std::string fileName);
    const std::string& fileName() const noexcept { return _fileName; }
    void setMaxFileSize(std::uint64_t bytes) noexcept { _maxFileSize = bytes; }
    std::uint64_t maxFileSize() const noexcept { return _maxFileSize; }
    void setMaxBackupIndex(std::uint32_t index) noexcept { _maxBackupIndex = index; }
    std::uint32_t maxBackupIndex() const noexcept { return _maxBackupIndex; }
    void setSerialization(LogSerialization s) noexcept { _serialization = s; }
    LogSerialization serialization() const noexcept { return _serialization; }
    void setMaxMessageSize(std::uint64_t bytes) noexcept { _maxMessageSize = bytes; }
    std::uint64_t maxMessageSize() const noexcept { return _maxMessageSize; }
    void setBufferSize(std::uint64_t bytes) noexcept { _bufferSize = bytes; }
    std::uint64_t bufferSize() const noexcept { return _bufferSize; }
    void setEscape(bool escape) noexcept { _escape = escape; }
    bool escape() const noexcept { return _escape; }
    void setLayout(std::shared_ptr<const LogLayout> layout) { _layout = std::move(layout); }
    const std::shared_ptr<const LogLayout>& layout() const noexcept { return _layout; }
    void setDisabled(bool disabled) noexcept { _disabled = disabled; }
    bool disabled() const noexcept { return _disabled; }
    void setDeferredOpen(bool deferred) noexcept { _deferredOpen = deferred; }
    bool deferredOpen() const noexcept { return _deferredOpen; }
    // How long a file that failed to open is left alone before the next try.
    void setReopenIntervalMs(unsigned ms) noexcept { _reopenIntervalMs = ms; }

    // Renders event with this appender's layout and serialization into out
    // (replacing its content).
    void render(const LogEvent& event, std::string& out) const;

    // Writes one rendered message: opens the output if needed, shows the text
    // to observers (when given), appends it to the buffer and, unless
    // buffered and the buffer is below bufferSize, writes the buffer out and
    // rolls the file when it grew past maxFileSize.
    void write(std::string_view text, bool buffered, const LogEvent& event,
               const std::vector<LogObserver*>* observers = nullptr);

    // Opens the output now (configuration check); false when that failed.
    bool open();
    // Writes out whatever is buffered.
    void flush();
    // Bytes waiting in the buffer.
    std::size_t pendingBytes() const noexcept { return _pending.load(std::memory_order_relaxed); }

    // Writes out every live appender's pending lines (the flusher thread).
    static void flushAllListed();
    // Writes every appender's pending bytes with plain write(2) calls, taking
    // no lock and allocating nothing: for the crash reporter. A line that
    // another thread is appending at that very moment may be cut.
    static void crashFlushAll() noexcept;
    // Flushes and closes the file (standard error is never closed).
    void close();

    // Whether output is open (a file, or standard error for no file name).
    bool isOpen() const;
    std::uint64_t currentSize() const;

private:
    bool openLocked();
    void closeLocked();
    void flushLocked();
    void rollOverLocked();
    // Writes data to the open output; a failing file is closed and the data
    // goes to standard error instead.
    void writeOutLocked(const char* data, std::size_t size);
    bool isFileLocked() const noexcept { return !_fileName.empty(); }

    const std::string _name;
    std::string _fileName;
    std::uint64_t _maxFileSize = 0;
    std::uint32_t _maxBackupIndex = 0;
    std::uint64_t _currentSize = 0;
    LogSerialization _serialization = LogSerialization::Plain;
    std::uint64_t _maxMessageSize = kDefaultMaxMessageSize;
    std::uint64_t _bufferSize = kDefaultBufferSize;
    bool _escape = true;
    std::shared_ptr<const LogLayout> _layout;
    bool _openFailed = false;
    bool _writeFailed = false;  // "Error writing" reported, no write succeeded since
    bool _disabled = false;
    bool _deferredOpen = false;

    unsigned _reopenIntervalMs = kDefaultReopenIntervalMs;
    std::int64_t _nextOpenAttemptMs = 0;  // monotonic; after a failed open or write
    bool _rollFailed = false;             // reported; no roll succeeded since
    std::int64_t _nextRollAttemptMs = 0;  // monotonic; after a failed roll

    mutable std::mutex _lock;
    // Atomic (and the buffer fixed once allocated) so that crashFlushAll can
    // read them without the lock.
    std::atomic<int> _fd{-1};            // -1: closed; 2: standard error (not owned)
    std::atomic<char*> _batch{nullptr};  // kBatchBytes, allocated on first use
    std::atomic<std::size_t> _pending{0};
    int _slot = -1;  // index in the crash-flush table, -1 when not listed
};

// Logs, on the "LogAppender" channel, the file-system failures that appenders
// recorded on this thread while holding their locks. The logging path calls
// it after each message.
void drainAppenderDiagnostics();

}  // namespace morvex
