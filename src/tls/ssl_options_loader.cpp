#include "tls/ssl_options_loader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <exception>
#include <mutex>
#include <set>
#include <type_traits>

#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("SslOptions");

// Settings values: blanks and line ends around them do not count.
std::string_view trimSpace(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

template <typename Int>
std::optional<Int> parseInteger(std::string_view s) {
    s = trimSpace(s);
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    Int v{};
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

// Joins a directory and a relative path; collapses runs of separators after
// the first character (a leading "//" of a network path stays).
std::string joinPath(std::string_view base, std::string_view rel) {
    std::string joined(base);
    joined += '/';
    joined += rel;
    std::string out;
    out.reserve(joined.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        char c = joined[i];
        bool sep = c == '/' || c == '\\';
        if (sep && i > 1 && !out.empty() && (out.back() == '/' || out.back() == '\\')) continue;
        out += c;
    }
    return out;
}

enum class PathCheck { RegularFileIfExists, ExistingFile, ExistingDirectory };

// Empty when the path passes, else the reason.
std::string checkPath(const std::string& path, PathCheck check) {
    if (!isAbsoluteSettingsPath(path)) return "must be an absolute path";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return check == PathCheck::RegularFileIfExists ? std::string() : "does not exist";
    }
    if (check == PathCheck::ExistingDirectory) return S_ISDIR(st.st_mode) ? std::string() : "not a directory";
    return S_ISREG(st.st_mode) ? std::string() : "not a regular file";
}

// A password in the encrypted form: "$<digit>$...".
bool isEncryptedPassword(std::string_view v) {
    return v.size() > 3 && v[0] == '$' && std::isdigit(static_cast<unsigned char>(v[1])) && v[2] == '$';
}

// True the first time the process reports `what` (shared by both kinds).
bool firstReport(const std::string& what) {
    static std::mutex* lock = new std::mutex;  // never destroyed, like the set
    static auto* reported = new std::set<std::string>;
    std::lock_guard<std::mutex> guard(*lock);
    return reported->insert(what).second;
}

// The text of a field's value in the invalid-value warning.
std::string valueText(bool v) {
    return v ? "true" : "false";
}
std::string valueText(std::int32_t v) {
    return std::to_string(v);
}
std::string valueText(std::int64_t ms) {
    return ms < 0 ? std::string("the default") : std::to_string(ms) + " ms";
}
std::string valueText(SslContextOptions::CertStatusValidationMethod v) {
    return toString(v);
}

std::string keyPathOf(std::string_view conf, std::string_view stanza, std::string_view key) {
    std::string p(conf);
    p += ".conf/[";
    p += stanza;
    p += "]/";
    p += key;
    return p;
}

// A value that does not parse is said once per key path and value (the
// server and the client kind read the same stanza), in every process kind,
// with the value that stays in use.
void warnInvalidValue(const std::string& path, const std::string& value, const std::string& used) {
    if (!firstReport(path + '\n' + value)) return;
    s_log.warn("%s: invalid value from %s; using %s", path.c_str(), value.c_str(), used.c_str());
}

bool isServerSslConfig(const std::string& confName, const std::string& stanza) {
    return confName == "server" && stanza == "sslConfig";
}

// Loads one stanza into one option set; the kind is the template argument.
template <typename Options>
class Loader {
    static constexpr bool kServer = std::is_same_v<Options, SslServerContextOptions>;

public:
    Loader(const std::string& confName, const std::string& stanza, const PropertySet& props, Options& options,
           const SslOptionsLoadEnv& env)
        : _conf(confName), _stanza(stanza), _props(props), _o(options), _env(env) {}

    void run() {
        readCommon();
        if constexpr (kServer) {
            readServer();
        } else {
            readClient();
        }
        resolvePaths();
        applyRootCADefaults();
        if (_passwordFailure) {
            throw SSLOptionsException(keyPath("sslPassword"), "<encrypted>", "decrypting private key password");
        }
        if constexpr (!kServer) {
            if (!_o.shouldVerifyServerCert) {
                s_log.warn(
                    "%s is false disabling certificate validation; must be set to \"true\" for increased "
                    "security",
                    keyPath("sslVerifyServerCert").c_str());
            }
        }
    }

private:
    std::string keyPath(std::string_view key) const { return keyPathOf(_conf, _stanza, key); }

    const std::string* raw(std::string_view key) const { return findProperty(_props, key); }

    // The value of `key`, preferring the first present alias (older names);
    // records the key as found.
    const std::string* lookup(std::string_view key, std::initializer_list<std::string_view> aliases = {}) {
        for (std::string_view alias : aliases) {
            if (const std::string* v = raw(alias)) {
                if (_env.mainDaemonProcess) {
                    s_log.warn("%s: deprecated; use '%.*s' instead", keyPath(alias).c_str(),
                               static_cast<int>(key.size()), key.data());
                }
                _found.emplace(key);
                return v;
            }
        }
        const std::string* v = raw(key);
        if (v) _found.emplace(key);
        return v;
    }

    bool found(std::string_view key) const { return _found.count(std::string(key)) != 0; }

    // A value that does not parse keeps the field, with a warning.
    void invalid(std::string_view key, const std::string& value, const std::string& used) const {
        warnInvalidValue(keyPath(key), value, used);
    }

    template <typename T, typename Parse>
    void readParsed(std::string_view key, T& field, Parse parse, std::initializer_list<std::string_view> aliases = {}) {
        const std::string* v = lookup(key, aliases);
        if (!v) return;
        if (auto parsed = parse(*v)) {
            field = static_cast<T>(*parsed);
        } else {
            invalid(key, *v, valueText(field));
        }
    }

    void readBool(std::string_view key, bool& field) { readParsed(key, field, parseBooleanWord); }

    void readVersions(std::string_view key) {
        const std::string* v = lookup(key);
        if (!v) return;
        if (auto parsed = parseSslVersions(*v)) {
            _o.sslVersions = *parsed;
        } else {
            const std::string current = sslVersionsToString(_o.sslVersions);
            invalid(key, *v, current.empty() ? "no version (no TLS context can be built)" : current);
        }
    }

    void readString(std::string_view key, std::string& field, std::initializer_list<std::string_view> aliases = {}) {
        if (const std::string* v = lookup(key, aliases)) field = *v;
    }

    void readNameList(std::string_view key, std::string& field) {
        if (const std::string* v = lookup(key)) field = filterHostNameList(*v);
    }

    // Whole seconds into milliseconds; at least `minimum` seconds.
    void readSeconds(std::string_view key, std::int64_t& field, std::int64_t minimum = 0) {
        readParsed(key, field, [minimum](std::string_view s) -> std::optional<std::int64_t> {
            auto secs = parseInteger<std::int64_t>(s);
            if (!secs || *secs < minimum || *secs > INT64_MAX / 1000) return std::nullopt;
            return *secs * 1000;
        });
    }

    void readCommon() {
        readBool("allowSslRenegotiation", _o.allowSslRenegotiation);
        readParsed("certLogRepeatFrequency", _o.certLogRepeatFrequency, parseDurationMs);
        readString("cipherSuite", _o.cipherSuite, {"sslCipher"});
        readString("ecdhCurves", _o.ecdhCurves, {"ecdhCurveName"});
        readBool("logCertificateData", _o.logCertificateData);
        readParsed("certLogMaxCacheEntries", _o.maxCertlogCacheEntries, parseInteger<std::int32_t>);
        readString("privKeyPath", _o.privateKeyFile);
        readBool("sslQuietShutdown", _o.quietShutdown);
        readVersions("sslVersions");
        if (const std::string* v = lookup("useSSL"); v && !v->empty()) {
            if (auto parsed = parseUseSsl(*v)) {
                _o.useSSL = *parsed;
            } else {
                invalid("useSSL", *v, toString(_o.useSSL));
            }
        }
        readParsed("certificateStatusValidationMethod", _o.certStatusValidationMethod, parseCertStatusValidationMethod);
        readString("caTrustStore", _o.caTrustStore);
        readString("caTrustStorePath", _o.caTrustStorePath);
        readNameList("sslCommonNameToCheck", _o.commonNameToCheck);
        readNameList("sslCommonNameList", _o.commonNameToCheck);
        readNameList("sslAltNameToCheck", _o.altNameToCheck);
        readNameList("altNameToCheck", _o.altNameToCheck);
        readRootCA();
        if (isServerSslConfig(_conf, _stanza)) readBool("sslRootCAPathHonoredOnWindows", _o.rootCAPathHonoredOnWindows);
        readString("caCertFile", _o.caCertFile, {"caCertPath"});
        if (const std::string* v = lookup("caPath")) _caPath = *v;
        readString("cipherSuitesTls13", _o.cipherSuitesTls13);
        readPassword();
    }

    // sslRootCAPath, then the older rootCA, which wins when present.
    void readRootCA() {
        readString("sslRootCAPath", _o.rootCAPath);
        if (const std::string* v = raw("rootCA")) {
            _o.rootCAPath = *v;
            _found.emplace("sslRootCAPath");
            if (_env.mainDaemonProcess) {
                s_log.warn("%s: deprecated; use 'sslRootCAPath in server.conf/[sslConfig]' instead",
                           keyPath("rootCA").c_str());
            }
        }
    }

    void readPassword() {
        const std::string* v = lookup("sslPassword");
        if (!v) return;
        if (!isEncryptedPassword(*v)) {
            _o.privateKeyPassword = *v;
            return;
        }
        std::optional<std::string> plain;
        if (_env.decryptPassword) plain = _env.decryptPassword(*v);
        if (!plain) {
            // The load fails, but only after every other key is read: what
            // does not need the password keeps working. The encrypted text
            // is not secret, but keep it short in the message.
            _o.privateKeyPassword.clear();
            _passwordFailure = true;
            return;
        }
        _o.privateKeyPassword = std::move(*plain);
    }

    void readServer() {
        if constexpr (kServer) {
            readBool("allowSslCompression", _o.useCompression);
            readString("dhFile", _o.dhFile, {"dhfile"});
            readBool("requireClientCert", _o.shouldVerifyClientCert);
            readString("serverCert", _o.certFile, {"sslKeysfile"});
            if (isServerSslConfig(_conf, _stanza)) readSeconds("sslServerSessionTimeout", _o.sslServerSessionTimeout);
            readSeconds("sslServerHandshakeTimeout", _o.sslServerHandshakeTimeout, 1);
            readBool("honorCipherOrder", _o.honorCipherOrder);
        }
    }

    void readClient() {
        if constexpr (!kServer) {
            readString("clientCert", _o.certFile, {"sslCertPath", "sslKeysfile"});
            if (raw("useClientSSLCompression") || _stanza != "authentication") {
                readBool("useClientSSLCompression", _o.useCompression);
            } else {
                readBool("allowSslCompression", _o.useCompression);
            }
            readBool("sslVerifyServerCert", _o.shouldVerifyServerCert);
            readBool("sslVerifyServerName", _o.shouldVerifyServerName);
            readVersions("sslVersionsForClient");
            if (isServerSslConfig(_conf, _stanza)) {
                readString("sslClientSessionPath", _o.sslClientSessionPath);
                readBool("useSslClientSessionCache", _o.useSslClientSessionCache);
            }
        }
    }

    void resolveAgainstBase(const std::string& base, std::string& field) const {
        if (isAbsoluteSettingsPath(base) && !field.empty() && !isAbsoluteSettingsPath(field)) {
            field = joinPath(base, field);
        }
    }

    void resolvePaths() {
        std::string base = found("caPath") ? _caPath : joinPath(_env.settingsDir, "auth");
        resolveAgainstBase(base, _o.caCertFile);
        resolveAgainstBase(base, _o.certFile);
        if constexpr (kServer) {
            resolveAgainstBase(base, _o.dhFile);
            resolveAgainstBase(base, _o.privateKeyFile);
        } else if (!_o.privateKeyFile.empty() && !isAbsoluteSettingsPath(_o.privateKeyFile)) {
            // Product-relative: "etc/..." lives under the home directory,
            // anything else under the settings directory.
            std::string_view rel = _o.privateKeyFile;
            bool underHome = rel.starts_with("etc/") || rel.starts_with("etc\\");
            _o.privateKeyFile = joinPath(underHome ? _env.homeDir : _env.settingsDir, rel);
        }
        if (!found("privKeyPath")) _o.privateKeyFile = _o.certFile;

        // Checks only for keys that were present; problems are warnings.
        if (found(kServer ? "serverCert" : "clientCert"))
            check(kServer ? "serverCert" : "clientCert", _o.certFile, PathCheck::RegularFileIfExists);
        if (found("privKeyPath")) check("privKeyPath", _o.privateKeyFile, PathCheck::RegularFileIfExists);
        if (found("caCertFile")) check("caCertFile", _o.caCertFile, PathCheck::RegularFileIfExists);
        if (found("sslRootCAPath") && !_o.rootCAPath.empty())
            check("sslRootCAPath", _o.rootCAPath, PathCheck::ExistingFile);
        if constexpr (kServer) {
            if (found("dhFile")) check("dhFile", _o.dhFile, PathCheck::ExistingFile);
        } else {
            if (found("sslClientSessionPath")) {
                check("sslClientSessionPath", _o.sslClientSessionPath, PathCheck::ExistingDirectory);
            }
        }
        if (found("caPath")) check("caPath", _caPath, PathCheck::ExistingDirectory);
    }

    void check(std::string_view key, const std::string& path, PathCheck how) const {
        std::string reason = checkPath(path, how);
        if (!reason.empty()) {
            s_log.warn("%s (%s): %s; may not be able to use SSL", keyPath(key).c_str(), path.c_str(), reason.c_str());
        }
    }

    void applyRootCADefaults() {
        if (!isServerSslConfig(_conf, _stanza) && _o.rootCAPath.empty() && _env.rootCADefaults) {
            _o.rootCAPath = _env.rootCADefaults->rootCAPath;
            _o.rootCAPathHonoredOnWindows = _env.rootCADefaults->rootCAPathHonoredOnWindows;
        }
        if (!_o.rootCAPathHonoredOnWindows && !_o.rootCAPath.empty()) {
            s_log.warn("%s: setting ignored under Windows", keyPath("sslRootCAPath").c_str());
        }
    }

    const std::string& _conf;
    const std::string& _stanza;
    const PropertySet& _props;
    Options& _o;
    const SslOptionsLoadEnv& _env;
    std::set<std::string, std::less<>> _found;
    std::string _caPath;
    bool _passwordFailure = false;
};

template <typename Options>
bool loadWith(const std::string& confName, const std::string& stanza, const PropertySet& props, Options& options,
              const SslOptionsLoadEnv& env) {
    try {
        Loader<Options>(confName, stanza, props, options, env).run();
        return true;
    } catch (const std::exception& e) {
        if (!env.reportedFailures || env.reportedFailures->insert(e.what()).second) s_log.error("%s", e.what());
        return false;
    }
}

template <typename Options>
bool loadFromStore(const ConfigStore& store, const std::string& confName, const std::string& stanza, Options& options,
                   const SslOptionsLoadEnv& env) {
    std::optional<PropertySet> props;
    try {
        props = store.stanza(confName, stanza);
    } catch (const std::exception& e) {
        s_log.error("%s", e.what());
        return false;
    }
    return loadWith(confName, stanza, props ? *props : PropertySet{}, options, env);
}

}  // namespace

