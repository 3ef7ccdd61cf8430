// TLS option sets: plain values that describe one TLS context (server or
// client side). They are read from the settings files by the loader in
// tls/ssl_options_loader.h and turned into live contexts elsewhere.
//
// Paths are UTF-8 byte strings on this platform (absolute paths start with
// '/'); there is no extended-length path form here.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "util/base_exception.h"

namespace morvex {

// Bits of SslContextOptions::sslVersions.
struct SslVersion {
    static constexpr std::uint32_t SSL2 = 1;
    static constexpr std::uint32_t SSL3 = 2;
    static constexpr std::uint32_t TLS1_0 = 4;
    static constexpr std::uint32_t TLS1_1 = 8;
    static constexpr std::uint32_t TLS1_2 = 16;
    // TLS 1.3 follows TLS 1.2 unless a version list names it ("tls1.3",
    // "-tls1.3"): configurations written before it existed keep it on.
    static constexpr std::uint32_t TLS1_3 = 32;
    // SSL3 and every TLS version up to 1.2 ("*", "all").
    static constexpr std::uint32_t ALL = SSL3 | TLS1_0 | TLS1_1 | TLS1_2;
    // Every TLS version up to 1.2 ("tls").
    static constexpr std::uint32_t TLS = TLS1_0 | TLS1_1 | TLS1_2;
};

// A TLS context could not be built from its options.
class SslInitException : public BaseException {
public:
    using BaseException::BaseException;
};

// A settings value could not be used. The text is "<key path> (<value>):
// <reason>; may not be able to use SSL".
class SSLOptionsException : public BaseException {
public:
    using BaseException::BaseException;
    SSLOptionsException(const std::string& keyPath, const std::string& value, const std::string& reason);
};

// Fields common to both kinds, in their canonical order. Copyable; a move
// leaves the source's strings empty.
class SslContextOptions {
public:
    // useSSL: whether (and how) a connection uses TLS. Carried only.
    enum class SSLConnection : std::int32_t { False = 0, True = 1, Legacy = 2 };
    // certificateStatusValidationMethod. Carried only.
    enum class CertStatusValidationMethod : std::uint32_t { None = 0, Crl = 1 };

    SslContextOptions() = default;
    SslContextOptions(const SslContextOptions&) = default;
    SslContextOptions& operator=(const SslContextOptions&) = default;
    SslContextOptions(SslContextOptions&& other) noexcept;
    SslContextOptions& operator=(SslContextOptions&& other) noexcept;
    virtual ~SslContextOptions();

    std::string rootCAPath;                  // trusted root certificates (PEM)
    bool rootCAPathHonoredOnWindows = true;  // whether rootCAPath is used at all
    std::string caCertFile;                  // CA certificates for verification, also sent as chain
    std::string certFile;                    // own certificate (chain) file, PEM
    std::string privateKeyFile;              // own private key (PEM); defaults to certFile when loading
    std::string privateKeyPassword;          // never logged, only whether it is set
    std::string commonNameToCheck;           // comma-separated acceptable peer common names
    std::string altNameToCheck;              // comma-separated acceptable peer subjectAltNames
    bool allowSslRenegotiation = true;
    std::uint32_t sslVersions = 0;  // SslVersion bits
    std::string cipherSuite;        // OpenSSL cipher list (TLS 1.2 and older); empty = library default
    std::string ecdhCurves;         // comma-separated curve names
    bool useCompression = false;
    bool quietShutdown = false;
    bool logCertificateData = false;
    std::int32_t maxCertlogCacheEntries = 10000;
    std::int64_t certLogRepeatFrequency = 86400000;  // milliseconds
    std::string caTrustStore = "morvex";             // comma-separated: "morvex" (caCertFile/rootCAPath), "os"
    std::string caTrustStorePath;
    SSLConnection useSSL = SSLConnection::Legacy;
    CertStatusValidationMethod certStatusValidationMethod = CertStatusValidationMethod::None;
    // Addition: the TLS 1.3 cipher suites (OpenSSL's colon-separated list,
    // key cipherSuitesTls13); empty = library default.
    std::string cipherSuitesTls13;

protected:
    // Writes the common fields as "name=value, ..." (no braces).
    void writeCommonFields(std::ostream& out) const;
};

class SslServerContextOptions : public SslContextOptions {
public:
    SslServerContextOptions() = default;
    SslServerContextOptions(const SslServerContextOptions&) = default;
    SslServerContextOptions& operator=(const SslServerContextOptions&) = default;
    SslServerContextOptions(SslServerContextOptions&& other) noexcept;
    SslServerContextOptions& operator=(SslServerContextOptions&& other) noexcept;
    ~SslServerContextOptions() override;

    std::string dhFile;  // PEM Diffie-Hellman parameters
    bool shouldVerifyClientCert = false;
    std::int64_t sslServerSessionTimeout = -1;    // milliseconds, -1 = unset
    std::int64_t sslServerHandshakeTimeout = -1;  // milliseconds, -1 = unset
    // Addition: the server picks the cipher by its own order (key
    // honorCipherOrder).
    bool honorCipherOrder = true;

    // One-line debug form: "{name=value, ...}".
    std::string toString() const;
};

class SslClientContextOptions : public SslContextOptions {
public:
    SslClientContextOptions() = default;
    SslClientContextOptions(const SslClientContextOptions&) = default;
    SslClientContextOptions& operator=(const SslClientContextOptions&) = default;
    SslClientContextOptions(SslClientContextOptions&& other) noexcept;
    SslClientContextOptions& operator=(SslClientContextOptions&& other) noexcept;
    ~SslClientContextOptions() override;

    bool shouldVerifyServerCert = false;
    bool shouldVerifyServerName = false;
    std::string sslClientSessionPath;  // directory of the on-disk client session cache
    bool useSslClientSessionCache = false;

    // One-line debug form: "{name=value, ...}".
    std::string toString() const;
};

// "SSL2,SSL3,TLS1.0,TLS1.1,TLS1.2,TLS1.3" restricted to the set bits.
std::string sslVersionsToString(std::uint32_t versions);
// "false", "true", "legacy", else "unknown value (N) for SslContextOptions::SSLConnection".
std::string toString(SslContextOptions::SSLConnection value);
// "none", "crl", else "unknown value (N)".
std::string toString(SslContextOptions::CertStatusValidationMethod value);

std::ostream& operator<<(std::ostream& out, const SslServerContextOptions& options);
std::ostream& operator<<(std::ostream& out, const SslClientContextOptions& options);

}  // namespace morvex
