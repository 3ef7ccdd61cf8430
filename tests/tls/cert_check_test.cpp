#include "tls/cert_check.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <thread>

#include "ssl_test_helpers.h"
#include "tls/x509_cert_check.h"
#include "tls/x509_crl_check.h"

namespace morvex {
namespace {

using test::CertSpec;
using test::LoopbackTlsPair;
using test::StderrCapture;
using test::TestCert;

// Restores the process-wide switches a test changes.
class CertCheckTest : public ::testing::Test {
protected:
    void TearDown() override {
        SslLibrary::setCommonCriteriaMode(false);
        CertificateChecks::setCrlValidation(false);
        CertificateChecks::setRevocationStore(nullptr);
    }
};

TEST_F(CertCheckTest, NameMatchingRules) {
    // One label under a wildcard, never two; a wildcard certificate name
    // only matches itself.
    EXPECT_TRUE(x509NameMatches("a.example.com", "*.example.com"));
    EXPECT_FALSE(x509NameMatches("a.b.example.com", "*.example.com"));
    EXPECT_FALSE(x509NameMatches("example.com", "*.example.com"));
    EXPECT_TRUE(x509NameMatches("*.example.com", "*.example.com"));
    EXPECT_FALSE(x509NameMatches("*.example.com", "a.example.com"));
    EXPECT_FALSE(x509NameMatches("A.example.com", "a.example.com"));
    EXPECT_TRUE(x509NameMatches("xa.example.com", "*a.example.com"));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), splitNameList(",a,,b,"));

    StderrCapture log;
    TestCert upper = TestCert::create(CertSpec().cn("server.test").dns({"a.example.com", "*.wild.test"}));
    EXPECT_TRUE(X509CommonNameCheck("other.test,SERVER.Test").check(upper.cert()));
    EXPECT_FALSE(X509CommonNameCheck("other.test").check(upper.cert()));
    EXPECT_TRUE(
        log.contains("ERROR - X509 certificate (CN=server.test,O=Morvex Test) common name (server.test) did "
                     "not match any allowed names (other.test)"));
    EXPECT_TRUE(X509AltNamesCheck("*.example.com").check(upper.cert()));
    EXPECT_TRUE(X509AltNamesCheck("*.wild.test").check(upper.cert()));
    EXPECT_FALSE(X509AltNamesCheck("x.wild.test,*.com").check(upper.cert()));
    EXPECT_TRUE(
        log.contains("alternate name (a.example.com,*.wild.test) did not match any allowed names "
                     "(x.wild.test,*.com)"));
    EXPECT_TRUE(X509AltNamesCheck("").check(upper.cert()));
}

TEST_F(CertCheckTest, NameCheckDecisionRules) {
    StderrCapture log;
    TestCert cert = TestCert::create(CertSpec().cn("cn.test").dns({"alt.test"}));
    X509* c = cert.cert();
    // Outside Common Criteria mode a common-name match is enough, else the
    // alternative names decide.
    EXPECT_TRUE(CertificateChecks::checkNames(c, "", ""));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "cn.test", "nomatch.test"));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "nomatch.test", "alt.test"));
    EXPECT_FALSE(CertificateChecks::checkNames(c, "nomatch.test", ""));
    EXPECT_FALSE(CertificateChecks::checkNames(c, "", "nomatch.test"));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "", "alt.test"));

    // In Common Criteria mode a non-empty alternative-name list alone decides.
    SslLibrary::setCommonCriteriaMode(true);
    EXPECT_FALSE(CertificateChecks::checkNames(c, "cn.test", "nomatch.test"));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "nomatch.test", "alt.test"));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "cn.test", ""));
    EXPECT_FALSE(CertificateChecks::checkNames(c, "nomatch.test", ""));
    EXPECT_TRUE(CertificateChecks::checkNames(c, "", ""));
}

