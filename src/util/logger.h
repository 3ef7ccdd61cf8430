// Named logging channels.
//
//   static Logger s_log("TLSProxy");
//   s_log.error("Failed to start TLS proxy server due to bad config.");
//   s_log.warnStream() << "value=" << v;
//
// A call below the channel's threshold costs one relaxed load and formats
// nothing. Every call keeps the caller's last-error code (platform
// GetLastError); "%m" in a format inserts the text of that code.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#define MORVEX_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

namespace morvex {

enum class LogLevel : int {
    Debug = 0,
    Info = 1,
    Notice = 2,
    Warn = 3,
    Error = 4,
    Crit = 5,
    Alert = 6,
    Fatal = 7,
    Emerg = 8,
};

// "DEBUG", "INFO", ... "EMERG"; nullptr for a value out of range.
const char* logLevelName(LogLevel level) noexcept;
// The level of an exact (upper-case) name; false when name is none.
bool parseLogLevel(std::string_view name, LogLevel& level) noexcept;

class Logger;

// Collects one stream-style message; writes it when destroyed.
class LogStream {
public:
    LogStream(const Logger* logger, LogLevel level);
    LogStream(LogStream&& other) noexcept;
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
    ~LogStream();

    template <typename T>
    LogStream& operator<<(const T& value) {
        if (_stream) *_stream << value;
        return *this;
    }

private:
    const Logger* _logger;  // null when the level is disabled
    LogLevel _level;
    // Built only for an enabled level: a disabled stream costs nothing.
    std::optional<std::ostringstream> _stream;
};

class LogCategory;
class LogFacility;
class LogSuppression;
struct LogMessageBuffers;

class Logger {
public:
    // Channels are static objects; suppression groups similar messages by
    // format (interval in seconds, allowance per group).
    explicit Logger(const char* name, bool suppress = false, unsigned intervalSeconds = 60, unsigned allowance = 100);
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    const std::string& name() const noexcept { return _name; }

    // One relaxed load: the threshold of the channel's category, cached here.
    bool isEnabledFor(LogLevel level) const noexcept {
        return static_cast<int>(level) >= _threshold.load(std::memory_order_relaxed);
    }

    void log(LogLevel level, const char* format, ...) const MORVEX_PRINTF(3, 4);
    void vlog(LogLevel level, const char* format, va_list args) const;

    void debug(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void info(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void notice(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void warn(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void error(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void crit(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void alert(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void fatal(const char* format, ...) const MORVEX_PRINTF(2, 3);
    void emerg(const char* format, ...) const MORVEX_PRINTF(2, 3);

    LogStream stream(LogLevel level) const { return LogStream(isEnabledFor(level) ? this : nullptr, level); }
    LogStream debugStream() const { return stream(LogLevel::Debug); }
    LogStream infoStream() const { return stream(LogLevel::Info); }
    LogStream noticeStream() const { return stream(LogLevel::Notice); }
    LogStream warnStream() const { return stream(LogLevel::Warn); }
    LogStream errorStream() const { return stream(LogLevel::Error); }
    LogStream fatalStream() const { return stream(LogLevel::Fatal); }

    // Writes an already formatted text (no % processing) if the level is
    // enabled. Used by LogStream.
    void write(LogLevel level, const std::string& text) const;

private:
    friend class LogFacility;

    // Sends one formatted text (threshold already passed) to the category's
    // appenders, or to the standard-error fallback before configuration.
    // rawSuffix is appended after escaping (a summary's real CR LF and tabs).
    void dispatch(LogLevel level, std::string_view text, LogMessageBuffers& buffers,
                  std::string_view rawSuffix = {}) const;
    // Writes the suppression summaries due by nowMs (all pending ones when
    // force); returns when the next one falls due. Any thread.
    std::optional<std::int64_t> writeSummaries(std::int64_t nowMs, bool force) const;

    const std::string _name;
    // Kept equal to the category's threshold by the facility.
    std::atomic<int> _threshold;
    std::atomic<LogCategory*> _category;
    // Links of the facility's list of channels (under its lock).
    Logger* _prevChannel = nullptr;
    Logger* _nextChannel = nullptr;
    bool _bound = false;
    std::unique_ptr<LogSuppression> _suppression;
};

}  // namespace morvex
