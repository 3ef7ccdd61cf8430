#include "tls/x509_cert_check.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <memory>

#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("X509CertCheck");

std::string nameText(X509_NAME* name, const char* failureText) {
    if (name == nullptr) return "Unable to read X509 cert subject name";
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return failureText;
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len > 0 ? len : 0));
}

}  // namespace

std::vector<std::string> splitNameList(const std::string& list) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) out.emplace_back(list, start, comma - start);
        start = comma + 1;
    }
    return out;
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out += ',';
        out += n;
    }
    return out;
}

bool x509NameMatches(const std::string& certName, const std::string& allowedName) {
    if (certName == allowedName) return true;
    if (allowedName.empty() || allowedName[0] != '*' || certName.empty() || certName[0] == '*') return false;
    const std::size_t suffixLen = allowedName.size() - 1;
    if (certName.size() < suffixLen) return false;
    const std::size_t prefixLen = certName.size() - suffixLen;
    if (certName.compare(prefixLen, suffixLen, allowedName, 1, suffixLen) != 0) return false;
    return certName.find('.') >= prefixLen;  // the covered part is at most one label
}

std::string x509SubjectText(X509* cert) {
    return nameText(cert ? X509_get_subject_name(cert) : nullptr,
                    "Unable to format X509 cert subject name to RFC2253.");
}

std::string x509IssuerText(X509* cert) {
    return nameText(cert ? X509_get_issuer_name(cert) : nullptr, "Unable to format X509 cert subject name to RFC2253.");
}

std::vector<std::string> x509DnsAltNames(X509* cert) {
    std::vector<std::string> out;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) return out;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
        if (gn->type != GEN_DNS) continue;
        const ASN1_IA5STRING* s = gn->d.dNSName;
        out.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<std::size_t>(ASN1_STRING_length(s)));
        s_log.debug("Found altName = %s", out.back().c_str());
    }
    GENERAL_NAMES_free(names);
    return out;
}

bool X509CommonNameCheck::check(X509* cert) const {
    if (_allowed.empty()) return true;
    std::string cn;
    X509_NAME* subject = X509_get_subject_name(cert);
    int idx = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (idx >= 0) {
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx));
        unsigned char* utf8 = nullptr;
        int len = ASN1_STRING_to_UTF8(&utf8, data);
        if (len > 0) cn.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
        OPENSSL_free(utf8);
    }
    for (const auto& allowed : _allowed) {
        if (!cn.empty() && strcasecmp(cn.c_str(), allowed.c_str()) == 0) return true;
    }
    for (const auto& allowed : _allowed) {
        if (!cn.empty() && x509NameMatches(cn, allowed)) return true;
    }
    s_log.error("X509 certificate (%s) common name (%s) did not match any allowed names (%s)",
                x509SubjectText(cert).c_str(), cn.c_str(), joinNames(_allowed).c_str());
    return false;
}

bool X509AltNamesCheck::check(X509* cert) const {
    if (_allowed.empty()) return true;
    const std::vector<std::string> names = x509DnsAltNames(cert);
    for (const auto& name : names) {
        for (const auto& allowed : _allowed) {
            if (x509NameMatches(name, allowed)) return true;
        }
    }
    s_log.error("X509 certificate (%s) alternate name (%s) did not match any allowed names (%s)",
                x509SubjectText(cert).c_str(), joinNames(names).c_str(), joinNames(_allowed).c_str());
    return false;
}

bool X509VersionCheck::check(X509* cert) const {
    const long version = X509_get_version(cert) + 1;  // the library counts from 0
    if (version >= _minimum) return true;
    s_log.error("X509 certificate (%s) version (v%ld) is not the minimum required (v%ld)",
                x509SubjectText(cert).c_str(), version, _minimum);
    return false;
}

bool X509ECParamCheck::check(X509* cert) const {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return true;
    char curve[80];
    size_t len = 0;
    if (EVP_PKEY_get_utf8_string_param(key, "group", curve, sizeof curve, &len) == 1 && len > 0) return true;
    s_log.error("X509 certificate (%s) does not contain a named curve.", x509SubjectText(cert).c_str());
    return false;
}

std::string X509CertificateAuthorityCheck::caKindName(int value) {
    switch (value) {
        case 0:
            return "X509_CA_none";
        case 1:
            return "X509_CA_V3_basicConstraints";
        case 3:
            return "X509_CA_V1_selfSigned";
        case 4:
            return "X509_CA_keyUsage_keyCertSign";
        case 5:
            return "X509_CA_Netscape_Certificate_Type";
        default:
            return "X509_CA_unknownValue(" + std::to_string(value) + ")";
    }
}

bool X509CertificateAuthorityCheck::check(X509* cert) const {
    const int kind = X509_check_ca(cert);
    if (kind == 1) return true;
    s_log.error(
        "X509 certificate (%s) is not a valid Certificate Authority (CA) certificate under Common Criteria: "
        "required=%s; actual=%s",
        x509SubjectText(cert).c_str(), caKindName(1).c_str(), caKindName(kind).c_str());
    return false;
}

bool X509ExtendedKeyUsageCheck::check(X509* cert) const {
    auto* usages = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
    bool found = false;
    if (usages != nullptr) {
        for (int i = 0; i < sk_ASN1_OBJECT_num(usages) && !found; ++i) {
            const int nid = OBJ_obj2nid(sk_ASN1_OBJECT_value(usages, i));
            const char* longName = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
            found = longName != nullptr && _usage == longName;
        }
        EXTENDED_KEY_USAGE_free(usages);
    }
    if (found) return true;
    s_log.error("X509 certificate (%s) does not have the extendedKeyUsage extension having the \"%s\" usage",
                x509SubjectText(cert).c_str(), _usage.c_str());
    return false;
}

}  // namespace morvex