bool loadSslServerOptions(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                          SslServerContextOptions& options, const SslOptionsLoadEnv& env) {
    return loadFromStore(store, confName, stanza, options, env);
}

bool loadSslClientOptions(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                          SslClientContextOptions& options, const SslOptionsLoadEnv& env) {
    return loadFromStore(store, confName, stanza, options, env);
}

bool loadSslServerOptions(const std::string& confName, const std::string& stanza, const PropertySet& props,
                          SslServerContextOptions& options, const SslOptionsLoadEnv& env) {
    return loadWith(confName, stanza, props, options, env);
}

bool loadSslClientOptions(const std::string& confName, const std::string& stanza, const PropertySet& props,
                          SslClientContextOptions& options, const SslOptionsLoadEnv& env) {
    return loadWith(confName, stanza, props, options, env);
}

bool readBooleanSwitch(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                       const std::string& key, bool fallback) {
    std::optional<std::string> v = store.value(confName, stanza, key);
    if (!v) return fallback;
    if (std::optional<bool> parsed = parseBooleanWord(*v)) return *parsed;
    warnInvalidValue(keyPathOf(confName, stanza, key), *v, valueText(fallback));
    return fallback;
}

std::optional<std::uint32_t> parseSslVersions(std::string_view value) {
    struct Token {
        std::string_view name;
        std::uint32_t bits;
    };
    static constexpr Token kTokens[] = {
        {"*", SslVersion::ALL},        {"all", SslVersion::ALL},       {"tls", SslVersion::TLS},
        {"ssl3", SslVersion::SSL3},    {"sslv3", SslVersion::SSL3},    {"ssl-3", SslVersion::SSL3},
        {"tls10", SslVersion::TLS1_0}, {"tls1.0", SslVersion::TLS1_0}, {"tls-1.0", SslVersion::TLS1_0},
        {"tls11", SslVersion::TLS1_1}, {"tls1.1", SslVersion::TLS1_1}, {"tls-1.1", SslVersion::TLS1_1},
        {"tls12", SslVersion::TLS1_2}, {"tls1.2", SslVersion::TLS1_2}, {"tls-1.2", SslVersion::TLS1_2},
        {"ssl2", SslVersion::SSL2},    {"sslv2", SslVersion::SSL2},    {"ssl-2", SslVersion::SSL2},
        {"tls13", SslVersion::TLS1_3}, {"tls1.3", SslVersion::TLS1_3}, {"tls-1.3", SslVersion::TLS1_3},
    };
    std::uint32_t result = 0;
    bool first = true;
    bool namesTls13 = false;
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t start = value.find_first_not_of(", \t", pos);
        if (start == std::string_view::npos) break;
        std::size_t end = value.find_first_of(", \t", start);
        if (end == std::string_view::npos) end = value.size();
        std::string_view token = value.substr(start, end - start);
        pos = end;

        bool remove = false;
        if (token[0] == '+' || token[0] == '-' || token[0] == '!') {
            remove = token[0] != '+';
            token.remove_prefix(1);
        }
        if (first && remove) result = SslVersion::ALL;
        first = false;
        std::string name = lower(token);
        auto it = std::find_if(std::begin(kTokens), std::end(kTokens), [&](const Token& t) { return t.name == name; });
        if (it == std::end(kTokens)) return std::nullopt;
        namesTls13 = namesTls13 || it->bits == SslVersion::TLS1_3;
        result = remove ? (result & ~it->bits) : (result | it->bits);
    }
    if (first) return std::nullopt;
    result &= ~SslVersion::SSL2;
    // Lists that do not name TLS 1.3 keep it wherever TLS 1.2 is on.
    if (!namesTls13 && (result & SslVersion::TLS1_2)) result |= SslVersion::TLS1_3;
    if (result & (SslVersion::SSL3 | SslVersion::TLS1_0 | SslVersion::TLS1_1)) {
        s_log.warn(
            "Found a deprecated version of TLS/SSL (sslv3, tls1.0, tls1.1) in the configuration. Morvex might remove "
            "support for these versions in a future release. Update your configuration to use the latest available "
            "TLS version.");
    }
    return result;
}

