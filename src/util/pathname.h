// A file-system path held as UTF-8 text, with the joins and normalisation the
// product's directories need. The separator is '/'; there are no drive letters
// or extended-length prefixes on this platform.
//
// Storing a path longer than kMaxPath characters logs a warning with the
// callers' backtrace on the "Pathname" channel (once per store, never from
// inside its own warning).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvex {

class Pathname {
public:
    static constexpr char kSeparator = '/';
    // Paths longer than this draw the long-path warning.
    static constexpr std::size_t kMaxPath = 260;

    Pathname() = default;
    explicit Pathname(std::string path) { assign(std::move(path)); }

    // Replaces the stored path (with the long-path warning when too long).
    void assign(std::string path);

    const std::string& str() const noexcept { return _path; }
    const char* c_str() const noexcept { return _path.c_str(); }
    bool empty() const noexcept { return _path.empty(); }
    std::size_t size() const noexcept { return _path.size(); }

    // Appends one component. An empty component changes nothing; a non-empty
    // path gets one separator unless it already ends in one; an empty path
    // gets a leading separator. Leading separators of the component are
    // dropped.
    Pathname& join(std::string_view component);
    // Copy of this path joined with one or more components, in order.
    template <typename... Parts>
    Pathname joined(Parts&&... parts) const {
        Pathname out(*this);
        (out.join(std::string_view(parts)), ...);
        return out;
    }

    // Every run of separators after the first character becomes one (a
    // leading double separator stays).
    Pathname& collapse();
    // Removes trailing separators, keeping at least one character.
    Pathname& trim();
    // collapse() then trim().
    Pathname& normalize() { return collapse().trim(); }

    friend bool operator==(const Pathname& a, const Pathname& b) { return a._path == b._path; }

private:
    void warnIfLong() const;

    std::string _path;
};

}  // namespace morvex
