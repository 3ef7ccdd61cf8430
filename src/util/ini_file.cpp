#include "util/ini_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "util/logger.h"
#include "util/settings_file.h"

namespace morvex {

namespace {

Logger s_log("IniFile");

// Files with this extension describe settings rather than hold them; their
// free-text lines are expected and kept without a warning.
constexpr std::string_view kSchemaExtension = ".spec";

// Length of the whitespace character that starts `s`, 0 if none.
std::size_t leadingSpaceLength(std::string_view s) noexcept {
    if (s.empty()) return 0;
    auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 == ' ' || b0 == '\t' || b0 == '\r' || b0 == '\n') return 1;
    if (s.size() >= 2 && b0 == 0xC2 && static_cast<unsigned char>(s[1]) == 0xA0) return 2;  // U+00A0
    if (s.size() < 3) return 0;
    auto b1 = static_cast<unsigned char>(s[1]);
    auto b2 = static_cast<unsigned char>(s[2]);
    if (b0 == 0xE1 && b1 == 0x9A && b2 == 0x80) return 3;  // U+1680
    if (b0 == 0xE2 && b1 == 0x80) {
        if (b2 >= 0x80 && b2 <= 0x8B) return 3;                // U+2000..U+200B
        if (b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return 3;  // U+2028, U+2029, U+202F
    }
    if (b0 == 0xE2 && b1 == 0x81 && b2 == 0x9F) return 3;  // U+205F
    if (b0 == 0xE3 && b1 == 0x80 && b2 == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the whitespace character that ends `s`, 0 if none.
std::size_t trailingSpaceLength(std::string_view s) noexcept {
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
        if (leadingSpaceLength(s.substr(s.size() - n)) == n) return n;
    }
    return 0;
}

std::string_view trimSpacesAndTabs(std::string_view s) noexcept {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool hasSchemaExtension(std::string_view path) {
    return path.size() >= kSchemaExtension.size() &&
           path.substr(path.size() - kSchemaExtension.size()) == kSchemaExtension;
}

}  // namespace

bool TrimmedNameLess::operator()(std::string_view a, std::string_view b) const noexcept {
    return trimSpacesAndTabs(a) < trimSpacesAndTabs(b);
}

std::string_view trimIniWhitespace(std::string_view text) noexcept {
    while (std::size_t n = leadingSpaceLength(text)) text.remove_prefix(n);
    while (std::size_t n = trailingSpaceLength(text)) text.remove_suffix(n);
    return text;
}

bool isIniBlank(std::string_view text) noexcept {
    return trimIniWhitespace(text).empty();
}

const std::string* IniFile::Stanza::find(std::string_view key) const {
    auto it = settings.find(key);
    return it == settings.end() ? nullptr : &it->second.value;
}

IniFile IniFile::load(const std::string& path) {
    IniFile file;
    file._path = path;
    SettingsFileText read = readSettingsFile(path, kMaxSettingsFileBytes);
    if (read.status == SettingsFileText::Status::OpenFailed) {
        auto code = static_cast<std::uint32_t>(read.error);
        platform::SetLastError(code);
        s_log.debug("Cannot open file=%s for parsing: %m", path.c_str());
        file._error = "Cannot open file=" + path + " for parsing: " + platform::ErrorText(code);
        return file;
    }
    if (!read.ok()) {
        // Opened but not readable as settings (a FIFO, a device, a directory,
        // a runaway size, an I/O error): not an empty file, whose settings
        // would silently fall back to defaults.
        const std::string reason = read.reason();
        s_log.error("Cannot read file=%s for parsing: %s", path.c_str(), reason.c_str());
        file._error = "Cannot read file=" + path + " for parsing: " + reason;
        file._readFailed = true;
        return file;
    }
    file.parseText(read.text);
    return file;
}

IniFile IniFile::parse(const std::string& path, std::string_view text) {
    IniFile file;
    file._path = path;
    file.parseText(text);
    return file;
}

const IniFile::Stanza* IniFile::stanza(std::string_view name) const {
    auto it = _stanzas.find(name);
    return it == _stanzas.end() ? nullptr : &it->second;
}

const std::string* IniFile::value(std::string_view stanzaName, std::string_view key) const {
    const Stanza* s = stanza(stanzaName);
    return s ? s->find(key) : nullptr;
}

std::string IniFile::location() const {
    return _path + ", line " + std::to_string(_lineNumber);
}

void IniFile::parseText(std::string_view text) {
    // A UTF-8 byte-order mark is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    std::size_t pos = 0;
    // Next physical line without its terminator ("\n" or "\r\n"); false at end.
    auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size()) return false;
        std::size_t nl = text.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++_lineNumber;
        return true;
    };

