// Revocation checking: the store of revocation lists (CRLs) built from the
// configured CRL path, and the checks of one certificate against the list of
// its issuer.
#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

#include "tls/x509_cert_check.h"

namespace morvex {

// Revocation lists keyed by issuer name. Read-only once loaded; shared by
// every verifying thread.
class X509RevocationStore {
public:
    X509RevocationStore() = default;
    ~X509RevocationStore();
    X509RevocationStore(const X509RevocationStore&) = delete;
    X509RevocationStore& operator=(const X509RevocationStore&) = delete;

    // Adds the CRL file at path, or every regular file of the directory at
    // path. Logs per file; returns false when nothing usable was found or a
    // file failed to load.
    bool load(const std::string& path);
    bool addFile(const std::string& path);

    // The list issued by the given name (not owned), or null.
    X509_CRL* findByIssuer(X509_NAME* issuer) const;
    std::size_t size() const noexcept { return _crls.size(); }

private:
    std::vector<X509_CRL*> _crls;
};

// One aspect of a CRL check; code() is the library verification error that
// a failure reports.
class X509CRLSignatureCheck : public X509CertCheck {
public:
    X509CRLSignatureCheck(X509_CRL* crl, X509* issuer) : _crl(crl), _issuer(issuer) {}
    bool check(X509* cert) const override;

private:
    X509_CRL* _crl;
    X509* _issuer;
};

class X509CRLNextUpdateCheck : public X509CertCheck {
public:
    explicit X509CRLNextUpdateCheck(X509_CRL* crl) : _crl(crl) {}
    bool check(X509* cert) const override;

private:
    X509_CRL* _crl;
};

// An expired list fails the certificate: it may not name what has been
// revoked since. (The store never loads a list that is already expired.)
class X509CRLExpiryCheck : public X509CertCheck {
public:
    explicit X509CRLExpiryCheck(X509_CRL* crl) : _crl(crl) {}
    bool check(X509* cert) const override;

private:
    X509_CRL* _crl;
};

// "<decimal> (0x<HEX>)" of a certificate serial of any length.
std::string serialText(const ASN1_INTEGER* serial);

class X509CRLRevocationCheck : public X509CertCheck {
public:
    explicit X509CRLRevocationCheck(X509_CRL* crl) : _crl(crl) {}
    bool check(X509* cert) const override;

private:
    X509_CRL* _crl;
};

// Runs the four checks in order with the issuer's list from the store.
// A certificate whose issuer has no list passes (hadList() then is false).
class X509CRLCheck : public X509CertCheck {
public:
    X509CRLCheck(const X509RevocationStore& store, X509* issuer) : _store(store), _issuer(issuer) {}
    bool check(X509* cert) const override;
    // The verification error of the last failing check (0 when it passed).
    int errorCode() const noexcept { return _errorCode; }
    // Whether the last check found a list for the certificate's issuer.
    bool hadList() const noexcept { return _hadList; }

private:
    const X509RevocationStore& _store;
    X509* _issuer;
    mutable int _errorCode = 0;
    mutable bool _hadList = false;
};

}  // namespace morvex
