#include "tlsd/tlsproxy_config.h"

#include <locale.h>
#include <wctype.h>

#include <exception>

#include "util/ascii.h"
#include "util/json_node.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 if invalid.
std::size_t decodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    unsigned char c = b(0);
    std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? (c < 0xF0 ? 3 : 0) : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

void encodeUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Case tables for non-ASCII keys; independent of the process's own locale.
locale_t unicodeLocale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

std::string TLSProxyConfig::lowerCaseKey(std::string_view key) {
    std::string out;
    out.reserve(key.size());
    for (std::size_t i = 0; i < key.size();) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (c < 0x80) {
            out += asciiLower(static_cast<char>(c));
            ++i;
            continue;
        }
        char32_t cp = 0;
        std::size_t n = decodeUtf8(key, i, cp);
        if (n == 0) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (locale_t loc = unicodeLocale()) cp = static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), loc));
        encodeUtf8(cp, out);
        i += n;
    }
    return out;
}

void TLSProxyConfig::read(std::string_view text) {
    try {
        JsonDocument doc = JsonDocumentFillingParser::parse(text);
        std::uint32_t port = _fwdProxyPort;
        std::string token = _token;
        std::string password = _privateKeyPassword;
        for (JsonNode member = doc.root().firstChild(); member; member = member.nextSibling()) {
            std::string key = lowerCaseKey(member.key());
            if (key == "listen_port") {
                if (auto d = member.getNumber()) {
                    if (*d >= 0.0 && *d < 4294967295.5 && *d == static_cast<double>(static_cast<std::uint32_t>(*d))) {
                        port = static_cast<std::uint32_t>(*d);
                    }
                }
            } else if (key == "token") {
                if (auto s = member.getString()) token.assign(s->data(), s->size());
            } else if (key == "private_key_password") {
                if (auto s = member.getString()) password.assign(s->data(), s->size());
            }
        }
        _fwdProxyPort = port;
        _token = std::move(token);
        _privateKeyPassword = std::move(password);
    } catch (const JsonStreamingParser::error& e) {
        s_log.error("Invalid json format in TLS proxy server input configs: ex=%s", e.what());
    } catch (const std::exception& e) {
        s_log.error("Exception happened when parsing TLS proxy server input configs, ex=%s", e.what());
    }
}

bool TLSProxyConfig::judge() {
    _valid = _fwdProxyPort >= 1 && _fwdProxyPort <= 65535 && !_token.empty();
    return _valid;
}

}  // namespace morvex
