#include "util/pathname.h"

#include <execinfo.h>

#include "util/logger.h"

namespace morvex {

namespace {

Logger& pathLog() {
    static Logger s_log("Pathname");
    return s_log;
}

// Set while the long-path warning is being written, so that paths built by
// the logging it triggers cannot warn again.
thread_local bool t_inLongPathWarning = false;

}  // namespace

void Pathname::assign(std::string path) {
    _path = std::move(path);
    warnIfLong();
}

void Pathname::warnIfLong() const {
    if (_path.size() <= kMaxPath || t_inLongPathWarning) return;
    // Exempt: "=C:..." style pseudo-variables, whose '=' precedes any separator.
    std::size_t eq = _path.find('=');
    if (eq != std::string::npos && eq < _path.find(kSeparator)) return;
    t_inLongPathWarning = true;
    std::string text = "Pathname '" + _path + "' larger than MAX_PATH, callers: ";
    void* frames[32];
    int n = backtrace(frames, 32);
    if (char** symbols = backtrace_symbols(frames, n)) {
        for (int i = 1; i < n; ++i) {  // frame 0 is this function
            text += "\r\n\t";
            text += symbols[i];
        }
        free(symbols);
    }
    pathLog().warn("%s", text.c_str());
    t_inLongPathWarning = false;
}

Pathname& Pathname::join(std::string_view component) {
    if (component.empty()) return *this;
    std::size_t skip = component.find_first_not_of(kSeparator);
    if (skip == std::string_view::npos) skip = component.size();
    component.remove_prefix(skip);
    std::string path = _path;
    if (path.empty() || path.back() != kSeparator) path += kSeparator;
    path.append(component);
    assign(std::move(path));
    return *this;
}

Pathname& Pathname::collapse() {
    if (_path.size() < 3) return *this;
    std::string out;
    out.reserve(_path.size());
    out += _path[0];
    for (std::size_t i = 1; i < _path.size(); ++i) {
        if (_path[i] == kSeparator && out.size() > 1 && out.back() == kSeparator) continue;
        out += _path[i];
    }
    _path = std::move(out);
    return *this;
}

Pathname& Pathname::trim() {
    while (_path.size() > 1 && _path.back() == kSeparator) _path.pop_back();
    return *this;
}

}  // namespace morvex
