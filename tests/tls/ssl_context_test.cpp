#include "tls/ssl_context.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "ssl_test_helpers.h"
#include "tls/ssl_client_context_table.h"

namespace morvex {
namespace {

using test::StderrCapture;
using test::TestCert;
using test::TestPki;

// True when the context's trust store holds a certificate with the subject.
bool storeHolds(const SslContext& ctx, X509* cert) {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.handle());
    X509_STORE_CTX* sctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(sctx, store, nullptr, nullptr);
    X509_OBJECT* obj = X509_STORE_CTX_get_obj_by_subject(sctx, X509_LU_X509, X509_get_subject_name(cert));
    X509_OBJECT_free(obj);
    X509_STORE_CTX_free(sctx);
    return obj != nullptr;
}

int storeSize(const SslContext& ctx) {
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx.handle())));
}

TEST(SslContext, RefusesOptionsItCannotBuildWithTheirMessages) {
    TestPki pki;
    auto expectServerFailure = [](const SslServerContextOptions& o, const std::string& text) {
        SslContext ctx;
        try {
            ctx.initServer(o);
            ADD_FAILURE() << "built, expected: " << text;
        } catch (const SslInitException& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
        EXPECT_EQ(nullptr, ctx.handle());
    };

    SslServerContextOptions noVersions = test::serverOptions(pki.serverCertFile);
    noVersions.sslVersions = 0;
    expectServerFailure(noVersions, "No compatible SSL versions requested, can't set up SslContext");

    SslServerContextOptions badCipher = test::serverOptions(pki.serverCertFile);
    badCipher.cipherSuite = "NO-SUCH-CIPHER";
    expectServerFailure(badCipher, "Could not create SSL context, Invalid _cipherSuite specified");

    SslServerContextOptions noCert = test::serverOptions(pki.dir.path() + "/missing.pem");
    expectServerFailure(noCert, "Can't read certificate file " + pki.dir.path() + "/missing.pem");

    SslServerContextOptions missingRoot = test::serverOptions(pki.serverCertFile);
    missingRoot.rootCAPath = pki.dir.path() + "/root.pem";
    expectServerFailure(missingRoot, "sslRootCAPath " + pki.dir.path() + "/root.pem not found");
    missingRoot.rootCAPath = pki.dir.path();
    expectServerFailure(missingRoot, "is not a regular file");
    missingRoot.rootCAPathHonoredOnWindows = false;  // then the path is not looked at
    SslContext ignored;
    EXPECT_NO_THROW(ignored.initServer(missingRoot));

    // The client builder logs instead of throwing.
    StderrCapture log;
    SslClientContextOptions client = test::clientOptions();
    client.sslVersions = 0;
    SslContext c1;
    EXPECT_FALSE(c1.initClient(client));
    EXPECT_TRUE(log.contains("ERROR - No compatible SSL versions requested, can't set up SslContext"));

    // Verification without any readable CA or own certificate file.
    client = test::clientOptions();
    client.shouldVerifyServerCert = true;
    client.caCertFile = pki.dir.path() + "/nothing.pem";
    SslContext c2;
    EXPECT_FALSE(c2.initClient(client));
    EXPECT_TRUE(log.contains("Can't read ca certificate file " + pki.dir.path() + "/nothing.pem"));
}

TEST(SslContext, ClientWithoutCertificateAndVerificationAndTheProtocolOptions) {
    SslClientContextOptions o = test::clientOptions();
    SslContext ctx;
    ASSERT_TRUE(ctx.initClient(o));
    EXPECT_FALSE(ctx.verifyPeer());
    EXPECT_EQ(nullptr, ctx.certificate());
    EXPECT_EQ(SSL_VERIFY_NONE, SSL_CTX_get_verify_mode(ctx.handle()));

    const uint64_t opts = SSL_CTX_get_options(ctx.handle());
    EXPECT_TRUE(opts & SSL_OP_NO_TLSv1);
    EXPECT_TRUE(opts & SSL_OP_NO_TLSv1_1);
    EXPECT_TRUE(opts & SSL_OP_NO_SSLv3);
    EXPECT_FALSE(opts & SSL_OP_NO_TLSv1_2);
    EXPECT_TRUE(opts & SSL_OP_NO_COMPRESSION);

    o.sslVersions = SslVersion::TLS1_1 | SslVersion::TLS1_2;
    o.useCompression = true;
    SslContext ctx2;
    ASSERT_TRUE(ctx2.initClient(o));
    const uint64_t opts2 = SSL_CTX_get_options(ctx2.handle());
    EXPECT_FALSE(opts2 & SSL_OP_NO_TLSv1_1);
    EXPECT_FALSE(opts2 & SSL_OP_NO_COMPRESSION);
    EXPECT_TRUE(opts2 & SSL_OP_NO_TLSv1);
}

TEST(SslContext, PrivateKeyPassPhrase) {
    TestPki pki;
    const std::string encrypted = pki.dir.file("enc.pem", pki.server.certPem() + pki.server.keyPem("right phrase"));
    SslServerContextOptions o = test::serverOptions(encrypted);

    o.privateKeyPassword = "right phrase";
    SslContext good;
    EXPECT_NO_THROW(good.initServer(o));
    EXPECT_NE(nullptr, good.certificate());

    o.privateKeyPassword = "wrong phrase";
    SslContext wrong;
    try {
        wrong.initServer(o);
        ADD_FAILURE() << "a wrong pass phrase was accepted";
    } catch (const SslInitException& e) {
        EXPECT_NE(std::string(e.what()).find("Can't read key file " + encrypted), std::string::npos) << e.what();
    }

    StderrCapture log;
    o.privateKeyPassword.assign(5000, 'x');
    SslContext tooLong;
    EXPECT_THROW(tooLong.initServer(o), SslInitException);
    EXPECT_TRUE(log.contains("SSL certificate password too long (max bytes=1023)"));
}

// A key file that needs a pass phrase never falls back to the library's
// terminal prompt: the callback is there even without a phrase.
TEST(SslContext, PassPhraseCallbackIsAlwaysInstalled) {
    TestPki pki;
    const std::string encrypted = pki.dir.file("enc.pem", pki.server.certPem() + pki.server.keyPem("phrase"));
    SslServerContextOptions o = test::serverOptions(encrypted);
    SslContext server;
    try {
        server.initServer(o);
        ADD_FAILURE() << "an encrypted key loaded without its pass phrase";
    } catch (const SslInitException& e) {
        EXPECT_NE(std::string(e.what()).find("Can't read key file " + encrypted), std::string::npos) << e.what();
    }

    SslClientContextOptions c = test::clientOptions();
    c.certFile = encrypted;
    c.privateKeyFile = encrypted;
    SslContext client;
    StderrCapture log;
    EXPECT_FALSE(client.initClient(c));
    EXPECT_TRUE(log.contains("ERROR - Can't read key file " + encrypted));

    SslContext plain;
    ASSERT_TRUE(plain.initClient(test::clientOptions()));
    EXPECT_NE(nullptr, SSL_CTX_get_default_passwd_cb(plain.handle()));
    SslContext unencrypted;
    ASSERT_NO_THROW(unencrypted.initServer(test::serverOptions(pki.serverCertFile)));
    EXPECT_NE(nullptr, SSL_CTX_get_default_passwd_cb(unencrypted.handle()));
}

// TLS 1.3 is one more version bit with its own suites; the listener's
// cipher order and renegotiation follow the options.
TEST(SslContext, Tls13SuitesCipherOrderAndRenegotiation) {
    TestPki pki;
    SslServerContextOptions o = test::serverOptions(pki.serverCertFile);
    SslContext both;
    ASSERT_NO_THROW(both.initServer(o));
    uint64_t opts = SSL_CTX_get_options(both.handle());
    EXPECT_FALSE(opts & SSL_OP_NO_TLSv1_3);
    EXPECT_TRUE(opts & SSL_OP_CIPHER_SERVER_PREFERENCE);
    EXPECT_TRUE(opts & SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    EXPECT_FALSE(opts & SSL_OP_NO_RENEGOTIATION);

    o.sslVersions = SslVersion::TLS1_2;
    o.honorCipherOrder = false;
    o.allowSslRenegotiation = false;
    o.cipherSuitesTls13 = "TLS_CHACHA20_POLY1305_SHA256";
    SslContext only12;
    ASSERT_NO_THROW(only12.initServer(o));
    opts = SSL_CTX_get_options(only12.handle());
    EXPECT_TRUE(opts & SSL_OP_NO_TLSv1_3);
    EXPECT_FALSE(opts & SSL_OP_CIPHER_SERVER_PREFERENCE);
    EXPECT_FALSE(opts & SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    EXPECT_TRUE(opts & SSL_OP_NO_RENEGOTIATION);
    EXPECT_FALSE(only12.allowRenegotiation());

    // The configured TLS 1.3 suite is the one negotiated.
    o.sslVersions = SslVersion::TLS1_3;
    SslContext only13;
    ASSERT_NO_THROW(only13.initServer(o));
    SslContext client;
    ASSERT_TRUE(client.initClient(test::clientOptions()));
    {
        test::LoopbackTlsPair pair(only13, client);
        ASSERT_TRUE(pair.handshake());
        EXPECT_STREQ("TLSv1.3", SSL_get_version(pair.client.handle()));
        EXPECT_STREQ("TLS_CHACHA20_POLY1305_SHA256", SSL_get_cipher_name(pair.client.handle()));
    }
    {
        test::LoopbackTlsPair pair(only12, client);
        ASSERT_TRUE(pair.handshake());
        EXPECT_STREQ("TLSv1.2", SSL_get_version(pair.client.handle()));
    }

    o.cipherSuitesTls13 = "TLS_NO_SUCH_SUITE";
    SslContext bad;
    try {
        bad.initServer(o);
        ADD_FAILURE() << "an unknown TLS 1.3 suite was accepted";
    } catch (const SslInitException& e) {
        EXPECT_STREQ("Could not create SSL context, Invalid cipherSuitesTls13 specified", e.what());
    }
}

TEST(SslContext, TrustStoreChoices) {
    TestPki pki;
    StderrCapture log;
    SslClientContextOptions o = test::clientOptions();
    o.caCertFile = pki.caFile;

    o.caTrustStore = "OS";
    SslContext os;
    ASSERT_TRUE(os.initClient(o));
    EXPECT_FALSE(storeHolds(os, pki.ca.cert()));
    EXPECT_GT(storeSize(os), 20);

    o.caTrustStore = "foo";
    SslContext fallback;
    ASSERT_TRUE(fallback.initClient(o));
    EXPECT_EQ(1u, log.count("WARN - Could not interpret contents of caTrustStore. Defaulting to 'morvex'"));
    EXPECT_TRUE(storeHolds(fallback, pki.ca.cert()));
    EXPECT_EQ(1, storeSize(fallback));

    o.caTrustStore = "morvex, os";
    SslContext both;
    ASSERT_TRUE(both.initClient(o));
    EXPECT_TRUE(storeHolds(both, pki.ca.cert()));
    EXPECT_EQ(storeSize(os) + 1, storeSize(both));

    // rootCAPath takes the place of the CA file.
    TestCert otherCa = TestCert::create(test::CertSpec().cn("Other CA").asCa());
    o.caTrustStore = "morvex";
    o.rootCAPath = pki.dir.file("root.pem", otherCa.certPem());
    SslContext root;
    ASSERT_TRUE(root.initClient(o));
    EXPECT_TRUE(storeHolds(root, otherCa.cert()));
    EXPECT_FALSE(storeHolds(root, pki.ca.cert()));

    o.rootCAPath.clear();
    o.caCertFile = pki.dir.file("garbage.pem", "not a certificate");
    o.shouldVerifyServerCert = false;
    SslContext broken;
    EXPECT_FALSE(broken.initClient(o));
    EXPECT_TRUE(log.contains("Failed to load Morvex trust store from file=\"" + o.caCertFile + "\""));
}

TEST(SslContext, CurveNamesReachTheLibraryInACaseItKnows) {
    StderrCapture log;
    SslClientContextOptions o = test::clientOptions();
    struct Case {
        const char* configured;
        const char* applied;
    } cases[] = {
        {"prime256v1,NoSuchCurve, secp384r1", "prime256v1:secp384r1"},
        {"P-256, P-384", "P-256:P-384"},  // refused when lower-cased
        {"PRIME256V1", "prime256v1"},     // known only in lower case
    };
    for (const Case& c : cases) {
        o.ecdhCurves = c.configured;
        SslContext ctx;
        ASSERT_TRUE(ctx.initClient(o));
        EXPECT_EQ(c.applied, ctx.curveList()) << c.configured;
    }
    EXPECT_EQ(1u, log.count("WARN - Will not add this curve, Invalid curve name NoSuchCurve"));
    EXPECT_EQ(1u, log.count("Will not add this curve"));

    o.ecdhCurves = "p-999, bogus";
    SslContext none;
    ASSERT_TRUE(none.initClient(o));
    EXPECT_EQ("", none.curveList());
    EXPECT_EQ(1u, log.count("WARN - No curve of ecdhCurves (p-999, bogus) is usable; using the TLS library's "
                            "default curves"));
}

TEST(SslContext, DiffieHellmanParameterFile) {
    TestPki pki;
    StderrCapture log;
    SslServerContextOptions o = test::serverOptions(pki.serverCertFile);

    o.dhFile = pki.dir.file("dh1024.pem", test::makeDhParamsPem(1024));
    SslContext small;
    ASSERT_NO_THROW(small.initServer(o));
    EXPECT_TRUE(log.contains("DH parameter size = 1024is too small (read from file: " + o.dhFile +
                             "), needs to be at least 2048 bits."));
    EXPECT_EQ(1u, log.count("Diffie-Hellman ciphers will not be enabled."));

    o.dhFile = pki.dir.file("dh2048.pem", test::makeDhParamsPem(2048));
    SslContext good;
    ASSERT_NO_THROW(good.initServer(o));
    EXPECT_TRUE(log.contains("Successfully set parameters for SSL context using DH file: " + o.dhFile));

    o.dhFile = pki.dir.path() + "/absent.pem";
    SslContext absent;
    ASSERT_NO_THROW(absent.initServer(o));
    EXPECT_TRUE(log.contains("DH file not found: " + o.dhFile));

    o.dhFile = pki.caFile;  // PEM, but no parameters
    SslContext wrongKind;
    ASSERT_NO_THROW(wrongKind.initServer(o));
    EXPECT_TRUE(log.contains("Failed to load DHParams from " + o.dhFile));
    EXPECT_EQ(3u, log.count("Diffie-Hellman ciphers will not be enabled."));

    // The context without DH parameters still serves handshakes.
    SslContext client;
    ASSERT_TRUE(client.initClient(test::clientOptions()));
    test::LoopbackTlsPair pair(small, client);
    EXPECT_TRUE(pair.handshake());
}

TEST(SslContext, ServerSessionTimeout) {
    TestPki pki;
    const std::int64_t saved = SslLibrary::serverSessionTimeoutMs();
    auto build = [&](std::int64_t ms, SslContext& ctx) {
        SslLibrary::setServerSessionTimeoutMs(ms);
        ctx.initServer(test::serverOptions(pki.serverCertFile));
    };
    SslContext deflt, c600, c601, c120, off;
    build(300000, deflt);
    build(600000, c600);
    build(600001, c601);
    build(120000, c120);
    build(0, off);
    SslLibrary::setServerSessionTimeoutMs(saved);

    EXPECT_EQ(600, SSL_CTX_get_timeout(c600.handle()));
    EXPECT_EQ(601, SSL_CTX_get_timeout(c601.handle()));
    EXPECT_EQ(SSL_CTX_get_timeout(deflt.handle()), SSL_CTX_get_timeout(c120.handle()));
    EXPECT_EQ(SSL_SESS_CACHE_OFF, SSL_CTX_get_session_cache_mode(off.handle()));
    EXPECT_NE(SSL_SESS_CACHE_OFF, SSL_CTX_get_session_cache_mode(deflt.handle()));

    // 0 means no resumption at all: tickets do not resume either.
    SslContext client;
    ASSERT_TRUE(client.initClient(test::clientOptions()));
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        for (SslContext* server : {&deflt, &off}) {
            SCOPED_TRACE(std::to_string(version) + (server == &off ? " off" : " default"));
            SSL_SESSION* first = nullptr;
            {
                test::LoopbackTlsPair pair(*server, client);
                SSL_set_max_proto_version(pair.client.handle(), version);
                ASSERT_TRUE(pair.handshake());
                pair.transfer(pair.server, pair.client, "x");  // TLS 1.3 tickets follow the handshake
                first = SSL_SESSION_dup(SSL_get0_session(pair.client.handle()));
            }
            test::LoopbackTlsPair again(*server, client);
            SSL_set_max_proto_version(again.client.handle(), version);
            SSL_set_session(again.client.handle(), first);
            SSL_SESSION_free(first);
            ASSERT_TRUE(again.handshake());
            EXPECT_EQ(SSL_session_reused(again.client.handle()) == 1, server == &deflt);
        }
    }
}

TEST(SslContext, ProxyStartUpStepLogsTheCertificateOrTheFailure) {
    TestPki pki;
    StderrCapture log;
    SharedSslServerContext handle;
    SslServerContextOptions o = test::serverOptions(pki.serverCertFile);
    o.allowSslRenegotiation = false;
    ASSERT_TRUE(initializeProxySslContext(std::move(o), handle));
    ASSERT_TRUE(handle.valid());
    EXPECT_FALSE(handle.context().allowRenegotiation());
    EXPECT_EQ(pki.serverCertFile, handle.options().certFile);
    SharedSslServerContext copy = handle;
    EXPECT_EQ(2, handle.useCount());

    const std::string text = log.text();
    EXPECT_NE(text.find("INFO - Initializing SSL Context"), std::string::npos);
    EXPECT_NE(text.find("channel=TLSProxyServer, subject=\"CN=server.test,O=Morvex Test\", "
                        "subjectAltName=\"server.test\", serial=2, notValidBefore="),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("issuer=\"CN=Morvex Test CA,O=Morvex Test\", sha256-fingerprint="), std::string::npos);
    const std::size_t fp = text.find("sha256-fingerprint=");
    EXPECT_EQ(95u, text.find_first_of("\r\n", fp) - (fp + 19));  // 32 hex pairs with colons

    const std::string encrypted = pki.dir.file("enc.pem", pki.server.certPem() + pki.server.keyPem("secret"));
    SslServerContextOptions bad = test::serverOptions(encrypted);
    bad.privateKeyPassword = "not the secret";
    SharedSslServerContext failed;
    EXPECT_FALSE(initializeProxySslContext(std::move(bad), failed));
    EXPECT_FALSE(failed.valid());
    EXPECT_TRUE(log.contains("ERROR - Error setting up SSL for the TLS proxy server. Exception: Can't read key file "));
}

TEST(SslClientContextTable, BuildsOncePerTypeAndNeverRetries) {
    int calls = 0;
    SslClientContextTable table([&](ClientRequestType type) -> std::optional<SslClientContextOptions> {
        ++calls;
        if (type == ClientRequestType::ExternalProxy) return std::nullopt;
        SslClientContextOptions o = test::clientOptions();
        if (type == ClientRequestType::Telemetry) o.sslVersions = 0;  // cannot be built
        return o;
    });
    StderrCapture log;
    const SslContext* morvexd = table.contextFor(ClientRequestType::Morvexd);
    ASSERT_NE(nullptr, morvexd);
    EXPECT_EQ(morvexd, table.contextFor(ClientRequestType::Morvexd));
    EXPECT_EQ(nullptr, table.contextFor(ClientRequestType::ExternalProxy));
    EXPECT_EQ(nullptr, table.contextFor(ClientRequestType::Telemetry));
    EXPECT_EQ(nullptr, table.contextFor(ClientRequestType::Telemetry));
    EXPECT_EQ(nullptr, table.contextFor(ClientRequestType::ExternalProxy));
    EXPECT_EQ(3, calls);
    EXPECT_EQ(1u, log.count("ERROR - Couldn't initialize SSL Context for Telemetry Client"));
}

}  // namespace
}  // namespace morvex
