#include "util/logger.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "util/log_appender.h"
#include "util/log_category.h"
#include "util/log_facility.h"
#include "util/log_flusher.h"
#include "util/log_stderr.h"
#include "util/log_suppression.h"
#include "util/log_text.h"

namespace morvex {

// The strings one message needs on its way; each thread reuses one set so that
// a steady stream of messages allocates nothing.
struct LogMessageBuffers {
    std::string format;    // the format with %m expanded
    std::string message;   // the formatted text
    std::string escaped;   // the text after escaping
    std::string rendered;  // one appender's rendering
};

namespace {

const char* const kLevelNames[] = {"DEBUG", "INFO", "NOTICE", "WARN", "ERROR", "CRIT", "ALERT", "FATAL", "EMERG"};

// Logging from within logging (an appender reporting its own failure, say)
// nests; beyond this depth messages go straight to standard error so that a
// failure that repeats itself cannot recurse without end.
constexpr int kMaxNesting = 3;

thread_local int t_depth = 0;
thread_local LogMessageBuffers* t_buffers = nullptr;
thread_local bool t_threadEnded = false;

// Frees the thread's buffers when the thread ends; later messages of that
// thread (from other thread-local destructors) use temporaries.
struct ThreadBuffersOwner {
    void touch() noexcept {}
    ~ThreadBuffersOwner() {
        delete t_buffers;
        t_buffers = nullptr;
        t_threadEnded = true;
    }
};
thread_local ThreadBuffersOwner t_owner;

// Gives the caller the thread's buffers, or temporaries when they are in use
// further up the stack.
class MessageScope {
public:
    MessageScope() {
        if (++t_depth == 1 && !t_threadEnded) {
            if (!t_buffers) {
                t_owner.touch();
                t_buffers = new LogMessageBuffers;
            }
            _buffers = t_buffers;
        } else {
            _buffers = &_temporary;
        }
    }
    ~MessageScope() { --t_depth; }
    MessageScope(const MessageScope&) = delete;
    MessageScope& operator=(const MessageScope&) = delete;

    LogMessageBuffers& buffers() noexcept { return *_buffers; }
    bool tooDeep() const noexcept { return t_depth > kMaxNesting; }

private:
    LogMessageBuffers* _buffers;
    LogMessageBuffers _temporary;
};

// "LEVEL - text\r\n" on standard error.
void writeFallback(LogLevel level, std::string_view text, std::string& line) {
    line.assign(logLevelName(level));
    line += " - ";
    line.append(text);
    line += "\r\n";
    writeStandardError(line.data(), line.size());
}

// The format itself, or (when it holds %m) a copy in scratch with %m replaced
// by the text of code, its percent signs doubled.
const char* expandErrorConversion(const char* format, std::uint32_t code, std::string& scratch) {
    const char* p = format;
    for (; *p; ++p) {
        if (p[0] != '%') continue;
        if (p[1] == 'm') break;
        if (p[1] == '%') ++p;
    }
    if (!*p) return format;
    char text[512];
    platform::ErrorText(code, text, sizeof text);
    scratch.assign(format, static_cast<std::size_t>(p - format));
    for (; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            scratch += "%%";
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char* t = text; *t; ++t) {
                if (*t == '%') scratch += '%';
                scratch += *t;
            }
            ++p;
        } else {
            scratch += *p;
        }
    }
    return scratch.c_str();
}

// printf into out, reusing its capacity.
void formatInto(std::string& out, const char* format, va_list args) {
    if (out.capacity() < 256) out.reserve(256);
    out.resize(out.capacity());
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(out.data(), out.size() + 1, format, copy);
    va_end(copy);
    if (n < 0) {
        out.clear();
        return;
    }
    if (static_cast<std::size_t>(n) > out.size()) {
        out.resize(static_cast<std::size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, format, args);
    }
    out.resize(static_cast<std::size_t>(n));
}

std::int64_t wallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

const char* logLevelName(LogLevel level) noexcept {
    int v = static_cast<int>(level);
    return v >= 0 && v <= 8 ? kLevelNames[v] : nullptr;
}

bool parseLogLevel(std::string_view name, LogLevel& level) noexcept {
    for (int v = 0; v <= 8; ++v) {
        if (name == kLevelNames[v]) {
            level = static_cast<LogLevel>(v);
            return true;
        }
    }
    return false;
}

LogStream::LogStream(const Logger* logger, LogLevel level) : _logger(logger), _level(level) {
    if (_logger) _stream.emplace();
}

LogStream::LogStream(LogStream&& other) noexcept
    : _logger(other._logger), _level(other._level), _stream(std::move(other._stream)) {
    other._logger = nullptr;
    other._stream.reset();
}

LogStream::~LogStream() {
    if (_logger && _stream) _logger->write(_level, _stream->str());
}

Logger::Logger(const char* name, bool suppress, unsigned intervalSeconds, unsigned allowance)
    : _name(name), _threshold(static_cast<int>(LogLevel::Info)), _category(nullptr) {
    if (suppress) _suppression = std::make_unique<LogSuppression>(intervalSeconds, allowance);
    LogFacility::instance().registerChannel(*this);
}

Logger::~Logger() {
    // What was suppressed is told before the channel goes (at exit).
    if (_suppression) writeSummaries(wallClockMs(), true);
    LogFacility::instance().unregisterChannel(*this);
}

