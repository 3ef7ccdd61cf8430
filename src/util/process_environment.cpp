#include "util/process_environment.h"

#include <openssl/rand.h>

#include <cstdlib>
#include <random>

namespace morvex {

namespace {

std::string readVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// "<name> [<32 lower-case hex digits>]", the digits from the TLS library's
// generator or, should it fail, from our own.
std::string makeHostIdentity() {
    std::string name = readVariable("COMPUTERNAME");
    if (name.empty()) name = "no-hostname-set";
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::random_device seed;
        std::mt19937_64 gen((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(gen());
    }
    static const char kHex[] = "0123456789abcdef";
    std::string out = name + " [";
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    out += ']';
    return out;
}

}  // namespace

ProcessEnvironment& ProcessEnvironment::instance() {
    // Never destroyed: code running at exit may still ask for directories.
    static ProcessEnvironment* s_env = new ProcessEnvironment();
    return *s_env;
}

ProcessEnvironment::ProcessEnvironment() : _hostIdentity(makeHostIdentity()) {
    _serverName = readVariable("MORVEX_SERVER_NAME");
    if (_serverName.empty()) _serverName = "Morvexd";
}

void ProcessEnvironment::readPathVariable(const char* variable, Pathname& field) {
    std::string value = readVariable(variable);
    if (value.empty()) return;
    field.assign(value);
    field.normalize();
    if (field.str() != value) setenv(variable, field.c_str(), 1);
}

void ProcessEnvironment::initialize() {
    // LD_LIBRARY_PATH is a list, not a path, and the proxy has no use for the
    // analytics engine's home, so only the product's own directories are read.
    readPathVariable("MORVEX_HOME", _homeDirectory);
    readPathVariable("MORVEX_DB", _dataDirectory);
    readPathVariable("MORVEX_ETC", _settingsDirectory);
}

Pathname ProcessEnvironment::settingsDirectory() const {
    if (!_settingsDirectory.empty() || _settingsDirectoryMode == 1) return _settingsDirectory;
    return _homeDirectory.joined("etc");
}

Pathname ProcessEnvironment::proxyCertificatePath() const {
    return settingsDirectory().joined("auth", "server_tlsproxy.pem");
}

Pathname ProcessEnvironment::crashLogDirectory() const {
    return _homeDirectory.joined("var", "log", "morvex");
}

}  // namespace morvex
