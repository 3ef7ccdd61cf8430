// Layouts: conversion patterns compiled into atoms that render one message.
//
//   %m message   %n CR LF       %p level        %c channel    %t thread name
//   %T OS thread id             %r ms since logging was first configured
//   %R the same in seconds      %u clock()      %d / %d{fmt} local date
//   %% percent sign
//
// Flags between % and the letter: '-' left-aligns, '0' pads with zeros, a
// number is the minimum width, '.' and a number the maximum width. Unknown
// letters are dropped with their flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/logger.h"

namespace morvex {

enum class LogSerialization : int { Plain = 1, Json = 2 };

// One message as the layouts see it.
struct LogEvent {
    LogLevel level = LogLevel::Info;
    std::string_view channel;
    std::string_view message;     // already escaped
    std::string_view rawMessage;  // as formatted (JSON output escapes it itself); unset: message
    std::int64_t wallMs = 0;      // wall-clock time, ms since the epoch
    std::int64_t elapsedNs = 0;   // monotonic time since logging was first configured
};

// A compiled date format: strftime conversions plus %l for milliseconds.
class LogDateFormat {
public:
    static constexpr const char* kIso8601 = "%Y-%m-%d %H:%M:%S,%l";

    // Compiles a name (ISO8601, ABSOLUTE, DATE; empty for ISO8601) or a
    // format; a format that does not compile falls back to ISO8601.
    explicit LogDateFormat(std::string_view nameOrFormat);

    // Appends the local time of wallMs (ms since the epoch).
    void format(std::int64_t wallMs, std::string& out) const;

    // Whether text is a valid format (known conversions only).
    static bool valid(std::string_view format);

private:
    struct Piece {
        bool millis;
        std::string strftimeFormat;
    };
    std::vector<Piece> _pieces;
};

class LogLayout {
public:
    // Compiles a conversion pattern; never fails (bad parts are dropped).
    explicit LogLayout(std::string_view pattern);

    // "%R %p %c %m%n" and "%-8p: %m%n", compiled once and shared.
    static std::shared_ptr<const LogLayout> basic();
    static std::shared_ptr<const LogLayout> simple();
    // "%m%n", the layout of an appender that was given none.
    static std::shared_ptr<const LogLayout> defaultLayout();

    // Appends the rendered event to out. maxMessageSize (0: unlimited) cuts
    // a message atom without a maximum width.
    void render(const LogEvent& event, LogSerialization serialization, std::uint64_t maxMessageSize,
                std::string& out) const;

    const std::string& pattern() const noexcept { return _pattern; }

    // The current thread's name and OS id, as %t and %T show them.
    static std::string_view currentThreadName();
    static std::uint64_t currentThreadId();

private:
    enum class Kind {
        Literal,
        Message,
        LineEnd,
        Level,
        Channel,
        Thread,
        ThreadId,
        Elapsed,
        ElapsedSeconds,
        Clock,
        Date
    };
    struct Atom {
        Kind kind = Kind::Literal;
        std::string literal;
        std::size_t minWidth = 0;
        std::size_t maxWidth = std::string::npos;
        bool leftAlign = false;
        bool zeroPad = false;
        std::shared_ptr<const LogDateFormat> date;
    };

    // The "data" member's value: text itself when it is one JSON value within
    // maxMessageSize, else text (shortened to maxMessageSize) as a JSON string.
    static void appendJsonData(std::string_view text, std::uint64_t maxMessageSize, std::string& out);

    // Appends one atom's plain value to out, cut and padded by its flags.
    void renderValue(const Atom& atom, const LogEvent& event, std::uint64_t maxMessageSize, std::string& out) const;

    std::string _pattern;
    std::vector<Atom> _atoms;
};

}  // namespace morvex