std::optional<std::int64_t> Logger::writeSummaries(std::int64_t nowMs, bool force) const {
    if (!_suppression) return std::nullopt;
    platform::LastErrorSaver saved;
    try {
        std::vector<LogSuppression::Summary> summaries;
        std::optional<std::int64_t> next = _suppression->takeDue(nowMs, force, summaries);
        if (summaries.empty()) return next;
        MessageScope scope;
        for (const LogSuppression::Summary& s : summaries) {
            if (!isEnabledFor(s.level)) continue;
            dispatch(s.level, s.firstText, scope.buffers(), s.suffix);
        }
        drainAppenderDiagnostics();
        return next;
    } catch (...) {
        return std::nullopt;
    }
}

void Logger::dispatch(LogLevel level, std::string_view text, LogMessageBuffers& buffers,
                      std::string_view rawSuffix) const {
    LogFacility& facility = LogFacility::instance();
    LogCategory* category = _category.load(std::memory_order_acquire);
    if (!facility.configured() || !category) {
        if (!rawSuffix.empty()) {
            buffers.escaped.assign(text);
            buffers.escaped += rawSuffix;
            text = buffers.escaped;
        }
        writeFallback(level, text, buffers.rendered);
        return;
    }
    const std::vector<LogAppender*>& appenders = category->appenders();
    LogAppender* const root = &facility.rootAppender();
    LogAppender* const* begin = appenders.empty() ? &root : appenders.data();
    LogAppender* const* end = appenders.empty() ? &root + 1 : appenders.data() + appenders.size();

    // Escaped once, by the first appender's flag, for all of them.
    std::string_view message = text;
    if (escapeLogText(text, (*begin)->escape(), buffers.escaped)) message = buffers.escaped;
    if (!rawSuffix.empty()) {
        if (message.data() != buffers.escaped.data()) buffers.escaped.assign(text);
        buffers.escaped += rawSuffix;
        message = buffers.escaped;
    }
    LogEvent event;
    event.level = level;
    event.channel = _name;
    event.message = message;
    event.rawMessage = text;
    event.wallMs = wallClockMs();
    event.elapsedNs = facility.elapsedNs();
    const std::vector<LogObserver*>* observers = category->observers().empty() ? nullptr : &category->observers();
    const bool buffered = category->buffered();
    for (LogAppender* const* it = begin; it != end; ++it) {
        LogAppender* appender = *it;
        if (appender->disabled()) continue;
        appender->render(event, buffers.rendered);
        appender->write(buffers.rendered, buffered, event, it == begin ? observers : nullptr);
    }
}

void Logger::vlog(LogLevel level, const char* format, va_list args) const {
    // The threshold check reads no last-error state, so it comes first.
    if (!isEnabledFor(level)) return;
    platform::LastErrorSaver saved;
    try {
        MessageScope scope;
        LogMessageBuffers& b = scope.buffers();
        const char* effective = expandErrorConversion(format, saved.code(), b.format);
        formatInto(b.message, effective, args);
        if (scope.tooDeep()) {
            writeFallback(level, b.message, b.rendered);
            return;
        }
        if (_suppression) {
            std::vector<LogSuppression::Summary> summaries;
            const std::int64_t now = wallClockMs();
            std::int64_t due = 0;
            const bool pass = _suppression->admit(format, level, b.message, now, summaries, &due);
            for (const LogSuppression::Summary& s : summaries) {
                if (isEnabledFor(s.level)) dispatch(s.level, s.firstText, b, s.suffix);
            }
            if (!pass) {
                // The summary is written when due even if no message follows.
                LogFlusher::instance().armSummariesAt(LogFlusher::Clock::now() + std::chrono::milliseconds(due - now));
                drainAppenderDiagnostics();
                return;
            }
        }
        dispatch(level, b.message, b);
        drainAppenderDiagnostics();
    } catch (...) {
        // Logging must never take its caller down.
    }
}

void Logger::write(LogLevel level, const std::string& text) const {
    if (!isEnabledFor(level)) return;
    platform::LastErrorSaver saved;
    try {
        MessageScope scope;
        if (scope.tooDeep()) {
            writeFallback(level, text, scope.buffers().rendered);
            return;
        }
        dispatch(level, text, scope.buffers());
        drainAppenderDiagnostics();
    } catch (...) {
    }
}

void Logger::log(LogLevel level, const char* format, ...) const {
    if (!isEnabledFor(level)) return;
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

#define MORVEX_LOGGER_LEVEL_FN(fn, lvl)              \
    void Logger::fn(const char* format, ...) const { \
        if (!isEnabledFor(LogLevel::lvl)) return;    \
        va_list args;                                \
        va_start(args, format);                      \
        vlog(LogLevel::lvl, format, args);           \
        va_end(args);                                \
    }
MORVEX_LOGGER_LEVEL_FN(debug, Debug)
MORVEX_LOGGER_LEVEL_FN(info, Info)
MORVEX_LOGGER_LEVEL_FN(notice, Notice)
MORVEX_LOGGER_LEVEL_FN(warn, Warn)
MORVEX_LOGGER_LEVEL_FN(error, Error)
MORVEX_LOGGER_LEVEL_FN(crit, Crit)
MORVEX_LOGGER_LEVEL_FN(alert, Alert)
MORVEX_LOGGER_LEVEL_FN(fatal, Fatal)
MORVEX_LOGGER_LEVEL_FN(emerg, Emerg)
#undef MORVEX_LOGGER_LEVEL_FN

}  // namespace morvex
