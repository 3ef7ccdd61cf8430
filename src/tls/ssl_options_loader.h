// Reading TLS option sets from a stanza of the settings files.
//
// Only keys that are present change a field. Values that do not parse leave
// the field as it was, with a warning naming the value and what stays in
// use; path problems, dropped names and deprecated keys (main daemon only)
// are warnings; a password that cannot be decrypted fails the load after
// every other key has been read, with the password left empty. Every message
// names the key by its key path "<conf>.conf/[<stanza>]/<key>".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "tls/ssl_context_options.h"
#include "util/config_store.h"

namespace morvex {

// What loading needs from the process around it.
struct SslOptionsLoadEnv {
    std::string settingsDir;  // default caPath is <settingsDir>/auth
    std::string homeDir;      // relative client key paths resolve under it
    // The main daemon's process kind: warns about deprecated keys and
    // invalid values. The proxy is not.
    bool mainDaemonProcess = false;
    // Fills an empty rootCAPath of any stanza other than server.conf
    // [sslConfig] (ServerConfig's server options); null: nothing to fill.
    const SslContextOptions* rootCADefaults = nullptr;
    // Decrypts an sslPassword kept in the encrypted form ("$<digit>$...",
    // see ssl_password_crypt.h); nullopt means it could not. Unset: such
    // values cannot be used.
    std::function<std::optional<std::string>(const std::string&)> decryptPassword;
    // Load failures already logged through loads sharing this set (the
    // server and the client kind of one stanza fail on the same key); null:
    // every failure is logged.
    std::shared_ptr<std::set<std::string>> reportedFailures;
};

// Load the stanza `stanza` of configuration `confName` (e.g. "server") from
// `store` into `options`. Return false, after logging the reason as an
// error, when loading raised; `options` then stays as far as it was filled.
bool loadSslServerOptions(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                          SslServerContextOptions& options, const SslOptionsLoadEnv& env);
bool loadSslClientOptions(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                          SslClientContextOptions& options, const SslOptionsLoadEnv& env);

// The same from an already read stanza; `confName` and `stanza` name it in
// messages and select the stanza-specific keys.
bool loadSslServerOptions(const std::string& confName, const std::string& stanza, const PropertySet& props,
                          SslServerContextOptions& options, const SslOptionsLoadEnv& env);
bool loadSslClientOptions(const std::string& confName, const std::string& stanza, const PropertySet& props,
                          SslClientContextOptions& options, const SslOptionsLoadEnv& env);

// A boolean switch of a stanza outside the option sets (fipsMode,
// commonCriteriaMode, sslClientSessionReuse, ...), read with the loader's
// checked parse: absent gives `fallback` silently, a value that is not a
// boolean word gives `fallback` with the loader's warning
// "<conf>.conf/[<stanza>]/<key>: invalid value from <value>; using <fallback>".
bool readBooleanSwitch(const ConfigStore& store, const std::string& confName, const std::string& stanza,
                       const std::string& key, bool fallback);

// Value parsers (nullopt: not a valid value).

// A protocol-version list ("tls1.2", "-ssl3 -tls1.0", "+TLS1.2, tls1.1", "all",
// ...) to SslVersion bits; SSL2 is always cleared. TLS1.3 is added wherever
// TLS1.2 is on unless the list names tls1.3 itself ("tls1.2 -tls1.3" turns it
// off). Logs the deprecation warning when the result holds SSL3, TLS1.0 or
// TLS1.1.
std::optional<std::uint32_t> parseSslVersions(std::string_view value);
// "1", "t", "true", "yes" / "0", "f", "false", "no", any case.
std::optional<bool> parseBooleanWord(std::string_view value);
// A boolean word or "legacy". (An empty value is skipped by the loader.)
std::optional<SslContextOptions::SSLConnection> parseUseSsl(std::string_view value);
// "none" or "crl", any case.
std::optional<SslContextOptions::CertStatusValidationMethod> parseCertStatusValidationMethod(std::string_view value);
// A duration: an integer with an optional unit "ms", "s", "m", "h" or "d"
// (seconds without one); gives milliseconds.
std::optional<std::int64_t> parseDurationMs(std::string_view value);

// Whether `name` is a host name, optionally with a leading "*." wildcard.
bool isValidHostNamePattern(std::string_view name);
// Splits a comma-separated name list, drops (with a warning) the elements
// that are not valid host names and joins the rest with commas.
std::string filterHostNameList(std::string_view value);

// Whether `path` is absolute ('/' or '\' first, optionally after "X:").
bool isAbsoluteSettingsPath(std::string_view path);

}  // namespace morvex
