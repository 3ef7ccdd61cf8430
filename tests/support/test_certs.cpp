#include "support/test_certs.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace morvex::test {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate generation failed: ") + what);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(len > 0 ? len : 0));
    BIO_free(bio);
    return out;
}

EVP_PKEY* makeKey(CertSpec::KeyType type) {
    EVP_PKEY* key = type == CertSpec::KeyType::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
    check(key != nullptr, "key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

std::string joined(const std::vector<std::string>& items, const char* prefix) {
    std::string out;
    for (const auto& i : items) {
        if (!out.empty()) out += ',';
        out += prefix + i;
    }
    return out;
}

}  // namespace

TestCert TestCert::create(const CertSpec& want, const TestCert* issuer) {
    TestCert tc;
    tc._key.reset(makeKey(want.keyType));
    tc._cert.reset(X509_new());
    X509* cert = tc._cert.get();
    X509_set_version(cert, want.v1 ? X509_VERSION_1 : X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), want.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), want.notBeforeOffsetSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert), want.notAfterOffsetSeconds);
    X509_set_pubkey(cert, tc._key.get());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Morvex Test"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(want.commonName.c_str()), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
    if (!want.v1) {
        if (want.ca) {
            addExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
            addExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
        } else {
            addExtension(cert, issuerCert, NID_basic_constraints, "CA:FALSE");
        }
        addExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
        if (issuer) addExtension(cert, issuerCert, NID_authority_key_identifier, "keyid:always");
        if (!want.dnsNames.empty()) addExtension(cert, issuerCert, NID_subject_alt_name, joined(want.dnsNames, "DNS:"));
        if (!want.extendedKeyUsage.empty()) {
            addExtension(cert, issuerCert, NID_ext_key_usage, joined(want.extendedKeyUsage, ""));
        }
    }
    EVP_PKEY* signer = issuer ? issuer->key() : tc._key.get();
    check(X509_sign(cert, signer, EVP_sha256()) > 0, "sign");
    return tc;
}

std::string TestCert::certPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, _cert.get());
    return bioText(bio);
}

std::string TestCert::keyPem(const std::string& passPhrase) const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (passPhrase.empty()) {
        PEM_write_bio_PrivateKey(bio, _key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        PEM_write_bio_PrivateKey(bio, _key.get(), EVP_aes_256_cbc(),
                                 reinterpret_cast<const unsigned char*>(passPhrase.data()),
                                 static_cast<int>(passPhrase.size()), nullptr, nullptr);
    }
    return bioText(bio);
}

std::string makeCrlPem(const TestCert& issuer, const std::vector<long>& revokedSerials, long lastUpdateOffsetSeconds,
                       long nextUpdateOffsetSeconds) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer.cert()));
    ASN1_TIME* last = X509_gmtime_adj(nullptr, lastUpdateOffsetSeconds);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, nextUpdateOffsetSeconds);
    X509_CRL_set1_lastUpdate(crl, last);
    X509_CRL_set1_nextUpdate(crl, next);
    for (long serial : revokedSerials) {
        X509_REVOKED* r = X509_REVOKED_new();
        ASN1_INTEGER* s = ASN1_INTEGER_new();
        ASN1_INTEGER_set(s, serial);
        X509_REVOKED_set_serialNumber(r, s);
        X509_REVOKED_set_revocationDate(r, last);
        X509_CRL_add0_revoked(crl, r);
        ASN1_INTEGER_free(s);
    }
    X509_CRL_sort(crl);
    check(X509_CRL_sign(crl, issuer.key(), EVP_sha256()) > 0, "crl sign");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_CRL(bio, crl);
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    X509_CRL_free(crl);
    return bioText(bio);
}

std::string makeDhParamsPem(int bits) {
    BIGNUM* p = bits == 1024   ? BN_get_rfc2409_prime_1024(nullptr)
                : bits == 2048 ? BN_get_rfc3526_prime_2048(nullptr)
                               : BN_get_rfc3526_prime_3072(nullptr);
    BIGNUM* g = BN_new();
    BN_set_word(g, 2);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* pkey = nullptr;
    check(
        ctx && EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEY_PARAMETERS, params) == 1,
        "dh params");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_Parameters(bio, pkey);
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(p);
    BN_free(g);
    return bioText(bio);
}

}  // namespace morvex::test
