// The product's per-certificate checks. Each check is a small object with
// one operation, check(certificate) -> bool; a failing check logs its own
// error line (the certificate's subject in RFC 2253 form).
#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace morvex {

class X509CertCheck {
public:
    virtual ~X509CertCheck() = default;
    virtual bool check(X509* cert) const = 0;
};

// Splits a comma-separated name list, dropping empty elements.
std::vector<std::string> splitNameList(const std::string& list);
// Joins names with ",".
std::string joinNames(const std::vector<std::string>& names);

// True when the certificate name matches the allowed name: byte equality,
// or a leading "*" in the allowed name covering exactly one label of a
// certificate name that has no "*" of its own.
bool x509NameMatches(const std::string& certName, const std::string& allowedName);

// The subject in RFC 2253 form, or the fixed failure texts.
std::string x509SubjectText(X509* cert);
std::string x509IssuerText(X509* cert);

// The DNS entries of the subjectAltName extension.
std::vector<std::string> x509DnsAltNames(X509* cert);

class X509CommonNameCheck : public X509CertCheck {
public:
    explicit X509CommonNameCheck(const std::string& allowedList) : _allowed(splitNameList(allowedList)) {}
    bool check(X509* cert) const override;
    bool empty() const noexcept { return _allowed.empty(); }

private:
    std::vector<std::string> _allowed;
};

class X509AltNamesCheck : public X509CertCheck {
public:
    explicit X509AltNamesCheck(const std::string& allowedList) : _allowed(splitNameList(allowedList)) {}
    bool check(X509* cert) const override;
    bool empty() const noexcept { return _allowed.empty(); }

private:
    std::vector<std::string> _allowed;
};

class X509VersionCheck : public X509CertCheck {
public:
    explicit X509VersionCheck(long minimumVersion = 3) : _minimum(minimumVersion) {}
    bool check(X509* cert) const override;

private:
    long _minimum;  // as printed: v1 = 1, v3 = 3
};

class X509ECParamCheck : public X509CertCheck {
public:
    bool check(X509* cert) const override;
};

class X509CertificateAuthorityCheck : public X509CertCheck {
public:
    bool check(X509* cert) const override;
    // "X509_CA_none", "X509_CA_V3_basicConstraints", ... for X509_check_ca's result.
    static std::string caKindName(int value);
};

class X509ExtendedKeyUsageCheck : public X509CertCheck {
public:
    static constexpr const char* kServerAuth = "TLS Web Server Authentication";
    static constexpr const char* kClientAuth = "TLS Web Client Authentication";
    explicit X509ExtendedKeyUsageCheck(std::string usage) : _usage(std::move(usage)) {}
    bool check(X509* cert) const override;

private:
    std::string _usage;  // the usage's long name
};

}  // namespace morvex