    std::vector<std::string> pending;
    Stanza* current = nullptr;
    std::string_view physical;
    while (nextLine(physical)) {
        std::string_view lead = physical;
        while (std::size_t n = leadingSpaceLength(lead)) lead.remove_prefix(n);
        if (lead.empty() || lead[0] == ';' || lead[0] == '#') {
            pending.emplace_back(physical);
            continue;
        }
        std::string line(physical);
        std::string_view more;
        while (!line.empty() && line.back() == '\\' && nextLine(more)) {
            line.back() = '\n';
            line.append(more);
        }
        handleLogicalLine(std::move(line), pending, current);
    }
    _trailingLines = std::move(pending);
}

void IniFile::handleLogicalLine(std::string line, std::vector<std::string>& pending, Stanza*& current) {
    std::size_t first = 0;
    while (std::size_t n = leadingSpaceLength(std::string_view(line).substr(first))) first += n;

    if (line[first] == '[') {
        std::size_t close = line.rfind(']');
        std::string name;
        if (close == std::string::npos || close < first) {
            s_log.warn("%s: Stanza header is missing terminator: %s", location().c_str(), line.c_str());
            name = line.substr(first + 1);
        } else {
            name = line.substr(first + 1, close - first - 1);
        }
        auto it = _stanzas.find(name);
        if (it == _stanzas.end()) {
            it = _stanzas.emplace(name, Stanza{name, {}, {}}).first;
        }
        Stanza& s = it->second;
        s.leadingLines.insert(s.leadingLines.end(), std::make_move_iterator(pending.begin()),
                              std::make_move_iterator(pending.end()));
        pending.clear();
        current = &s;
        return;
    }

    // Key up to the first unescaped '='; a backslash takes the next byte literally.
    std::string key;
    std::size_t eq = std::string::npos;
    bool badEscape = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            if (i + 1 == line.size()) {
                badEscape = true;
                break;
            }
            key += line[++i];
        } else if (c == '\0') {
            continue;
        } else if (c == '=') {
            eq = i;
            break;
        } else {
            key += c;
        }
    }
    if (badEscape) {
        s_log.warn("%s: Cannot end on an escape character: %s", location().c_str(), line.c_str());
    }
    if (eq == std::string::npos) {
        if (!hasSchemaExtension(_path)) {
            s_log.warn("%s: Cannot parse into key-value pair: %s", location().c_str(), line.c_str());
        }
        pending.push_back(std::move(line));
        return;
    }

    std::string value = line.substr(eq + 1);
    if (value.find('\0') != std::string::npos) {
        s_log.warn("%s:  Found null character: %s", location().c_str(), line.c_str());
        std::erase(value, '\0');
    }
    Setting setting{std::string(trimIniWhitespace(key)), std::string(trimIniWhitespace(value)), std::move(pending)};
    pending.clear();

    if (!current) {
        auto it = _stanzas.find(std::string_view("default"));
        if (it == _stanzas.end()) it = _stanzas.emplace("default", Stanza{"default", {}, {}}).first;
        current = &it->second;
    }
    if (current->settings.count(setting.key)) {
        s_log.warn("%s: Key used more than once in the same stanza: %s: %s", location().c_str(), setting.key.c_str(),
                   line.c_str());
        // The dropped line and what stood before it stay as non-setting lines.
        pending = std::move(setting.leadingLines);
        pending.push_back(std::move(line));
        return;
    }
    std::string k = setting.key;
    current->settings.emplace(std::move(k), std::move(setting));
}

}  // namespace morvex