TEST_F(CertCheckTest, PerCertificateChecks) {
    StderrCapture log;
    TestCert ca = TestCert::create(CertSpec().cn("Check CA").asCa());
    TestCert server = TestCert::create(CertSpec().cn("s.test").serverAuth(), &ca);
    TestCert plain = TestCert::create(CertSpec().cn("p.test"), &ca);
    TestCert v1 = TestCert::create(CertSpec().cn("old.test").version1(), &ca);
    TestCert rsa = TestCert::create(CertSpec().cn("rsa.test").rsa(), &ca);

    X509ExtendedKeyUsageCheck serverAuth(X509ExtendedKeyUsageCheck::kServerAuth);
    EXPECT_TRUE(serverAuth.check(server.cert()));
    EXPECT_FALSE(serverAuth.check(plain.cert()));
    EXPECT_FALSE(X509ExtendedKeyUsageCheck(X509ExtendedKeyUsageCheck::kClientAuth).check(server.cert()));
    EXPECT_TRUE(
        log.contains("X509 certificate (CN=p.test,O=Morvex Test) does not have the extendedKeyUsage "
                     "extension having the \"TLS Web Server Authentication\" usage"));

    EXPECT_TRUE(X509CertificateAuthorityCheck().check(ca.cert()));
    EXPECT_FALSE(X509CertificateAuthorityCheck().check(server.cert()));
    EXPECT_TRUE(
        log.contains("is not a valid Certificate Authority (CA) certificate under Common Criteria: "
                     "required=X509_CA_V3_basicConstraints; actual=X509_CA_none"));
    EXPECT_EQ("X509_CA_unknownValue(2)", X509CertificateAuthorityCheck::caKindName(2));

    EXPECT_TRUE(X509VersionCheck(3).check(server.cert()));
    EXPECT_FALSE(X509VersionCheck(3).check(v1.cert()));
    EXPECT_TRUE(
        log.contains("X509 certificate (CN=old.test,O=Morvex Test) version (v1) is not the minimum required "
                     "(v3)"));
    EXPECT_TRUE(X509ECParamCheck().check(server.cert()));  // named curve
    EXPECT_TRUE(X509ECParamCheck().check(rsa.cert()));     // not EC at all

    // The product checks only run in Common Criteria mode (or for CRLs).
    EXPECT_EQ(0, CertificateChecks::productChecks(plain.cert(), 0, true, ca.cert()));
    SslLibrary::setCommonCriteriaMode(true);
    EXPECT_EQ(X509_V_ERR_INVALID_PURPOSE, CertificateChecks::productChecks(plain.cert(), 0, true, ca.cert()));
    EXPECT_EQ(X509_V_ERR_INVALID_CA, CertificateChecks::productChecks(server.cert(), 1, true, ca.cert()));
    EXPECT_EQ(0, CertificateChecks::productChecks(ca.cert(), 1, true, ca.cert()));
}

