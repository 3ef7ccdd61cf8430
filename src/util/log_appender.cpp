#include "util/log_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/error_codes.h"
#include "util/log_category.h"

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

}  // namespace

void drainAppenderDiagnostics() {
    if (t_diagnostics.empty()) return;
    static Logger s_log("LogAppender");
    std::vector<Diagnostic> pending;
    pending.swap(t_diagnostics);
    for (const Diagnostic& d : pending) s_log.log(d.level, "%s", d.text.c_str());
}

LogAppender::LogAppender(std::string name) : _name(std::move(name)) {}

LogAppender::~LogAppender() {
    close();
}

void LogAppender::setFileName(std::string fileName) {
    std::lock_guard<std::mutex> guard(_lock);
    flushLocked();
    closeLocked();
    _fileName = std::move(fileName);
}

bool LogAppender::isOpen() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _fd >= 0;
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
    return openLocked();
}

bool LogAppender::openLocked() {
    if (_fd >= 0) return true;
    if (_fileName.empty()) {
        _fd = STDERR_FILENO;
        return true;
    }
    makeParentDirectories(_fileName);
    int fd = ::open(_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (!_openFailed) note(LogLevel::Error, "Failed opening \"%s\": %m", {_fileName});
        _openFailed = true;
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
    _fd = fd;
    _currentSize = static_cast<std::uint64_t>(st.st_size);
    return true;
}

void LogAppender::closeLocked() {
    if (_fd > STDERR_FILENO) ::close(_fd);
    _fd = -1;
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
    if (_fd < 0 && !openLocked()) return;
    if (observers) {
        for (LogObserver* observer : *observers) observer->observe(event, text);
    }
    _buffer.append(text);
    if (buffered && _buffer.size() < _bufferSize) return;
    flushLocked();
}

void LogAppender::flushLocked() {
    if (_buffer.empty() || _fd < 0) return;
    bool ok = writeAll(_fd, _buffer.data(), _buffer.size());
    std::size_t written = _buffer.size();
    // A failed write drops the buffer: keeping it would let it grow without
    // bound while the disk stays full.
    _buffer.clear();
    if (!ok) {
        if (_fd != STDERR_FILENO) {
            note(LogLevel::Error, "Error writing to \"%s\": %m", {_fileName});
            closeLocked();
        }
        return;
    }
    _currentSize += written;
    if (_maxFileSize != 0 && _fd != STDERR_FILENO && _currentSize > _maxFileSize) rollOverLocked();
}

void LogAppender::rollOverLocked() {
    closeLocked();
    // The first free slot, or the oldest kept backup, which is removed.
    std::uint32_t i = 0;
    for (;; ++i) {
        std::string name = backupName(_fileName, i);
        if (i >= _maxBackupIndex) {
            if (::unlink(name.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
                note(LogLevel::Error, "Error unlinking \"%s\": %m", {name});
            }
            break;
        }
        if (!exists(name)) break;
    }
    for (std::uint32_t j = i; j >= 1; --j) {
        std::string from = backupName(_fileName, j - 1);
        std::string to = backupName(_fileName, j);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            note(LogLevel::Error, "Error renaming \"%s\" to \"%s\": %m", {from, to});
        }
    }
    int fd = ::open(_fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        note(LogLevel::Error, "Error opening \"%s\": %m", {_fileName});
        return;
    }
    _fd = fd;
    _currentSize = 0;
}

}  // namespace morvex
