#include "util/log_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/crash_signals.h"
#include "platform/last_error.h"
#include "util/ascii.h"
#include "util/log_appender.h"
#include "util/log_category.h"
#include "util/log_facility.h"
#include "util/log_flusher.h"
#include "util/logger.h"
#include "util/process_environment.h"
#include "util/settings_file.h"

namespace morvex {

namespace {

Logger& configLog() {
    static Logger s_log("LogConfig");
    return s_log;
}

// Decimal digits without a leading zero (except "0" itself); a blank ends the
// number. False for anything else or on overflow of max.
bool parseDigits(std::string_view s, std::uint64_t max, std::uint64_t& out) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    if (s[0] == '0' && s.size() > 1 && !isBlank(s[1])) return false;
    std::uint64_t value = 0;
    for (char c : s) {
        if (isBlank(c)) break;
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

// The multiplier of a size unit written after a number ("25 MB"), 0 when
// the word is none.
std::uint64_t sizeUnit(std::string_view word) {
    struct Unit {
        const char* name;
        std::uint64_t factor;
    };
    static const Unit kUnits[] = {{"B", 1},
                                  {"bytes", 1},
                                  {"K", 1024},
                                  {"KB", 1024},
                                  {"KiB", 1024},
                                  {"M", 1024 * 1024},
                                  {"MB", 1024 * 1024},
                                  {"MiB", 1024 * 1024},
                                  {"G", 1024 * 1024 * 1024},
                                  {"GB", 1024 * 1024 * 1024},
                                  {"GiB", 1024 * 1024 * 1024}};
    for (const Unit& u : kUnits)
        if (equalsIgnoreAsciiCase(word, u.name)) return u.factor;
    return 0;
}

// A byte count with optional blanks around it, no units.
bool parseByteCount(std::string_view s, std::uint64_t& out) {
    s = trimBlanks(s);
    if (s.empty()) return false;
    std::uint64_t value = 0;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

bool parseBool(std::string_view s, bool& out) {
    for (const char* yes : {"1", "t", "true", "yes"}) {
        if (equalsIgnoreAsciiCase(s, yes)) return out = true, true;
    }
    for (const char* no : {"0", "f", "false", "no"}) {
        if (equalsIgnoreAsciiCase(s, no)) return out = false, true;
    }
    return false;
}

struct DeferredError {
    std::string file;
    unsigned line;
    int kind;  // 0: parse error (text: the line), 1: unterminated XML comment
    std::string text;
};

struct PendingEntry {
    std::string file;
    unsigned line = 0;
    std::string text;  // the entry (category) or the value (root)
    std::string lineText;
};

// One load: both files feed the same pending lists, applied at the end.
class Loader {
public:
    explicit Loader(const LogConfigContext& context) : _context(context), _facility(LogFacility::instance()) {}

    bool run();

private:
    void readFile(std::string_view text, const std::string& file);
    // "Couldn't open log file configuration" with the system's text, or
    // with the reason a file that opened is not used.
    void reportUnreadable(const SettingsFileText& read, const std::string& path = {});
    void readLine(std::string_view line, std::string_view raw, const std::string& file, unsigned number);
    // Applies one appender property; false when refused.
    bool applyProperty(LogAppender& appender, std::string_view key, std::string value, const std::string& file,
                       unsigned line);
    // The number of a numeric property; text after it (which the number
    // rule ignores) is reported, and a size unit there is applied.
    bool numericProperty(const LogAppender& appender, std::string_view key, const std::string& value, std::uint64_t max,
                         bool sizeUnits, const std::string& file, unsigned line, std::uint64_t& out);
    // Applies a category value; false when it names an unknown appender.
    bool applyCategoryValue(LogCategory& category, std::string_view value);
    void checkAppender(LogAppender& appender, bool isRoot);
    // Queues a WARN "<file>:<line>: Appender \"<name>\": <text>".
    void propertyWarning(const std::string& file, unsigned line, const LogAppender& appender, const std::string& text);
    // With a restricted mask numbers may only grow: true (with a WARN that
    // says so) when value would lower current.
    bool lowered(const std::string& file, unsigned line, const LogAppender& appender, std::string_view key,
                 std::uint64_t value, std::uint64_t current);
    bool restricted() const { return (_context.allowedKeys & kLogKeyAll) != kLogKeyAll; }
    void parseError(const std::string& file, unsigned line, std::string_view text) {
        _errors.push_back({file, line, 0, std::string(text)});
    }

    const LogConfigContext& _context;
    LogFacility& _facility;
    bool _haveRoot = false;
    PendingEntry _root;
    std::vector<PendingEntry> _categories;
    std::vector<DeferredError> _errors;
    std::vector<std::string> _propertyErrors;    // logged at ERROR before the parse errors
    std::vector<std::string> _propertyWarnings;  // logged at WARN after them
    bool _inSkippedSection = false;
    std::unique_ptr<SettingsFileText> _unreadableLocal;
    std::string _unreadableLocalPath;
};

void Loader::reportUnreadable(const SettingsFileText& read, const std::string& path) {
    const std::string& file = path.empty() ? _context.path : path;
    if (read.status == SettingsFileText::Status::OpenFailed || read.status == SettingsFileText::Status::ReadFailed) {
        platform::LastErrorSaver keep;
        platform::SetLastError(static_cast<std::uint32_t>(read.error));
        configLog().error("Couldn't open log file configuration \"%s\": %m", file.c_str());
        return;
    }
    const std::string reason = read.reason();
    configLog().error("Couldn't open log file configuration \"%s\": %s", file.c_str(), reason.c_str());
}

bool Loader::run() {
    if (_facility.configured()) _facility.reset();
    _facility.markOrigin();
    _facility.setCommandLine(_context.commandLine);
    LogFlusher::instance().start();

    // Only a regular file of bounded size: a FIFO would hang the start and
    // a device such as /dev/zero would fill memory.
    const SettingsFileText main = readSettingsFile(_context.path, kMaxSettingsFileBytes);
    if (!main.ok()) {
        _facility.bindChannels();
        reportUnreadable(main);
        return false;
    }
    readFile(main.text, _context.path);
    const std::string localPath = localLogConfigPath(_context.path);
    const SettingsFileText local = readSettingsFile(localPath, kMaxSettingsFileBytes);
    if (local.ok()) {
        readFile(local.text, localPath);
    } else if (local.status != SettingsFileText::Status::OpenFailed || local.error != ENOENT) {
        // A missing local file is normal; one that is there but unusable is
        // reported once the configuration is in force.
        _unreadableLocal = std::make_unique<SettingsFileText>(local);
        _unreadableLocalPath = localPath;
    }

    if (_haveRoot && !applyCategoryValue(_facility.rootCategory(), _root.text)) {
        parseError(_root.file, _root.line, _root.lineText);
    }
    for (const PendingEntry& entry : _categories) {
        std::size_t eq = entry.text.find('=');
        if (eq == std::string::npos) {
            parseError(entry.file, entry.line, entry.lineText);
            continue;
        }
        std::string name(trimBlanks(std::string_view(entry.text).substr(0, eq)));
        LogCategory& category = _facility.namedCategory(name);
        if (!applyCategoryValue(category, std::string_view(entry.text).substr(eq + 1))) {
            parseError(entry.file, entry.line, entry.lineText);
        }
    }
    _facility.bindChannels();

    for (LogAppender* appender : _facility.namedAppenders()) checkAppender(*appender, false);
    if (!_context.commandLine) checkAppender(_facility.rootAppender(), true);
    drainAppenderDiagnostics();

    if (_unreadableLocal) reportUnreadable(*_unreadableLocal, _unreadableLocalPath);
    for (const std::string& text : _propertyErrors) configLog().error("%s", text.c_str());
    for (const DeferredError& e : _errors) {
        switch (e.kind) {
            case 0:
                configLog().warn("%s:%u: Parse error at \"%s\"", e.file.c_str(), e.line, e.text.c_str());
                break;
            case 1:
                configLog().error("%s:%u: Unterminated XML comment started", e.file.c_str(), e.line);
                break;
            default:
                configLog().error("I know not this DeferredLogConf::error_type=%d you speak of.", e.kind);
        }
    }
    for (const std::string& text : _propertyWarnings) configLog().warn("%s", text.c_str());
    return true;
}

void Loader::readFile(std::string_view content, const std::string& file) {
    _inSkippedSection = false;
    bool inComment = false;
    unsigned commentLine = 0;
    unsigned number = 0;
    std::string raw;
    while (!content.empty()) {
        const std::size_t eol = content.find('\n');
        raw.assign(content.substr(0, eol));
        content.remove_prefix(eol == std::string_view::npos ? content.size() : eol + 1);
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        // Strip comments: '#' to the end, <!-- ... --> anywhere (may span lines).
        std::string line;
        std::size_t i = 0;
        while (i < raw.size()) {
            if (inComment) {
                std::size_t end = raw.find("-->", i);
                if (end == std::string::npos) {
                    i = raw.size();
                    break;
                }
                inComment = false;
                i = end + 3;
                continue;
            }
            std::size_t hash = raw.find('#', i);
            std::size_t open = raw.find("<!--", i);
            if (open != std::string::npos && (hash == std::string::npos || open < hash)) {
                line.append(raw, i, open - i);
                inComment = true;
                commentLine = number;
                i = open + 4;
                continue;
            }
            line.append(raw, i, (hash == std::string::npos ? raw.size() : hash) - i);
            break;
        }
        std::string_view text = trimBlanks(line);
        if (text.empty()) continue;
        readLine(text, raw, file, number);
    }
    if (inComment) _errors.push_back({file, commentLine, 1, {}});
}

void Loader::readLine(std::string_view line, std::string_view raw, const std::string& file, unsigned number) {
    if (line.front() == '[') {
        std::string_view name = line.substr(1);
        while (!name.empty() && (isBlank(name.back()) || name.back() == ']')) name.remove_suffix(1);
        _inSkippedSection = _context.sectionName.empty() || !equalsIgnoreAsciiCase(name, _context.sectionName);
        return;
    }
    if (_inSkippedSection) return;
    if (line.substr(0, 8) == "log4cpp.") line.remove_prefix(8);

    std::size_t keyEnd = line.find_first_of("=. \t");
    std::string_view key = line.substr(0, keyEnd);
    std::string_view rest = keyEnd == std::string_view::npos ? std::string_view() : line.substr(keyEnd);

    if (key == "rootCategory") {
        std::string_view value = trimBlanks(rest);
        if (value.empty() || value.front() != '=') return parseError(file, number, raw);
        _haveRoot = true;
        _root = {file, number, std::string(trimBlanks(value.substr(1))), std::string(raw)};
        return;
    }
    if (key == "category" && !rest.empty() && rest.front() == '.') {
        _categories.push_back({file, number, std::string(rest.substr(1)), std::string(raw)});
        return;
    }
    if (key == "appender" && !rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        std::size_t nameEnd = rest.find_first_of("=. \t");
        std::string name(rest.substr(0, nameEnd));
        rest = nameEnd == std::string_view::npos ? std::string_view() : rest.substr(nameEnd);
        if (!name.empty() && !rest.empty() && rest.front() == '.') {
            rest.remove_prefix(1);
            std::size_t propEnd = rest.find_first_of("= \t");
            std::string_view property = rest.substr(0, propEnd);
            std::string_view after =
                propEnd == std::string_view::npos ? std::string_view() : trimBlanks(rest.substr(propEnd));
            if (property.empty() || after.empty() || after.front() != '=') return parseError(file, number, raw);
            std::string value(trimBlanks(after.substr(1)));
            if (!applyProperty(_facility.appender(name), property, std::move(value), file, number)) {
                parseError(file, number, raw);
            }
            return;
        }
        // "appender.A1=SomeClass": a class name, which this program has no use for.
        if (!name.empty() && !trimBlanks(rest).empty() && trimBlanks(rest).front() == '=') return;
        return parseError(file, number, raw);
    }
    parseError(file, number, raw);
}

bool Loader::numericProperty(const LogAppender& appender, std::string_view key, const std::string& value,
                             std::uint64_t max, bool sizeUnits, const std::string& file, unsigned line,
                             std::uint64_t& out) {
    // The number ends at its last digit: "25 MB" and "25MB" alike.
    const std::size_t end = std::min(value.find_first_not_of("0123456789"), value.size());
    if (!parseDigits(std::string_view(value).substr(0, end), max, out)) return false;
    const std::string_view rest = trimBlanks(std::string_view(value).substr(end));
    if (rest.empty()) return true;
    // "25 MB" read as 25 bytes rolls the file on every line and loses most
    // of them: a size unit is applied, other words leave the value as it
    // was; either way the line is reported with what is used.
    const std::string keyText(key);
    if (!sizeUnits) {
        propertyWarning(file, line, appender, keyText + "=\"" + value + "\" read as " + std::to_string(out));
    } else if (const std::uint64_t factor = sizeUnit(rest)) {
        if (out > max / factor) return false;
        out *= factor;
        propertyWarning(file, line, appender, keyText + "=\"" + value + "\" read as " + std::to_string(out) + " bytes");
    } else {
        out = key == "maxFileSize" ? appender.maxFileSize() : appender.maxMessageSize();
        propertyWarning(file, line, appender,
                        keyText + "=\"" + value + "\" is not a number of bytes, keeping " + std::to_string(out));
    }
    return true;
}

void Loader::propertyWarning(const std::string& file, unsigned line, const LogAppender& appender,
                             const std::string& text) {
    _propertyWarnings.push_back(file + ":" + std::to_string(line) + ": Appender \"" + appender.name() + "\": " + text);
}

bool Loader::lowered(const std::string& file, unsigned line, const LogAppender& appender, std::string_view key,
                     std::uint64_t value, std::uint64_t current) {
    if (!restricted() || value >= current) return false;
    propertyWarning(file, line, appender,
                    std::string(key) + "=" + std::to_string(value) + " is below " + std::to_string(current) +
                        ", which may not be lowered here; keeping " + std::to_string(current));
    return true;
}

bool Loader::applyProperty(LogAppender& appender, std::string_view key, std::string value, const std::string& file,
                           unsigned line) {
    for (const auto& [from, to] : _context.substitutions) {
        if (from.empty()) continue;
        for (std::size_t pos = value.find(from); pos != std::string::npos; pos = value.find(from, pos + to.size())) {
            value.replace(pos, from.size(), to);
        }
    }
    struct KeyBit {
        const char* name;
        unsigned bit;
    };
    static const KeyBit kKeys[] = {
        {"maxFileSize", kLogKeyMaxFileSize},
        {"maxBackupIndex", kLogKeyMaxBackupIndex},
        {"layout", kLogKeyLayout},
        {"layout.ConversionPattern", kLogKeyConversionPattern},
        {"fileName", kLogKeyFileName},
        {"serialization", kLogKeySerialization},
        {"maxMessageSize", kLogKeyMaxMessageSize},
        {"bufferSize", kLogKeyBufferSize},
        {"escape", kLogKeyEscape},
    };
    unsigned bit = 0;
    for (const KeyBit& k : kKeys) {
        if (key == k.name) bit = k.bit;
    }
    if (bit == 0 || (_context.allowedKeys & bit) == 0) return false;
    std::uint64_t number = 0;
    switch (bit) {
        case kLogKeyMaxFileSize:
            if (!numericProperty(appender, key, value, std::numeric_limits<std::uint64_t>::max(), true, file, line,
                                 number))
                return false;
            if (!lowered(file, line, appender, key, number, appender.maxFileSize())) appender.setMaxFileSize(number);
            return true;
        case kLogKeyMaxBackupIndex:
            if (!numericProperty(appender, key, value, std::numeric_limits<std::uint32_t>::max(), false, file, line,
                                 number))
                return false;
            if (!lowered(file, line, appender, key, number, appender.maxBackupIndex())) {
                appender.setMaxBackupIndex(static_cast<std::uint32_t>(number));
            }
            return true;
        case kLogKeyMaxMessageSize:
            if (!numericProperty(appender, key, value, std::numeric_limits<std::uint64_t>::max(), true, file, line,
                                 number))
                return false;
            if (!lowered(file, line, appender, key, number, appender.maxMessageSize())) {
                appender.setMaxMessageSize(number);
            }
            return true;
        case kLogKeyBufferSize:
            if (!parseByteCount(value, number)) return false;
            if (number > LogAppender::kMaxBufferSize) {
                // The buffer holds one batch at most: say what is used.
                propertyWarning(file, line, appender,
                                "bufferSize=" + std::to_string(number) + " is above the largest buffer, using " +
                                    std::to_string(LogAppender::kMaxBufferSize));
                number = LogAppender::kMaxBufferSize;
            }
            appender.setBufferSize(number);
            return true;
        case kLogKeyLayout:
            if (value == "BasicLayout") {
                appender.setLayout(LogLayout::basic());
            } else if (value == "SimpleLayout") {
                appender.setLayout(LogLayout::simple());
            } else if (value != "PatternLayout") {
                return false;
            }
            return true;
        case kLogKeyConversionPattern:
            appender.setLayout(std::make_shared<LogLayout>(value));
            return true;
        case kLogKeyFileName: {
            bool deferred = false;
            for (const std::string& name : _context.deferredOpenNames) {
                if (!name.empty() && value.find(name) != std::string::npos) deferred = true;
            }
            appender.setFileName(std::move(value));
            appender.setDeferredOpen(deferred);
            return true;
        }
        case kLogKeySerialization:
            if (value != "JSON") {
                _propertyErrors.push_back("Invalid serialization='" + value + "'");
                return false;
            }
            appender.setSerialization(LogSerialization::Json);
            return true;
        case kLogKeyEscape: {
            bool escape = true;
            if (!parseBool(value, escape)) {
                _propertyErrors.push_back("Invalid escape='" + value + "'");
                return false;
            }
            appender.setEscape(escape);
            return true;
        }
    }
    return false;
}

bool Loader::applyCategoryValue(LogCategory& category, std::string_view value) {
    bool ok = true;
    bool replacedAppenders = false;
    std::size_t i = 0;
    while (i < value.size()) {
        std::size_t start = value.find_first_not_of(", \t", i);
        if (start == std::string_view::npos) break;
        std::size_t end = value.find_first_of(", \t", start);
        if (end == std::string_view::npos) end = value.size();
        std::string word(value.substr(start, end - start));
        i = end;
        LogLevel level;
        if (parseLogLevel(word, level)) {
            _facility.setThreshold(category, level);
            category.setThresholdSet(true);
        } else if (word == "buffered") {
            category.setBuffered(true);
        } else if (LogAppender* appender = _facility.findAppender(word)) {
            // The first appender replaces the inherited list.
            if (!replacedAppenders) category.appenders().clear();
            replacedAppenders = true;
            category.appenders().push_back(appender);
        } else {
            ok = false;
        }
    }
    return ok;
}

void Loader::checkAppender(LogAppender& appender, bool isRoot) {
    const char* name = appender.name().c_str();
    if (!appender.layout()) appender.setLayout(LogLayout::defaultLayout());
    if (appender.fileName().empty()) {
        if (!_context.commandLine) {
            appender.setDisabled(true);
            if (isRoot) return;
        } else if (!appender.isOpen()) {
            configLog().warn("Appender \"%s\" has no filename, assuming stderr", name);
            appender.open();
        }
        if (appender.maxBackupIndex() != 0) {
            configLog().warn("Appender \"%s\" has maxBackupIndex set without specifying a filename, ignoring", name);
            appender.setMaxBackupIndex(0);
        }
        if (appender.maxFileSize() != 0) {
            configLog().warn("Appender \"%s\" has maxFileSize set without specifying a filename, ignoring", name);
            appender.setMaxFileSize(0);
        }
    }
    if (appender.maxBackupIndex() != 0 && appender.maxFileSize() == 0) {
        configLog().warn("Appender \"%s\" has maxBackupIndex set without specifying maxFileSize, ignoring", name);
        appender.setMaxBackupIndex(0);
    }
    LogSerialization s = appender.serialization();
    if (s != LogSerialization::Plain && s != LogSerialization::Json) {
        configLog().warn("Appender \"%s\" has _serialization set to non-normative value, BUG!, ignoring pointedly.",
                         name);
        appender.setSerialization(LogSerialization::Plain);
    }
    if (!appender.deferredOpen() && !appender.fileName().empty()) appender.open();
}

}  // namespace

std::string localLogConfigPath(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + "-local";
    return path.substr(0, dot) + "-local" + path.substr(dot);
}

bool loadLogConfig(const LogConfigContext& context) {
    Loader loader(context);
    return loader.run();
}

void startLogging(const char* fileName, bool quiet) {
    ProcessEnvironment& env = ProcessEnvironment::instance();
    env.initialize();
    if (env.homeDirectory().empty()) {
        std::fputs("MORVEX_HOME must be set.  Stopping.\n", stderr);
        std::fflush(stderr);
        std::exit(-1);
    }
    LogConfigContext context;
    context.path = env.settingsDirectory().joined(fileName ? fileName : "log-cmdline.cfg").str();
    context.substitutions.emplace_back("${MORVEX_HOME}", env.homeDirectory().str());
    if (!quiet) std::fprintf(stderr, "Using logging configuration at %s.\n", context.path.c_str());
    loadLogConfig(context);
    // A signal that ends the process (SIGHUP, SIGQUIT, or SIGTERM/SIGINT
    // outside the proxy's own handling) first writes the batched lines.
    platform::installStopSignalFlush(&LogAppender::crashFlushAll);
}

}  // namespace morvex
