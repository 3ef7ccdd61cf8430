// The encrypted form of sslPassword values in the settings files, and the
// instance secret it is encrypted with.
//
// Secret: the first line of <settings dir>/auth/instance.secret (without its
// line end, at least 16 bytes). The daemon creates the file; the proxy only
// reads it.
//
// Encrypted form: "$7$" followed by the standard base64 (with padding) of
//   salt (16 bytes) | nonce (12 bytes) | ciphertext | tag (16 bytes)
// where the ciphertext is the UTF-8 password under AES-256-GCM, the key is
// HKDF-SHA256(secret, salt, info "morvex sslPassword v7") of 32 bytes, and
// the marker "$7$" is the additional authenticated data.
// scripts/encrypt-ssl-password.sh writes the same form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// "$7$": the marker of the encrypted form.
inline constexpr std::string_view kEncryptedPasswordMarker = "$7$";

// <settingsDir>/auth/instance.secret
std::string instanceSecretPath(const std::string& settingsDir);

// The secret from its file; nullopt when the file is missing, unreadable or
// its first line is shorter than 16 bytes.
std::optional<std::string> readInstanceSecret(const std::string& path);

// The password in `value` (the encrypted form) under `secret`; nullopt when
// the form is malformed or authentication fails (wrong secret, altered text).
std::optional<std::string> decryptSslPassword(std::string_view value, std::string_view secret);

// The encrypted form of `plain` under `secret`, with a fresh random salt and
// nonce. For tests and tools; the proxy never writes passwords.
std::string encryptSslPassword(std::string_view plain, std::string_view secret);

}  // namespace morvex