TEST_F(CertCheckTest, RevocationStoreAndCrlChecks) {
    test::TempDir dir;
    StderrCapture log;
    TestCert ca = TestCert::create(CertSpec().cn("CRL CA").asCa());
    TestCert other = TestCert::create(CertSpec().cn("Other CA").asCa());
    TestCert revoked = TestCert::create(CertSpec().cn("revoked.test").serialNo(0x2a), &ca);
    TestCert good = TestCert::create(CertSpec().cn("good.test").serialNo(7), &ca);

    const std::string crlDir = dir.file("crls/valid.pem", test::makeCrlPem(ca, {0x2a, 99}));
    dir.file("crls/expired.pem", test::makeCrlPem(other, {7}, -7200, -3600));
    X509RevocationStore store;
    EXPECT_TRUE(store.load(dir.path() + "/crls"));
    EXPECT_EQ(1u, store.size());
    EXPECT_TRUE(
        log.contains("Did not add an expired CRL (" + dir.path() + "/crls/expired.pem) to the revocation store."));
    EXPECT_TRUE(log.contains("Added the CRL file(" + crlDir + ") to the revocation store."));
    EXPECT_TRUE(
        log.contains("Added 1 CRL files from the CRL directory(" + dir.path() + "/crls) to the revocation store."));

    X509CRLCheck check(store, ca.cert());
    EXPECT_TRUE(check.check(good.cert()));
    EXPECT_FALSE(check.check(revoked.cert()));
    EXPECT_EQ(X509_V_ERR_CERT_REVOKED, check.errorCode());
    EXPECT_TRUE(
        log.contains("CRL issuer (\"CN=CRL CA,O=Morvex Test\") has revoked the certificate with serial 42 "
                     "(0x2A)"));
    // A list that the issuer's key did not sign.
    X509CRLCheck wrongIssuer(store, other.cert());
    EXPECT_FALSE(wrongIssuer.check(good.cert()));
    EXPECT_EQ(X509_V_ERR_CRL_SIGNATURE_FAILURE, wrongIssuer.errorCode());
    EXPECT_TRUE(log.contains("The CRL issued by (CN=CRL CA,O=Morvex Test) does not have a valid signature."));
    // Certificates of an issuer without a list pass.
    EXPECT_TRUE(X509CRLCheck(store, other.cert()).check(TestCert::create(CertSpec(), &other).cert()));

    // A list that expired after it was loaded fails its issuer's certificates.
    X509RevocationStore stale;
    {
        // Loaded while still valid (nextUpdate in one second), then expired.
        ASSERT_TRUE(stale.addFile(dir.file("stale.pem", test::makeCrlPem(ca, {99}, -7200, 1))));
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    X509CRLCheck staleCheck(stale, ca.cert());
    EXPECT_FALSE(staleCheck.check(good.cert()));
    EXPECT_EQ(X509_V_ERR_CRL_HAS_EXPIRED, staleCheck.errorCode());
    EXPECT_TRUE(log.contains("ERROR - CRL issued by (CN=CRL CA,O=Morvex Test) is expired."));

    EXPECT_FALSE(CertificateChecks::loadRevocationStore(dir.path() + "/none"));
    EXPECT_TRUE(log.contains("The CRL directory(" + dir.path() + "/none) does not exist."));
    EXPECT_TRUE(
        log.contains("Failed to add CRL files in crlPath=" + dir.path() + "/none to initialize the CRL store."));
}

TEST_F(CertCheckTest, SerialsOfAnyLengthAndIssuersWithoutAList) {
    ASN1_INTEGER* big = ASN1_INTEGER_new();
    BIGNUM* bn = nullptr;
    BN_hex2bn(&bn, "0123456789ABCDEF0123456789ABCDEF01");  // 129 bits, beyond a long
    BN_to_ASN1_INTEGER(bn, big);
    EXPECT_EQ("387165715252267757836693082728079159041 (0x0123456789ABCDEF0123456789ABCDEF01)", serialText(big));
    ASN1_INTEGER_set(big, 0x2a);
    EXPECT_EQ("42 (0x2A)", serialText(big));
    BN_free(bn);
    ASN1_INTEGER_free(big);

    // Revocation asked for, no list for the issuer: accepted, said once per issuer.
    StderrCapture log;
    CertificateChecks::setCrlValidation(true);
    TestCert ca = TestCert::create(CertSpec().cn("Listless CA").asCa());
    TestCert a = TestCert::create(CertSpec().cn("a.test").serialNo(3), &ca);
    TestCert b = TestCert::create(CertSpec().cn("b.test").serialNo(4), &ca);
    EXPECT_EQ(0, CertificateChecks::productChecks(a.cert(), 0, true, ca.cert()));
    EXPECT_EQ(0, CertificateChecks::productChecks(b.cert(), 0, true, ca.cert()));
    auto store = std::make_shared<X509RevocationStore>();
    CertificateChecks::setRevocationStore(store);
    EXPECT_EQ(0, CertificateChecks::productChecks(b.cert(), 0, true, ca.cert()));
    EXPECT_EQ(1u, log.count("WARN - X509 certificate (CN=a.test,O=Morvex Test) accepted without a revocation check: "
                            "no CRL for its issuer (CN=Listless CA,O=Morvex Test) in the revocation store"));
    EXPECT_EQ(1u, log.count("accepted without a revocation check"));
}

// Handshakes where the verification hook takes part: a CA, an intermediate
// and leaves, served as chains by a server context.
class CertCheckHandshakeTest : public CertCheckTest {
protected:
    CertCheckHandshakeTest()
        : ca(TestCert::create(CertSpec().cn("Root CA").asCa().serialNo(1))),
          intermediate(TestCert::create(CertSpec().cn("Intermediate CA").asCa().serialNo(2), &ca)) {
        caFile = dir.file("ca.pem", ca.certPem());
    }

    // A server context presenting leaf + intermediate.
    void serveLeaf(const TestCert& leaf) {
        const std::string file = dir.file("leaf" + std::to_string(++files) + ".pem",
                                          leaf.certPem() + intermediate.certPem() + leaf.keyPem());
        serverCtx = std::make_unique<SslContext>();
        serverCtx->initServer(test::serverOptions(file));
    }

    std::unique_ptr<SslContext> verifyingClient(bool verifyName) {
        SslClientContextOptions o = test::clientOptions();
        o.shouldVerifyServerCert = true;
        o.shouldVerifyServerName = verifyName;
        o.caCertFile = caFile;
        auto ctx = std::make_unique<SslContext>();
        EXPECT_TRUE(ctx->initClient(o));
        return ctx;
    }

    test::TempDir dir;
    TestCert ca;
    TestCert intermediate;
    std::string caFile;
    std::unique_ptr<SslContext> serverCtx;
    int files = 0;
};

TEST_F(CertCheckHandshakeTest, ChainVerificationAndHostNames) {
    StderrCapture log;
    TestCert leaf =
        TestCert::create(CertSpec().cn("www.example.test").dns({"www.example.test"}).serverAuth(), &intermediate);
    serveLeaf(leaf);

    // The right host: verified, names checked after the handshake.
    auto strict = verifyingClient(true);
    {
        LoopbackTlsPair pair(*serverCtx, *strict, "www.example.test", "www.example.test");
        ASSERT_TRUE(pair.handshake());
        EXPECT_TRUE(pair.client.checkPeer("", "*.example.test"));
        EXPECT_FALSE(pair.client.checkPeer("", "*.test"));
    }
    // Another host with the name check on: the hook refuses the certificate.
    {
        LoopbackTlsPair pair(*serverCtx, *strict, "other.test", "other.test");
        EXPECT_FALSE(pair.handshake());
        EXPECT_EQ(X509_V_ERR_HOSTNAME_MISMATCH, SSL_get_verify_result(pair.client.handle()));
        EXPECT_TRUE(
            log.contains("ERROR - Server X509 certificate (CN=www.example.test,O=Morvex Test) failed "
                         "validation; error=62, reason=\"hostname mismatch\""));
    }
    // With the name check off the mismatch is tolerated and logged.
    auto lenient = verifyingClient(false);
    {
        LoopbackTlsPair pair(*serverCtx, *lenient, "other.test", "other.test");
        ASSERT_TRUE(pair.handshake());
        EXPECT_TRUE(
            log.contains("WARN - Server  X509 certificate (CN=www.example.test,O=Morvex Test) failed "
                         "validation; error=62, reason=\"hostname mismatch\""));
        EXPECT_TRUE(pair.client.checkPeer("", ""));
        EXPECT_TRUE(log.contains("WARN - Peer certificate validation error ignored, 62 hostname mismatch"));
    }
    // An untrusted chain fails even with the name check off.
    TestCert stranger = TestCert::create(CertSpec().cn("www.example.test").serverAuth());
    serveLeaf(stranger);
    {
        LoopbackTlsPair pair(*serverCtx, *lenient, "www.example.test");
        EXPECT_FALSE(pair.handshake());
        EXPECT_TRUE(
            log.contains("ERROR - Server  X509 certificate (CN=www.example.test,O=Morvex Test) failed "
                         "validation; error=18"));
    }
}

TEST_F(CertCheckHandshakeTest, CommonCriteriaModeRequiresTheServerUsage) {
    StderrCapture log;
    TestCert noUsage = TestCert::create(CertSpec().cn("plain.test").dns({"plain.test"}), &intermediate);
    TestCert withUsage = TestCert::create(CertSpec().cn("ok.test").dns({"ok.test"}).serverAuth(), &intermediate);
    auto client = verifyingClient(false);

    serveLeaf(noUsage);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_TRUE(pair.handshake());  // outside Common Criteria mode the usage is not required
    }
    SslLibrary::setCommonCriteriaMode(true);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_FALSE(pair.handshake());
        EXPECT_EQ(X509_V_ERR_INVALID_PURPOSE, SSL_get_verify_result(pair.client.handle()));
        EXPECT_TRUE(
            log.contains("does not have the extendedKeyUsage extension having the \"TLS Web Server "
                         "Authentication\" usage"));
    }
    serveLeaf(withUsage);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_TRUE(pair.handshake());
    }
}

TEST_F(CertCheckHandshakeTest, RevokedServerCertificateIsRefused) {
    StderrCapture log;
    TestCert revoked = TestCert::create(CertSpec().cn("revoked.test").serverAuth().serialNo(77), &intermediate);
    TestCert fine = TestCert::create(CertSpec().cn("fine.test").serverAuth().serialNo(78), &intermediate);
    dir.file("crl/intermediate.pem", test::makeCrlPem(intermediate, {77}));
    ASSERT_TRUE(CertificateChecks::loadRevocationStore(dir.path() + "/crl"));
    auto client = verifyingClient(false);

    serveLeaf(revoked);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_TRUE(pair.handshake());  // revocation checking is off
    }
    CertificateChecks::setCrlValidation(true);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_FALSE(pair.handshake());
        EXPECT_EQ(X509_V_ERR_CERT_REVOKED, SSL_get_verify_result(pair.client.handle()));
        EXPECT_TRUE(log.contains("has revoked the certificate with serial 77 (0x4D)"));
    }
    serveLeaf(fine);
    {
        LoopbackTlsPair pair(*serverCtx, *client);
        EXPECT_TRUE(pair.handshake());
    }
}

}  // namespace
}  // namespace morvex
