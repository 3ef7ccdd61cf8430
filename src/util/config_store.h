// The merged view of the settings files under a home directory's settings
// directory (etc/).
//
// Layering: a configuration NAME (e.g. "server") is read from
//   <etc>/system/default/NAME.conf   shipped defaults
//   <etc>/system/local/NAME.conf     the installation's own changes
// and merged key by key: a key in the local file replaces the same key of
// the same stanza in the default file; stanzas and keys found in only one
// file are taken as they are. Missing files count as empty; a file that
// exists but cannot be read is logged at ERROR and listed by readErrors(), so
// that callers can refuse to go on with defaults. Each configuration is read
// once, on first use, and then kept.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/ini_file.h"

namespace morvex {

// The settings of one stanza after merging: key -> value.
using PropertySet = std::map<std::string, std::string, TrimmedNameLess>;

// The value of `key` in `props`, or nullptr.
const std::string* findProperty(const PropertySet& props, std::string_view key);

class ConfigStore {
public:
    // `etcDir`: the settings directory (the home directory's etc/, or the
    // configured one).
    explicit ConfigStore(std::string etcDir);
    ConfigStore(const ConfigStore&) = delete;
    ConfigStore& operator=(const ConfigStore&) = delete;

    const std::string& etcDir() const noexcept { return _etcDir; }

    // The merged properties of `stanza` in configuration `confName`; nullopt
    // when neither layer has that stanza. Thread-safe.
    std::optional<PropertySet> stanza(const std::string& confName, std::string_view stanza) const;
    bool hasStanza(const std::string& confName, std::string_view stanza) const;
    // The merged value of one key, if present.
    std::optional<std::string> value(const std::string& confName, std::string_view stanza, std::string_view key) const;

    // The errors of the layers of confName that exist but could not be read
    // ("Cannot read file=<path> for parsing: <text>"); empty when all of
    // them were read (or are missing).
    std::vector<std::string> readErrors(const std::string& confName) const;

    // Paths of the two layers of a configuration.
    std::string defaultPath(const std::string& confName) const;
    std::string localPath(const std::string& confName) const;

private:
    using Stanzas = std::map<std::string, PropertySet, TrimmedNameLess>;
    struct Merged {
        Stanzas stanzas;
        std::vector<std::string> readErrors;
    };
    const Merged& merged(const std::string& confName) const;

    std::string _etcDir;
    mutable std::mutex _mutex;
    mutable std::map<std::string, std::unique_ptr<Merged>> _cache;
};

}  // namespace morvex
