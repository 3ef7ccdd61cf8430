// The certificate checks run when a context verifies its peer: the
// verification hooks (per certificate of the chain, during the handshake)
// and the name check (after the handshake).
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>

namespace morvex {

class X509RevocationStore;

class CertificateChecks {
public:
    // Hook for client contexts: judges server certificates ("Server" in the
    // messages). Host, e-mail and IP mismatches (62, 63, 64) are tolerated
    // when the context's verify-server-name flag is off.
    static int verifyServerCertificate(int preverifyOk, X509_STORE_CTX* storeCtx);
    // Hook for server contexts: judges client certificates ("Client").
    static int verifyClientCertificate(int preverifyOk, X509_STORE_CTX* storeCtx);

    // The product's checks for one certificate at a depth of the chain;
    // serverCert is true when judging a server's certificate. Returns 0 or
    // the library verification error to report.
    static int productChecks(X509* cert, int depth, bool serverCert, X509* issuer);

    // The name check after the handshake; true when the peer passes.
    static bool checkNames(X509* peer, const std::string& commonNameToCheck, const std::string& altNameToCheck);

    // Revocation checking (certificate status validation method "crl").
    static void setCrlValidation(bool on) noexcept;
    static bool crlValidation() noexcept;
    // Builds the revocation store from a CRL file or directory and installs
    // it; logs the store's failure lines and returns false on failure.
    static bool loadRevocationStore(const std::string& crlPath);
    static void setRevocationStore(std::shared_ptr<const X509RevocationStore> store);
    static std::shared_ptr<const X509RevocationStore> revocationStore();
};

}  // namespace morvex
