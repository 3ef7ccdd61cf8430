#include "util/log_layout.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "util/log_text.h"
#include "util/thread.h"

namespace morvex {

namespace {

// Thread names longer than this are shortened unless the atom sets a width.
constexpr std::size_t kMaxThreadName = 100;
// Message atoms with a maximum width below this are cut without a marker.
constexpr std::size_t kMinMarkerWidth = 45;
// Minimum widths are capped: a configured "%99999999999m" would otherwise pad
// every message to gigabytes or throw from the logging call.
constexpr std::size_t kMaxMinWidth = 4096;

const char kStrftimeLetters[] = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";

void pad(std::string& out, std::size_t start, const std::size_t minWidth, bool leftAlign, bool zeroPad) {
    std::size_t len = out.size() - start;
    if (len >= minWidth) return;
    if (leftAlign) {
        out.append(minWidth - len, ' ');
    } else {
        out.insert(start, minWidth - len, zeroPad ? '0' : ' ');
    }
}

void appendNumber(std::string& out, std::uint64_t value) {
    char buf[24];
    int n = std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
    out.append(buf, static_cast<std::size_t>(n));
}

// localtime_r takes the time-zone lock; messages come in bursts within one
// second, so each thread keeps the last conversion.
const std::tm& localTime(std::time_t seconds) {
    thread_local std::time_t t_seconds = -1;
    thread_local std::tm t_tm{};
    if (seconds != t_seconds) {
        localtime_r(&seconds, &t_tm);
        t_seconds = seconds;
    }
    return t_tm;
}

}  // namespace

// ---------------------------------------------------------------- dates

bool LogDateFormat::valid(std::string_view format) {
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i == format.size()) return false;
        if (format[i] != 'l' && !std::strchr(kStrftimeLetters, format[i])) return false;
    }
    return true;
}

LogDateFormat::LogDateFormat(std::string_view nameOrFormat) {
    std::string_view format = nameOrFormat;
    if (format.empty() || format == "ISO8601") {
        format = kIso8601;
    } else if (format == "ABSOLUTE") {
        format = "%H:%M:%S,%l";
    } else if (format == "DATE") {
        format = "%d %b %Y %H:%M:%S,%l";
    } else if (!valid(format)) {
        format = kIso8601;
    }
    std::string current;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && format[i + 1] == 'l') {
            if (!current.empty()) _pieces.push_back({false, std::move(current)});
            current.clear();
            _pieces.push_back({true, {}});
            ++i;
        } else if (format[i] == '%') {
            current += format.substr(i, 2);
            ++i;
        } else {
            current += format[i];
        }
    }
    if (!current.empty()) _pieces.push_back({false, std::move(current)});
}

