#include "tls/x509_crl_check.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "util/logger.h"
#include "util/settings_file.h"

namespace morvex {

namespace {

Logger s_log("X509CertCheck");

std::string issuerOf(X509_CRL* crl) {
    X509_NAME* name = X509_CRL_get_issuer(crl);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (name == nullptr || !bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) {
        return "Unable to format X509 cert subject name to RFC2253.";
    }
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len > 0 ? len : 0));
}

bool crlExpired(X509_CRL* crl) {
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    return next != nullptr && X509_cmp_current_time(next) < 0;
}

}  // namespace

X509RevocationStore::~X509RevocationStore() {
    for (X509_CRL* crl : _crls) X509_CRL_free(crl);
}

bool X509RevocationStore::addFile(const std::string& path) {
    // A regular file of bounded size only: a FIFO would hang the start, a
    // device fill memory.
    const SettingsFileText read = readSettingsFile(path, kMaxCrlFileBytes);
    if (read.status == SettingsFileText::Status::OpenFailed && read.error == ENOENT) {
        s_log.error("The CRL file(%s) does not exist.", path.c_str());
        return false;
    }
    if (!read.ok()) {
        s_log.error("Failed to add (%s) to the revocation store.", path.c_str());
        s_log.error("Cannot read the CRL file(%s): %s", path.c_str(), read.reason().c_str());
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(read.text.data(), static_cast<int>(read.text.size())),
                                                  &BIO_free);
    X509_CRL* crl = bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (crl == nullptr && bio) {
        // Not PEM: try DER.
        BIO_reset(bio.get());
        crl = d2i_X509_CRL_bio(bio.get(), nullptr);
    }
    ERR_clear_error();
    if (crl == nullptr) {
        s_log.error("Failed to add (%s) to the revocation store.", path.c_str());
        return false;
    }
    if (crlExpired(crl)) {
        s_log.error("Did not add an expired CRL (%s) to the revocation store.", path.c_str());
        X509_CRL_free(crl);
        return true;  // readable, just not used
    }
    _crls.push_back(crl);
    s_log.info("Added the CRL file(%s) to the revocation store.", path.c_str());
    return true;
}

bool X509RevocationStore::load(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        if (!std::filesystem::exists(path, ec)) {
            s_log.error("The CRL directory(%s) does not exist.", path.c_str());
            return false;
        }
        return addFile(path);
    }
    bool ok = true;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        if (!entry.is_regular_file(ec)) continue;
        const std::size_t before = _crls.size();
        ok = addFile(entry.path().string()) && ok;
        count += _crls.size() - before;
    }
    s_log.info("Added %zu CRL files from the CRL directory(%s) to the revocation store.", count, path.c_str());
    return ok && !ec;
}

X509_CRL* X509RevocationStore::findByIssuer(X509_NAME* issuer) const {
    if (issuer == nullptr) return nullptr;
    for (X509_CRL* crl : _crls) {
        if (X509_NAME_cmp(X509_CRL_get_issuer(crl), issuer) == 0) return crl;
    }
    return nullptr;
}

bool X509CRLSignatureCheck::check(X509*) const {
    EVP_PKEY* key = _issuer ? X509_get0_pubkey(_issuer) : nullptr;
    if (key != nullptr && X509_CRL_verify(_crl, key) == 1) return true;
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "no issuer key";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    s_log.error("The CRL issued by (%s) does not have a valid signature. Failed with error=%s", issuerOf(_crl).c_str(),
                key == nullptr || code != 0 ? text : "signature mismatch");
    return false;
}

bool X509CRLNextUpdateCheck::check(X509*) const {
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(_crl);
    if (next != nullptr && ASN1_TIME_check(next) == 1) return true;
    s_log.error("CRL issued by (%s) has invalid nextUpdate field.", issuerOf(_crl).c_str());
    return false;
}

bool X509CRLExpiryCheck::check(X509*) const {
    if (!crlExpired(_crl)) return true;
    s_log.error(
        "CRL issued by (%s) is expired. This is a major security risk as Morvex may accept any revoked "
        "certificates until CRL is updated.",
        issuerOf(_crl).c_str());
    return false;
}

std::string serialText(const ASN1_INTEGER* serial) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(ASN1_INTEGER_to_BN(serial, nullptr), &BN_free);
    if (!bn) return "? (0x?)";
    char* dec = BN_bn2dec(bn.get());
    char* hex = BN_bn2hex(bn.get());
    std::string text = std::string(dec ? dec : "?") + " (0x" + (hex ? hex : "?") + ")";
    OPENSSL_free(dec);
    OPENSSL_free(hex);
    return text;
}

bool X509CRLRevocationCheck::check(X509* cert) const {
    X509_REVOKED* revoked = nullptr;
    if (X509_CRL_get0_by_cert(_crl, &revoked, cert) != 1) return true;
    // Serials may be up to 20 bytes: printed from the big number, never
    // squeezed into a long.
    s_log.error("CRL issuer (\"%s\") has revoked the certificate with serial %s ", issuerOf(_crl).c_str(),
                serialText(X509_get0_serialNumber(cert)).c_str());
    return false;
}

bool X509CRLCheck::check(X509* cert) const {
    _errorCode = 0;
    X509_CRL* crl = _store.findByIssuer(X509_get_issuer_name(cert));
    _hadList = crl != nullptr;
    if (crl == nullptr) return true;
    if (!X509CRLSignatureCheck(crl, _issuer).check(cert)) {
        _errorCode = X509_V_ERR_CRL_SIGNATURE_FAILURE;
    } else if (!X509CRLNextUpdateCheck(crl).check(cert)) {
        _errorCode = X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD;
    } else if (!X509CRLExpiryCheck(crl).check(cert)) {
        _errorCode = X509_V_ERR_CRL_HAS_EXPIRED;
    } else if (!X509CRLRevocationCheck(crl).check(cert)) {
        _errorCode = X509_V_ERR_CERT_REVOKED;
    }
    return _errorCode == 0;
}

}  // namespace morvex
