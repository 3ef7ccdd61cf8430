// Test certificates made at run time with the OpenSSL API: keys,
// certificates (self-signed or issued), revocation lists and
// Diffie-Hellman parameters, held in memory and written to a temporary
// directory as PEM files.
//
//   TempDir dir;
//   TestCert ca = TestCert::create({.commonName = "Test CA", .ca = true});
//   TestCert leaf = TestCert::create({.commonName = "server.test", .dnsNames = {"server.test"},
//                                     .extendedKeyUsage = {"serverAuth"}}, &ca);
//   std::string caFile = dir.write("ca.pem", ca.certPem());
//   std::string proxyFile = dir.write("proxy.pem", leaf.certPem() + leaf.keyPem("secret"));
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace morvex::test {

struct CertSpec {
    std::string commonName = "localhost";
    std::vector<std::string> dnsNames;           // subjectAltName DNS entries; none: no extension
    bool ca = false;                             // basicConstraints CA:TRUE with keyCertSign and cRLSign
    std::vector<std::string> extendedKeyUsage;   // short names: "serverAuth", "clientAuth"; none: no extension
    long serial = 1;
    long notBeforeOffsetSeconds = -3600;         // relative to now
    long notAfterOffsetSeconds = 30L * 86400;
    enum class KeyType { Rsa2048, EcP256 } keyType = KeyType::EcP256;
    bool v1 = false;                             // version 1 certificate without extensions
};

// A key and its certificate. Movable; frees both.
class TestCert {
public:
    // Issues a certificate for spec, signed by issuer (self-signed when null).
    static TestCert create(const CertSpec& spec, const TestCert* issuer = nullptr);

    TestCert(TestCert&&) noexcept = default;
    TestCert& operator=(TestCert&&) noexcept = default;

    X509* cert() const noexcept { return _cert.get(); }
    EVP_PKEY* key() const noexcept { return _key.get(); }

    std::string certPem() const;
    // The private key in PEM; encrypted with AES-256-CBC when a pass phrase is given.
    std::string keyPem(const std::string& passPhrase = "") const;

private:
    TestCert() = default;
    struct X509Free {
        void operator()(X509* x) const { X509_free(x); }
    };
    struct KeyFree {
        void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    };
    std::unique_ptr<X509, X509Free> _cert;
    std::unique_ptr<EVP_PKEY, KeyFree> _key;
};

// A PEM revocation list by issuer listing the serials, with lastUpdate and
// nextUpdate relative to now.
std::string makeCrlPem(const TestCert& issuer, const std::vector<long>& revokedSerials,
                       long lastUpdateOffsetSeconds = -3600, long nextUpdateOffsetSeconds = 86400);

// PEM Diffie-Hellman parameters with a well-known prime of 1024, 2048 or
// 3072 bits (no generation: instant).
std::string makeDhParamsPem(int bits);

// A fresh directory under the system temp directory, removed with its
// contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const noexcept { return _path; }
    // Writes contents to path()/name and returns the full path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string _path;
};

}  // namespace morvex::test
