// One parsed settings file of the stanza format:
//
//   # comment            ; comment
//   key = value          (before any header: stanza "default")
//   [stanza]
//   key = first line <backslash>
//   second line          (a trailing backslash joins the next line with "\n")
//
// Lines that are not settings (blank lines, comments, malformed lines) are
// kept verbatim with the setting or header that follows them, or as the
// file's trailing lines. Malformed lines are logged at WARN on the "IniFile"
// channel and never fail a load.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// Orders names byte by byte after trimming spaces and tabs at both ends, so
// that " x " and "x" name the same stanza or key. Transparent: lookups take
// string_view without building a string.
struct TrimmedNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// The whitespace set of the format (ASCII blanks plus the Unicode spaces),
// matched as UTF-8 sequences.
std::string_view trimIniWhitespace(std::string_view text) noexcept;
bool isIniBlank(std::string_view text) noexcept;

class IniFile {
public:
    struct Setting {
        std::string key;
        std::string value;
        std::vector<std::string> leadingLines;  // non-setting lines directly before it
    };

    struct Stanza {
        std::string name;                       // as first written (untrimmed)
        std::vector<std::string> leadingLines;  // non-setting lines directly before its header
        std::map<std::string, Setting, TrimmedNameLess> settings;

        // The value of `key`, or nullptr.
        const std::string* find(std::string_view key) const;
    };

    using StanzaMap = std::map<std::string, Stanza, TrimmedNameLess>;

    IniFile() = default;

    // Reads and parses the file at `path`. A file that cannot be opened gives
    // an empty IniFile whose error() is "Cannot open file=<path> for parsing:
    // <system text>" (also logged at DEBUG). A file that opens but cannot be
    // read gives an empty IniFile with readFailed() set and error() "Cannot
    // read file=<path> for parsing: <system text>" (logged at ERROR). Never
    // throws for content.
    static IniFile load(const std::string& path);

    // Parses `text` as if it were the content of the file at `path` (the path
    // is used in messages and for the file-extension rule).
    static IniFile parse(const std::string& path, std::string_view text);

    const std::string& path() const noexcept { return _path; }
    const std::string& error() const noexcept { return _error; }
    // The file exists and opened, but reading it failed.
    bool readFailed() const noexcept { return _readFailed; }
    // Physical lines read so far (continuation lines included).
    std::size_t lineNumber() const noexcept { return _lineNumber; }

    const StanzaMap& stanzas() const noexcept { return _stanzas; }
    const Stanza* stanza(std::string_view name) const;
    // The value of `key` in stanza `stanzaName`, or nullptr.
    const std::string* value(std::string_view stanzaName, std::string_view key) const;

    // Non-setting lines after the last setting or header.
    const std::vector<std::string>& trailingLines() const noexcept { return _trailingLines; }

private:
    void parseText(std::string_view text);
    void handleLogicalLine(std::string line, std::vector<std::string>& pending, Stanza*& current);
    std::string location() const;

    std::string _path;
    std::string _error;
    bool _readFailed = false;
    std::size_t _lineNumber = 0;
    StanzaMap _stanzas;
    std::vector<std::string> _trailingLines;
};

}  // namespace morvex