std::optional<bool> parseBooleanWord(std::string_view value) {
    std::string v = lower(value);
    if (v == "1" || v == "t" || v == "true" || v == "yes") return true;
    if (v == "0" || v == "f" || v == "false" || v == "no") return false;
    return std::nullopt;
}

std::optional<SslContextOptions::SSLConnection> parseUseSsl(std::string_view value) {
    if (auto b = parseBooleanWord(value)) {
        return *b ? SslContextOptions::SSLConnection::True : SslContextOptions::SSLConnection::False;
    }
    if (lower(value) == "legacy") return SslContextOptions::SSLConnection::Legacy;
    return std::nullopt;
}

std::optional<SslContextOptions::CertStatusValidationMethod> parseCertStatusValidationMethod(std::string_view value) {
    std::string v = lower(value);
    if (v == "none") return SslContextOptions::CertStatusValidationMethod::None;
    if (v == "crl") return SslContextOptions::CertStatusValidationMethod::Crl;
    return std::nullopt;
}

std::optional<std::int64_t> parseDurationMs(std::string_view value) {
    value = trimSpace(value);
    std::size_t digits = 0;
    while (digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits]))) ++digits;
    auto number = parseInteger<std::int64_t>(value.substr(0, digits));
    if (!number) return std::nullopt;
    std::string unit = lower(trimSpace(value.substr(digits)));
    std::int64_t scale;
    if (unit == "ms") {
        scale = 1;
    } else if (unit.empty() || unit == "s") {
        scale = 1000;
    } else if (unit == "m") {
        scale = 60 * 1000;
    } else if (unit == "h") {
        scale = 3600 * 1000;
    } else if (unit == "d") {
        scale = 86400 * 1000;
    } else {
        return std::nullopt;
    }
    if (*number > INT64_MAX / scale) return std::nullopt;
    return *number * scale;
}

bool isValidHostNamePattern(std::string_view name) {
    if (name.starts_with("*.")) {
        name.remove_prefix(2);
        if (name.empty()) return false;
    }
    if (name.empty() || name.size() > 253) return false;
    std::size_t pos = 0;
    while (true) {
        std::size_t dot = name.find('.', pos);
        std::string_view label = name.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (char c : label) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
        }
        if (dot == std::string_view::npos) return true;
        pos = dot + 1;
    }
}

std::string filterHostNameList(std::string_view value) {
    std::string out;
    std::size_t pos = 0;
    while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view element = trimSpace(value.substr(pos, comma - pos));
        pos = comma + 1;
        if (element.empty()) continue;
        if (!isValidHostNamePattern(element)) {
            s_log.warn("Ignoring \"%.*s\" because it is not a valid hostname.", static_cast<int>(element.size()),
                       element.data());
            continue;
        }
        if (!out.empty()) out += ',';
        out += element;
    }
    return out;
}

bool isAbsoluteSettingsPath(std::string_view path) {
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') path.remove_prefix(2);
    return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

}  // namespace morvex
