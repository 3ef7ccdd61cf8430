#include "tls/cert_check.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "tls/client_session_store.h"
#include "tls/ssl_library.h"
#include "tls/x509_cert_check.h"
#include "tls/x509_crl_check.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("X509CertCheck");

std::atomic<bool> s_crlValidation{false};

struct StoreHolder {
    std::mutex lock;
    std::shared_ptr<const X509RevocationStore> store;
};

StoreHolder& storeHolder() {
    static StoreHolder* holder = new StoreHolder;  // never destroyed
    return *holder;
}

// Revocation was asked for but the issuer has no list: the certificate is
// accepted, and that is said once per issuer.
void warnUncheckedIssuer(X509* cert) {
    static std::mutex* lock = new std::mutex;  // never destroyed, like the set
    static auto* warned = new std::set<std::string>;
    const std::string issuer = x509IssuerText(cert);
    {
        std::lock_guard<std::mutex> guard(*lock);
        if (!warned->insert(issuer).second) return;
    }
    s_log.warn(
        "X509 certificate (%s) accepted without a revocation check: no CRL for its issuer (%s) in the revocation "
        "store; further certificates of this issuer are accepted the same way",
        x509SubjectText(cert).c_str(), issuer.c_str());
}

bool isNameMismatch(int code) {
    return code == X509_V_ERR_HOSTNAME_MISMATCH || code == X509_V_ERR_EMAIL_MISMATCH ||
           code == X509_V_ERR_IP_ADDRESS_MISMATCH;
}

// The hook body. clientContext: the hook runs in a client context and
// judges a server certificate.
int verifyCertificate(int preverifyOk, X509_STORE_CTX* storeCtx, bool clientContext) {
    const char* side = clientContext ? "Server" : "Client";
    X509* cert = X509_STORE_CTX_get_current_cert(storeCtx);
    const int depth = X509_STORE_CTX_get_error_depth(storeCtx);
    const std::string subject = x509SubjectText(cert);

    bool verifyServerName = true;
    if (clientContext) {
        auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(storeCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
        if (ssl == nullptr) {
            s_log.error("X509 certificate failed validation; error=Failed to extract ssl from X509_STORE_CTX");
            return 0;
        }
        SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
        if (ctx == nullptr) {
            s_log.error("X509 certificate failed validation; error=Failed to extract ssl_ctx from ssl");
            return 0;
        }
        const auto* flag = static_cast<const bool*>(SSL_CTX_get_ex_data(ctx, SslLibrary::ctxVerifyNameIndex()));
        verifyServerName = flag != nullptr && *flag;
    }

    if (!preverifyOk) {
        const int code = X509_STORE_CTX_get_error(storeCtx);
        const char* reason = X509_verify_cert_error_string(code);
        if (clientContext && !verifyServerName && isNameMismatch(code)) {
            s_log.warn("%s  X509 certificate (%s) failed validation; error=%d, reason=\"%s\"", side, subject.c_str(),
                       code, reason);
            return 1;
        }
        if (clientContext && !verifyServerName) {
            s_log.error("%s  X509 certificate (%s) failed validation; error=%d, reason=\"%s\"", side, subject.c_str(),
                        code, reason);
        } else {
            s_log.error("%s X509 certificate (%s) failed validation; error=%d, reason=\"%s\"", side, subject.c_str(),
                        code, reason);
        }
        return 0;
    }

    s_log.debug("checking X509 certificate (%s) at depth=%d", subject.c_str(), depth);
    X509* issuer = nullptr;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(storeCtx);
    if (chain != nullptr && depth + 1 < sk_X509_num(chain)) {
        issuer = sk_X509_value(chain, depth + 1);
    } else if (chain != nullptr && depth < sk_X509_num(chain)) {
        issuer = sk_X509_value(chain, depth);  // the top of the chain signs itself
    }
    const int code = CertificateChecks::productChecks(cert, depth, clientContext, issuer);
    if (code != 0) {
        X509_STORE_CTX_set_error(storeCtx, code);
        return 0;
    }
    return 1;
}

}  // namespace

