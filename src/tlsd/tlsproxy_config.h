// The proxy's per-start settings, read from the JSON document the parent
// daemon writes to standard input:
//   {"listen_port": 8090, "token": "...", "private_key_password": "..."}
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvex {

class TLSProxyConfig {
public:
    static constexpr std::uint32_t kPortUnset = 0xFFFFFFFF;

    // Fills the record from text. Keys match without regard to case; a member
    // of the wrong type counts as absent; the last well-typed occurrence of a
    // member wins; other members are ignored. Text that cannot be read is
    // logged on "TLSProxy" and leaves the record as it was. Never throws.
    void read(std::string_view text);

    // Valid exactly when 1 <= port <= 65535 and the token is not empty; the
    // result is also kept in valid().
    bool judge();

    std::uint32_t port() const noexcept { return _fwdProxyPort; }
    const std::string& token() const noexcept { return _token; }
    const std::string& privateKeyPassword() const noexcept { return _privateKeyPassword; }
    bool valid() const noexcept { return _valid; }

    // Lower-cases a member key: ASCII letters directly, other text as UTF-8
    // code points (invalid UTF-8 keeps its bytes).
    static std::string lowerCaseKey(std::string_view key);

private:
    std::uint32_t _fwdProxyPort = kPortUnset;
    std::string _token;
    std::string _privateKeyPassword;
    bool _valid = false;
};

}  // namespace morvex
