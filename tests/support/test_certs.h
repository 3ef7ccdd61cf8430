// Test certificates made at run time with the OpenSSL API: keys,
// certificates (self-signed or issued), revocation lists and
// Diffie-Hellman parameters, held in memory as PEM text (write them with
// TempDir::file of support/process.h).
//
//   TempDir dir;
//   TestCert ca = TestCert::create(CertSpec().cn("Test CA").asCa());
//   TestCert leaf = TestCert::create(CertSpec().cn("server.test").dns({"server.test"}).serverAuth(), &ca);
//   std::string caFile = dir.file("ca.pem", ca.certPem());
//   std::string proxyFile = dir.file("proxy.pem", leaf.certPem() + leaf.keyPem("secret"));
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace morvex::test {

struct CertSpec {
    enum class KeyType { Rsa2048, EcP256 };

    std::string commonName = "localhost";
    std::vector<std::string> dnsNames;          // subjectAltName DNS entries; none: no extension
    bool ca = false;                            // basicConstraints CA:TRUE with keyCertSign and cRLSign
    std::vector<std::string> extendedKeyUsage;  // short names: "serverAuth", "clientAuth"; none: no extension
    long serial = 1;
    long notBeforeOffsetSeconds = -3600;  // relative to now
    long notAfterOffsetSeconds = 30L * 86400;
    KeyType keyType = KeyType::EcP256;
    bool v1 = false;  // version 1 certificate without extensions

    // Chainable setters: CertSpec().cn("a.test").dns({"a.test"}).serverAuth().serialNo(7)
    CertSpec& cn(std::string name) {
        commonName = std::move(name);
        return *this;
    }
    CertSpec& dns(std::vector<std::string> names) {
        dnsNames = std::move(names);
        return *this;
    }
    CertSpec& asCa() {
        ca = true;
        return *this;
    }
    CertSpec& serverAuth() {
        extendedKeyUsage.push_back("serverAuth");
        return *this;
    }
    CertSpec& clientAuth() {
        extendedKeyUsage.push_back("clientAuth");
        return *this;
    }
    CertSpec& serialNo(long s) {
        serial = s;
        return *this;
    }
    CertSpec& validity(long fromOffset, long toOffset) {
        notBeforeOffsetSeconds = fromOffset;
        notAfterOffsetSeconds = toOffset;
        return *this;
    }
    CertSpec& rsa() {
        keyType = KeyType::Rsa2048;
        return *this;
    }
    CertSpec& version1() {
        v1 = true;
        return *this;
    }
};

// A key and its certificate. Movable; frees both.
class TestCert {
public:
    // Issues a certificate as `want` describes, signed by issuer (self-signed when null).
    static TestCert create(const CertSpec& want, const TestCert* issuer = nullptr);

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

}  // namespace morvex::test
