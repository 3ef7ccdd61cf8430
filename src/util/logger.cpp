#include "util/logger.h"

#include <cstdio>
#include <string>

#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace morvex {

namespace {

const char* const kLevelNames[] = {"DEBUG", "INFO", "NOTICE", "WARN", "ERROR", "CRIT", "ALERT", "FATAL", "EMERG"};

// Replaces %m by the text of the saved last-error code, leaving %% alone.
std::string expandErrorConversion(const char* format, std::uint32_t code) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            out += "%%";
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (char c : platform::ErrorText(code)) {
                if (c == '%') out += '%';
                out += c;
            }
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

void writeFallback(LogLevel level, const std::string& text) {
    std::string line = kLevelNames[static_cast<int>(level)];
    line += " - ";
    line += text;
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

const char* logLevelName(LogLevel level) noexcept {
    int v = static_cast<int>(level);
    return v >= 0 && v <= 8 ? kLevelNames[v] : nullptr;
}

LogStream::LogStream(const Logger* logger, LogLevel level) : _logger(logger), _level(level) {}
LogStream::LogStream(LogStream&& other) noexcept
    : _logger(other._logger), _level(other._level), _stream(std::move(other._stream)) {
    other._logger = nullptr;
}
LogStream::~LogStream() {
    if (_logger) _logger->write(_level, _stream.str());
}

Logger::Logger(const char* name, bool suppress, unsigned intervalSeconds, unsigned allowance)
    : _name(name), _suppress(suppress), _intervalSeconds(intervalSeconds), _allowance(allowance) {}

Logger::~Logger() = default;

bool Logger::isEnabledFor(LogLevel level) const noexcept { return level >= LogLevel::Info; }

void Logger::vlog(LogLevel level, const char* format, va_list args) const {
    platform::LastErrorSaver saved;
    if (!isEnabledFor(level)) return;
    std::string fmt = expandErrorConversion(format, saved.code());
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt.c_str(), copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt.c_str(), args);
    writeFallback(level, text);
}

void Logger::write(LogLevel level, const std::string& text) const {
    platform::LastErrorSaver saved;
    if (isEnabledFor(level)) writeFallback(level, text);
}

void Logger::log(LogLevel level, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

#define MORVEX_LOGGER_LEVEL_FN(fn, lvl)                \
    void Logger::fn(const char* format, ...) const {    \
        va_list args;                                   \
        va_start(args, format);                         \
        vlog(LogLevel::lvl, format, args);              \
        va_end(args);                                   \
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
