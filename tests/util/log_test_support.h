// Helpers for the logging tests: a scratch directory and a
// configuration loaded for the length of a scope (the facility returns to its
// unconfigured fallback afterwards, so other tests in the program see the
// default behaviour).
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "support/process.h"
#include "util/log_config.h"

namespace morvex::test {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

void writeWholeFile(const std::string& path, const std::string& text);

// Writes text to path (and localText, when given, to the "-local" file), then
// loads it with context (its path set here). Unconfigures on destruction.
class ScopedLogConfig {
public:
    ScopedLogConfig(const std::string& path, const std::string& text, LogConfigContext context = {},
                    const std::string* localText = nullptr);
    ~ScopedLogConfig();
    ScopedLogConfig(const ScopedLogConfig&) = delete;
    ScopedLogConfig& operator=(const ScopedLogConfig&) = delete;
    bool loaded() const { return _loaded; }

private:
    bool _loaded;
};

// Redirects standard error (descriptor 2) into a file for a scope.
class CapturedStderr {
public:
    CapturedStderr();
    ~CapturedStderr();
    // What was written so far.
    std::string text() const;

private:
    ScratchDir _dir;
    int _saved;
};

}  // namespace morvex::test