int CertificateChecks::verifyServerCertificate(int preverifyOk, X509_STORE_CTX* storeCtx) {
    return verifyCertificate(preverifyOk, storeCtx, true);
}

int CertificateChecks::verifyClientCertificate(int preverifyOk, X509_STORE_CTX* storeCtx) {
    return verifyCertificate(preverifyOk, storeCtx, false);
}

int CertificateChecks::productChecks(X509* cert, int depth, bool serverCert, X509* issuer) {
    const bool commonCriteria = SslLibrary::commonCriteriaMode();
    if (commonCriteria) {
        if (depth == 0) {
            X509ExtendedKeyUsageCheck usage(serverCert ? X509ExtendedKeyUsageCheck::kServerAuth
                                                       : X509ExtendedKeyUsageCheck::kClientAuth);
            if (!usage.check(cert)) return X509_V_ERR_INVALID_PURPOSE;
        } else if (!X509CertificateAuthorityCheck().check(cert)) {
            return X509_V_ERR_INVALID_CA;
        }
        if (!X509VersionCheck(3).check(cert) || !X509ECParamCheck().check(cert)) {
            return X509_V_ERR_APPLICATION_VERIFICATION;
        }
    }
    if (commonCriteria || crlValidation()) {
        std::shared_ptr<const X509RevocationStore> store = revocationStore();
        bool hadList = false;
        if (store) {
            X509CRLCheck crl(*store, issuer);
            if (!crl.check(cert)) return crl.errorCode();
            hadList = crl.hadList();
        }
        if (!hadList) warnUncheckedIssuer(cert);
    }
    return 0;
}

bool CertificateChecks::checkNames(X509* peer, const std::string& commonNameToCheck,
                                   const std::string& altNameToCheck) {
    X509CommonNameCheck cnCheck(commonNameToCheck);
    X509AltNamesCheck altCheck(altNameToCheck);
    if (SslLibrary::commonCriteriaMode()) {
        s_log.debug("Name check in certificates in common criteria mode or when tls hostname verification is enabled.");
        if (!altCheck.empty()) return altCheck.check(peer);
        return cnCheck.check(peer);
    }
    if (cnCheck.empty() && altCheck.empty()) return true;
    if (!cnCheck.empty() && cnCheck.check(peer)) return true;
    if (!altCheck.empty()) return altCheck.check(peer);
    return false;
}

void CertificateChecks::setCrlValidation(bool on) noexcept {
    // Sessions verified under the other rule must not resume under this one.
    if (s_crlValidation.exchange(on, std::memory_order_relaxed) != on) ClientSessionStore::dropAllTrust();
}
bool CertificateChecks::crlValidation() noexcept {
    return s_crlValidation.load(std::memory_order_relaxed);
}

bool CertificateChecks::loadRevocationStore(const std::string& crlPath) {
    auto store = std::make_shared<X509RevocationStore>();
    bool ok = false;
    try {
        ok = store->load(crlPath);
        if (!ok) s_log.error("Failed to add CRL files in crlPath=%s to initialize the CRL store.", crlPath.c_str());
    } catch (const std::exception&) {
        s_log.error("Failed to initialize the CRL store.");
        return false;
    }
    setRevocationStore(std::move(store));
    return ok;
}

void CertificateChecks::setRevocationStore(std::shared_ptr<const X509RevocationStore> store) {
    {
        std::lock_guard<std::mutex> guard(storeHolder().lock);
        storeHolder().store = std::move(store);
    }
    // Stored outbound sessions were verified against the lists replaced
    // here; from now on they resume nowhere.
    ClientSessionStore::dropAllTrust();
}

std::shared_ptr<const X509RevocationStore> CertificateChecks::revocationStore() {
    std::lock_guard<std::mutex> guard(storeHolder().lock);
    return storeHolder().store;
}

}  // namespace morvex
