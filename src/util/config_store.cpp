#include "util/config_store.h"

#include <utility>

namespace morvex {

const std::string* findProperty(const PropertySet& props, std::string_view key) {
    auto it = props.find(key);
    return it == props.end() ? nullptr : &it->second;
}

ConfigStore::ConfigStore(std::string etcDir) : _etcDir(std::move(etcDir)) {}

std::string ConfigStore::defaultPath(const std::string& confName) const {
    return _etcDir + "/system/default/" + confName + ".conf";
}

std::string ConfigStore::localPath(const std::string& confName) const {
    return _etcDir + "/system/local/" + confName + ".conf";
}

const ConfigStore::Merged& ConfigStore::merged(const std::string& confName) const {
    std::lock_guard<std::mutex> lock(_mutex);
    auto& slot = _cache[confName];
    if (slot) return *slot;

    auto result = std::make_unique<Merged>();
    // Later layers replace earlier ones key by key.
    for (const std::string& path : {defaultPath(confName), localPath(confName)}) {
        IniFile file = IniFile::load(path);
        if (file.readFailed()) result->readErrors.push_back(file.error());
        for (const auto& [name, stanza] : file.stanzas()) {
            PropertySet& props = result->stanzas[name];
            for (const auto& [key, setting] : stanza.settings) props.insert_or_assign(key, setting.value);
        }
    }
    slot = std::move(result);
    return *slot;
}

std::vector<std::string> ConfigStore::readErrors(const std::string& confName) const {
    return merged(confName).readErrors;
}

std::optional<PropertySet> ConfigStore::stanza(const std::string& confName, std::string_view stanza) const {
    const Stanzas& m = merged(confName).stanzas;
    auto it = m.find(stanza);
    if (it == m.end()) return std::nullopt;
    return it->second;
}

bool ConfigStore::hasStanza(const std::string& confName, std::string_view stanza) const {
    const Stanzas& m = merged(confName).stanzas;
    return m.find(stanza) != m.end();
}

std::optional<std::string> ConfigStore::value(const std::string& confName, std::string_view stanza,
                                              std::string_view key) const {
    const Stanzas& m = merged(confName).stanzas;
    auto it = m.find(stanza);
    if (it == m.end()) return std::nullopt;
    const std::string* v = findProperty(it->second, key);
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

}  // namespace morvex
