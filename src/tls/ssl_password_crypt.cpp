#include "tls/ssl_password_crypt.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <fstream>
#include <memory>
#include <vector>

#include "util/pathname.h"

namespace morvex {

namespace {

constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kMinSecretBytes = 16;
constexpr char kInfo[] = "morvex sslPassword v7";

using Bytes = std::vector<unsigned char>;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// HKDF-SHA256 of the secret with the salt; empty on failure.
Bytes deriveKey(std::string_view secret, const unsigned char* salt) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    if (ctx == nullptr) return {};
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(secret.data()), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), kSaltBytes),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kInfo), sizeof kInfo - 1),
        OSSL_PARAM_construct_end(),
    };
    Bytes key(kKeyBytes);
    const bool ok = EVP_KDF_derive(ctx, key.data(), key.size(), params) == 1;
    EVP_KDF_CTX_free(ctx);
    if (!ok) key.clear();
    return key;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    Bytes out(text.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    std::size_t pad = 0;
    if (text.back() == '=') ++pad;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string base64Encode(const Bytes& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

std::string instanceSecretPath(const std::string& settingsDir) {
    return Pathname(settingsDir).joined("auth", "instance.secret").str();
}

std::optional<std::string> readInstanceSecret(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < kMinSecretBytes) return std::nullopt;
    return line;
}

std::optional<std::string> decryptSslPassword(std::string_view value, std::string_view secret) {
    if (!value.starts_with(kEncryptedPasswordMarker) || secret.empty()) return std::nullopt;
    std::optional<Bytes> blob = base64Decode(value.substr(kEncryptedPasswordMarker.size()));
    if (!blob || blob->size() < kSaltBytes + kNonceBytes + kTagBytes) return std::nullopt;
    const unsigned char* salt = blob->data();
    const unsigned char* nonce = salt + kSaltBytes;
    const unsigned char* cipherText = nonce + kNonceBytes;
    const std::size_t cipherLen = blob->size() - kSaltBytes - kNonceBytes - kTagBytes;
    unsigned char tag[kTagBytes];
    std::copy(cipherText + cipherLen, cipherText + cipherLen + kTagBytes, tag);

    Bytes key = deriveKey(secret, salt);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (key.empty() || !ctx) return std::nullopt;
    std::string plain(cipherLen, '\0');
    int len = 0;
    int finalLen = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) == 1 &&
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len,
                          reinterpret_cast<const unsigned char*>(kEncryptedPasswordMarker.data()),
                          static_cast<int>(kEncryptedPasswordMarker.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len, cipherText,
                          static_cast<int>(cipherLen)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + len, &finalLen) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    plain.resize(static_cast<std::size_t>(len + finalLen));
    return plain;
}

std::string encryptSslPassword(std::string_view plain, std::string_view secret) {
    Bytes blob(kSaltBytes + kNonceBytes + plain.size() + kTagBytes);
    unsigned char* salt = blob.data();
    unsigned char* nonce = salt + kSaltBytes;
    unsigned char* cipherText = nonce + kNonceBytes;
    if (RAND_bytes(salt, static_cast<int>(kSaltBytes + kNonceBytes)) != 1) return {};
    Bytes key = deriveKey(secret, salt);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (key.empty() || !ctx) return {};
    int len = 0;
    int finalLen = 0;
    const bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) == 1 &&
                    EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), nullptr, &len,
                                      reinterpret_cast<const unsigned char*>(kEncryptedPasswordMarker.data()),
                                      static_cast<int>(kEncryptedPasswordMarker.size())) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), cipherText, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                                      static_cast<int>(plain.size())) == 1 &&
                    EVP_EncryptFinal_ex(ctx.get(), cipherText + len, &finalLen) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, cipherText + plain.size()) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) return {};
    return std::string(kEncryptedPasswordMarker) + base64Encode(blob);
}

}  // namespace morvex