void LogDateFormat::format(std::int64_t wallMs, std::string& out) const {
    std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
    int millis = static_cast<int>(wallMs % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const std::tm& tm = localTime(seconds);
    for (const Piece& piece : _pieces) {
        if (piece.millis) {
            char buf[4] = {static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                           static_cast<char>('0' + millis % 10), 0};
            out.append(buf, 3);
            continue;
        }
        char buf[256];
        std::size_t n = std::strftime(buf, sizeof buf, piece.strftimeFormat.c_str(), &tm);
        out.append(buf, n);
    }
}

// ---------------------------------------------------------------- thread identity

std::string_view LogLayout::currentThreadName() {
    return Thread::currentThreadName();
}

std::uint64_t LogLayout::currentThreadId() {
    return Thread::currentOsThreadId();
}

// ---------------------------------------------------------------- layouts

LogLayout::LogLayout(std::string_view pattern) : _pattern(pattern) {
    auto literal = [this](std::string_view text) {
        if (!_atoms.empty() && _atoms.back().kind == Kind::Literal) {
            _atoms.back().literal.append(text);
        } else {
            Atom atom;
            atom.literal.assign(text);
            _atoms.push_back(std::move(atom));
        }
    };
    std::size_t i = 0;
    while (i < pattern.size()) {
        std::size_t pct = pattern.find('%', i);
        if (pct == std::string_view::npos) {
            literal(pattern.substr(i));
            break;
        }
        if (pct > i) literal(pattern.substr(i, pct - i));
        i = pct + 1;
        Atom atom;
        if (i < pattern.size() && pattern[i] == '-') {
            atom.leftAlign = true;
            ++i;
        }
        if (i < pattern.size() && pattern[i] == '0') {
            atom.zeroPad = !atom.leftAlign;
            ++i;
        }
        while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') {
            atom.minWidth = std::min(kMaxMinWidth, atom.minWidth * 10 + static_cast<std::size_t>(pattern[i++] - '0'));
        }
        if (i < pattern.size() && pattern[i] == '.') {
            ++i;
            std::size_t width = 0;
            while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') {
                // Saturates instead of wrapping round to a small cut.
                width = std::min<std::size_t>(std::string::npos / 16,
                                              width * 10 + static_cast<std::size_t>(pattern[i++] - '0'));
            }
            atom.maxWidth = width;
        }
        if (i >= pattern.size()) break;
        char letter = pattern[i++];
        switch (letter) {
            case '%':
                literal("%");
                continue;
            case 'm':
                atom.kind = Kind::Message;
                break;
            case 'n':
                atom.kind = Kind::LineEnd;
                break;
            case 'p':
                atom.kind = Kind::Level;
                break;
            case 'c':
                atom.kind = Kind::Channel;
                break;
            case 't':
                atom.kind = Kind::Thread;
                break;
            case 'T':
                atom.kind = Kind::ThreadId;
                break;
            case 'r':
                atom.kind = Kind::Elapsed;
                break;
            case 'R':
                atom.kind = Kind::ElapsedSeconds;
                break;
            case 'u':
                atom.kind = Kind::Clock;
                break;
            case 'd': {
                atom.kind = Kind::Date;
                std::string_view format;
                if (i < pattern.size() && pattern[i] == '{') {
                    std::size_t close = pattern.find('}', i);
                    if (close == std::string_view::npos) close = pattern.size();
                    format = pattern.substr(i + 1, close - i - 1);
                    i = close < pattern.size() ? close + 1 : close;
                }
                atom.date = std::make_shared<LogDateFormat>(format);
                break;
            }
            default:
                continue;  // unknown conversion: dropped with its flags
        }
        _atoms.push_back(std::move(atom));
    }
}

std::shared_ptr<const LogLayout> LogLayout::basic() {
    static const std::shared_ptr<const LogLayout> s_layout = std::make_shared<LogLayout>("%R %p %c %m%n");
    return s_layout;
}

std::shared_ptr<const LogLayout> LogLayout::simple() {
    static const std::shared_ptr<const LogLayout> s_layout = std::make_shared<LogLayout>("%-8p: %m%n");
    return s_layout;
}

std::shared_ptr<const LogLayout> LogLayout::defaultLayout() {
    static const std::shared_ptr<const LogLayout> s_layout = std::make_shared<LogLayout>("%m%n");
    return s_layout;
}

void LogLayout::renderValue(const Atom& atom, const LogEvent& event, std::uint64_t maxMessageSize,
                            std::string& out) const {
    const std::size_t start = out.size();
    bool cut = atom.maxWidth != std::string::npos;
    switch (atom.kind) {
        case Kind::Literal:
            out += atom.literal;
            return;
        case Kind::LineEnd:
            out += "\r\n";
            return;
        case Kind::Message:
            if (cut && atom.maxWidth < event.message.size()) {
                if (atom.maxWidth < kMinMarkerWidth) {
                    out.append(event.message.substr(0, atom.maxWidth));
                } else {
                    appendShortened(out, event.message, atom.maxWidth);
                }
            } else if (!cut && maxMessageSize != 0 && event.message.size() > maxMessageSize) {
                appendShortened(out, event.message, static_cast<std::size_t>(maxMessageSize));
            } else {
                out.append(event.message);
            }
            pad(out, start, atom.minWidth, atom.leftAlign, atom.zeroPad);
            return;
        case Kind::Thread: {
            std::string_view name = currentThreadName();
            if (!cut && name.size() > kMaxThreadName) {
                appendShortened(out, name, kMaxThreadName);
            } else {
                out.append(name);
            }
            break;
        }
        case Kind::Level:
            out += logLevelName(event.level);
            break;
        case Kind::Channel:
            out.append(event.channel);
            break;
        case Kind::ThreadId:
            appendNumber(out, currentThreadId());
            break;
        case Kind::Elapsed:
        case Kind::ElapsedSeconds: {
            std::uint64_t ns = event.elapsedNs > 0 ? static_cast<std::uint64_t>(event.elapsedNs) : 0;
            std::uint64_t ms = (ns + 999999) / 1000000;
            appendNumber(out, atom.kind == Kind::Elapsed ? ms : ms / 1000);
            break;
        }
        case Kind::Clock:
            appendNumber(out, static_cast<std::uint64_t>(std::clock()));
            break;
        case Kind::Date:
            atom.date->format(event.wallMs, out);
            break;
    }
    if (cut && out.size() - start > atom.maxWidth) out.resize(start + atom.maxWidth);
    pad(out, start, atom.minWidth, atom.leftAlign, atom.zeroPad);
}

void LogLayout::render(const LogEvent& event, LogSerialization serialization, std::uint64_t maxMessageSize,
                       std::string& out) const {
    if (serialization != LogSerialization::Json) {
        for (const Atom& atom : _atoms) renderValue(atom, event, maxMessageSize, out);
        return;
    }
    // JSON: one object per message, valid whatever the message holds. Date,
    // channel and level are the members "datetime", "component" and
    // "log_level", other conversions get keys of their own; "data" comes
    // last and closes the object, followed by the line ends of the pattern.
    out += '{';
    std::string value;
    bool hasMessage = false;
    std::size_t lineEnds = 0;
    for (const Atom& atom : _atoms) {
        const char* key = nullptr;
        switch (atom.kind) {
            case Kind::Literal:
                if (atom.literal.compare(0, 2, "\r\n") == 0) ++lineEnds;
                continue;
            case Kind::LineEnd:
                ++lineEnds;
                continue;
            case Kind::Message:
                hasMessage = true;
                continue;
            case Kind::Date:
                key = "datetime";
                break;
            case Kind::Channel:
                key = "component";
                break;
            case Kind::Level:
                key = "log_level";
                break;
            case Kind::Thread:
                key = "thread";
                break;
            case Kind::ThreadId:
                key = "thread_id";
                break;
            case Kind::Elapsed:
                key = "elapsed_ms";
                break;
            case Kind::ElapsedSeconds:
                key = "elapsed_s";
                break;
            case Kind::Clock:
                key = "clock";
                break;
        }
        value.clear();
        renderValue(atom, event, maxMessageSize, value);
        out += '"';
        out += key;
        out += "\":";
        appendJsonString(out, value);
        out += ',';
    }
    if (hasMessage) {
        out += "\"data\":";
        appendJsonData(event.rawMessage.data() ? event.rawMessage : event.message, maxMessageSize, out);
    } else if (out.back() == ',') {
        out.pop_back();
    }
    out += '}';
    for (std::size_t i = 0; i < lineEnds; ++i) out += "\r\n";
}

void LogLayout::appendJsonData(std::string_view text, std::uint64_t maxMessageSize, std::string& out) {
    const bool fits = maxMessageSize == 0 || text.size() <= maxMessageSize;
    if (fits && isJsonValue(text)) {
        // Already JSON: kept as it is, on one line (outside strings, where
        // they alone may stand, line breaks become blanks).
        const std::size_t start = out.size();
        out.append(text);
        for (std::size_t i = start; i < out.size(); ++i)
            if (out[i] == '\n' || out[i] == '\r') out[i] = ' ';
        return;
    }
    if (fits) return appendJsonString(out, text);
    std::string shortened;
    appendShortened(shortened, text, static_cast<std::size_t>(maxMessageSize));
    appendJsonString(out, shortened);
}

}  // namespace morvex
