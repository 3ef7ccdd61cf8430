#include "tls/server_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ssl_test_helpers.h"
#include "tls/cert_check.h"
#include "tls/client_session_store.h"
#include "tls/proxy_certificate.h"
#include "tls/ssl_library.h"
#include "tls/ssl_password_crypt.h"

namespace fs = std::filesystem;
using namespace morvex;
using morvex::test::logged;
using testing::HasSubstr;
using testing::Not;

namespace {

// A home directory with the shipped default settings files.
class ServerConfigTest : public testing::Test {
protected:
    void SetUp() override {
        _home = fs::temp_directory_path() / ("server_config_test_" + std::to_string(::getpid()));
        _etc = _home / "etc";
        fs::create_directories(_etc / "system/local");
        fs::create_directories(_etc / "auth");
        fs::copy(fs::path(MORVEX_SOURCE_DIR) / "etc", _etc, fs::copy_options::recursive);
        _setup.homeDir = _home.string();
        _setup.settingsDir = _etc.string();
    }
    void TearDown() override { fs::remove_all(_home); }

    void writeLocal(const std::string& conf, const std::string& text) {
        std::ofstream(_etc / "system/local" / (conf + ".conf")) << text;
    }

    std::unique_ptr<ServerConfig> make(std::string* log = nullptr) {
        std::unique_ptr<ServerConfig> config;
        std::string out = logged([&] { config = std::make_unique<ServerConfig>(_setup); });
        if (log) *log = out;
        return config;
    }

    fs::path _home;
    fs::path _etc;
    ServerConfig::Setup _setup;
};

}  // namespace

TEST_F(ServerConfigTest, ShippedDefaultsServeEveryTlsRequestType) {
    std::string log;
    auto config = make(&log);
    EXPECT_TRUE(config->sslConfigLoaded());
    const SslServerContextOptions& s = config->sslServerOptions();
    const SslClientContextOptions& c = config->sslClientOptions();
    // TLS 1.3 stays on wherever TLS 1.2 is.
    EXPECT_EQ(s.sslVersions, SslVersion::TLS1_2 | SslVersion::TLS1_3);
    EXPECT_EQ(c.sslVersions, SslVersion::TLS1_2 | SslVersion::TLS1_3);
    EXPECT_FALSE(s.allowSslRenegotiation);
    EXPECT_TRUE(s.honorCipherOrder);
    EXPECT_FALSE(s.cipherSuite.empty());
    EXPECT_EQ(c.cipherSuite, s.cipherSuite);
    EXPECT_EQ(c.ecdhCurves, "prime256v1, secp384r1, secp521r1");
    EXPECT_THAT(log, Not(HasSubstr(" - Found a deprecated version")));
    EXPECT_THAT(log, HasSubstr("INFO - No '' certificate found.  Morvexd communication will not work without this."));

    for (auto type : {ClientRequestType::DeploymentClient, ClientRequestType::MorvexBase, ClientRequestType::Telemetry,
                      ClientRequestType::Morvexd}) {
        std::optional<SslClientContextOptions> o;
        logged([&] { o = config->clientOptionsFor(type); });
        ASSERT_TRUE(o.has_value()) << type;
        EXPECT_EQ(o->sslVersions, SslVersion::TLS1_2 | SslVersion::TLS1_3) << type;
        EXPECT_FALSE(o->cipherSuite.empty()) << type;
    }
    auto telemetry = config->clientOptionsFor(ClientRequestType::Telemetry);
    EXPECT_TRUE(telemetry->shouldVerifyServerCert && telemetry->shouldVerifyServerName);
    EXPECT_EQ(telemetry->rootCAPath, (_etc / "auth/appsCA.pem").string());
    EXPECT_EQ(telemetry->caCertFile, telemetry->rootCAPath);
    EXPECT_FALSE(config->clientOptionsFor(ClientRequestType::ExternalProxy).has_value());
    EXPECT_FALSE(config->clientOptionsFor(ClientRequestType::Unknown).has_value());
    EXPECT_FALSE(config->clientOptionsFor(static_cast<ClientRequestType>(9)).has_value());
}

TEST_F(ServerConfigTest, LocalLayerAndClientCompletion) {
    std::ofstream(_etc / "auth/server.pem") << "x";
    writeLocal("server",
               "[sslConfig]\n"
               "serverCert = server.pem\n"
               "sslPassword = pw\n"
               "sslAltNameToCheck = peer.example.com\n"
               "sslCommonNameToCheck = own.example.com\n"
               "sslQuietShutdown = true\n"
               "useSslClientSessionCache = true\n"
               "sslClientSessionPath = " +
                   _etc.string() +
                   "\n"
                   "sslServerSessionTimeout = 0\n"
                   "commonCriteriaMode = yes\n");
    writeLocal("deploymentclient", "[deployment-client]\nclientCert = dc.pem\nsslCommonNameToCheck = dc.example.com\n");
    std::string log;
    _setup.utilityProcess = false;
    int hookCalls = 0;
    _setup.initClientContext = [&](const ServerConfig&) { return ++hookCalls == 1; };
    auto config = make(&log);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_THAT(log,
                HasSubstr("SSL session cache path " + _etc.string() + " enabled true session timeout on SSL server 0"));

    const SslClientContextOptions& c = config->sslClientOptions();
    EXPECT_EQ(c.certFile, (_etc / "auth/server.pem").string());
    EXPECT_EQ(c.privateKeyFile, c.certFile);
    EXPECT_EQ(c.privateKeyPassword, "pw");
    EXPECT_EQ(c.altNameToCheck, "peer.example.com");
    EXPECT_TRUE(c.quietShutdown);
    EXPECT_TRUE(config->commonCriteriaMode());
    EXPECT_EQ(config->serverSessionTimeoutMs(), 0);

    std::optional<SslClientContextOptions> dc;
    log = logged([&] { dc = config->clientOptionsFor(ClientRequestType::DeploymentClient); });
    ASSERT_TRUE(dc.has_value());
    EXPECT_EQ(dc->certFile, (_etc / "auth/dc.pem").string());
    EXPECT_EQ(dc->privateKeyFile, dc->certFile);
    EXPECT_EQ(dc->commonNameToCheck, "dc.example.com");
    EXPECT_EQ(dc->privateKeyPassword, "pw");
    EXPECT_THAT(log, HasSubstr("ERROR - Settings in stanza=deployment-client, config=deploymentclient, are not common "
                               "criteria compliant. Common Criteria Error - sslVerifyServerCert must be true, "
                               "sslVerifyServerName must be true"));

    // A failing client context build is reported.
    log.clear();
    make(&log);
    EXPECT_THAT(log, HasSubstr("ERROR - Couldn't initialize SSL Context for HTTPClient in ServerConfig"));
}

// Every boolean of the TLS settings goes through one checked parse: boolean
// words in any case are read; anything else keeps the built-in default with
// a warning naming file, stanza, key, value and the default.
TEST_F(ServerConfigTest, EveryBooleanSettingIsParsedAndCheckedAlike) {
    using Get = bool (*)(const ServerConfig&);
    struct Case {
        const char* key;
        bool builtIn;
        Get get;
    } cases[] = {
        {"fipsMode", false, [](const ServerConfig& c) { return c.fipsMode(); }},
        {"commonCriteriaMode", false, [](const ServerConfig& c) { return c.commonCriteriaMode(); }},
        {"sslClientSessionReuse", true, [](const ServerConfig& c) { return c.clientSessionReuse(); }},
        {"allowSslRenegotiation", true, [](const ServerConfig& c) { return c.sslServerOptions().allowSslRenegotiation; }},
        {"logCertificateData", false, [](const ServerConfig& c) { return c.sslServerOptions().logCertificateData; }},
        {"sslQuietShutdown", false, [](const ServerConfig& c) { return c.sslServerOptions().quietShutdown; }},
        {"sslRootCAPathHonoredOnWindows", true,
         [](const ServerConfig& c) { return c.sslServerOptions().rootCAPathHonoredOnWindows; }},
        {"allowSslCompression", false, [](const ServerConfig& c) { return c.sslServerOptions().useCompression; }},
        {"requireClientCert", false, [](const ServerConfig& c) { return c.sslServerOptions().shouldVerifyClientCert; }},
        {"honorCipherOrder", true, [](const ServerConfig& c) { return c.sslServerOptions().honorCipherOrder; }},
        {"useClientSSLCompression", false, [](const ServerConfig& c) { return c.sslClientOptions().useCompression; }},
        {"sslVerifyServerCert", false, [](const ServerConfig& c) { return c.sslClientOptions().shouldVerifyServerCert; }},
        {"sslVerifyServerName", false, [](const ServerConfig& c) { return c.sslClientOptions().shouldVerifyServerName; }},
        {"useSslClientSessionCache", false,
         [](const ServerConfig& c) { return c.sslClientOptions().useSslClientSessionCache; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const std::string key = c.key;
        writeLocal("server", "[sslConfig]\n" + key + " = " + (c.builtIn ? "No" : "YES") + "\n");
        std::string log;
        EXPECT_EQ(c.get(*make(&log)), !c.builtIn);
        EXPECT_THAT(log, Not(HasSubstr("invalid value")));

        writeLocal("server", "[sslConfig]\n" + key + " = enabled\n");
        EXPECT_EQ(c.get(*make(&log)), c.builtIn);
        const std::string line = "WARN - server.conf/[sslConfig]/" + key + ": invalid value from enabled; using " +
                                 (c.builtIn ? "true" : "false");
        EXPECT_THAT(log, HasSubstr(line));
        EXPECT_EQ(log.find("invalid value"), log.rfind("invalid value"));  // once
    }
    ClientSessionStore::setEnabled(true);
}

TEST_F(ServerConfigTest, MissingOrBrokenSslConfig) {
    fs::remove(_etc / "system/default/server.conf");
    std::string log;
    auto config = make(&log);
    EXPECT_THAT(log, HasSubstr("No SSL configuration present, assuming SSL using defaults."));
    EXPECT_FALSE(config->sslConfigLoaded());
    EXPECT_EQ(config->sslClientOptions().toString(), SslClientContextOptions().toString());

    writeLocal("server", "[sslConfig]\nsslPassword = $1$secret\n");
    writeLocal("deploymentclient", "[deployment-client]\nsslPassword = $1$secret\n");
    config = make(&log);
    EXPECT_THAT(log, HasSubstr("ERROR - unable to load SSL settings"));
    EXPECT_THAT(log, Not(HasSubstr("certificate found")));
    log = logged([&] { EXPECT_FALSE(config->clientOptionsFor(ClientRequestType::DeploymentClient)); });
    EXPECT_THAT(log, HasSubstr("WARN - Unable to use SSL configuration for Deployment Client connection"));
}

TEST_F(ServerConfigTest, EncryptedPasswordUsesTheInstanceSecret) {
    const std::string secret = "secret-of-this-instance-0123456789";
    writeLocal("server", "[sslConfig]\nsslPassword = " + encryptSslPassword("key phrase", secret) + "\n");
    std::ofstream(_etc / "auth/instance.secret") << secret << "\n";
    std::string log;
    auto config = make(&log);
    EXPECT_TRUE(config->sslConfigLoaded()) << log;
    EXPECT_EQ(config->sslServerOptions().privateKeyPassword, "key phrase");
    EXPECT_EQ(config->sslClientOptions().privateKeyPassword, "key phrase");

    // Another instance's secret: the password fails, nothing else does.
    std::ofstream(_etc / "auth/instance.secret") << "a-different-instance-secret\n";
    config = make(&log);
    const std::string decryptFailure =
        "ERROR - server.conf/[sslConfig]/sslPassword (<encrypted>): decrypting private key password; may not be able to "
        "use SSL";
    EXPECT_THAT(log, HasSubstr(decryptFailure));
    EXPECT_EQ(log.find(decryptFailure), log.rfind(decryptFailure));  // once, though both kinds read it
    EXPECT_THAT(log, HasSubstr("ERROR - unable to load SSL settings"));
    EXPECT_FALSE(config->sslConfigLoaded());
    EXPECT_EQ(config->sslServerOptions().privateKeyPassword, "");
    for (auto type : {ClientRequestType::Telemetry, ClientRequestType::Morvexd}) {
        std::optional<SslClientContextOptions> o;
        logged([&] { o = config->clientOptionsFor(type); });
        ASSERT_TRUE(o.has_value()) << type;
        EXPECT_EQ(o->sslVersions, SslVersion::TLS1_2 | SslVersion::TLS1_3) << type;
        EXPECT_FALSE(o->cipherSuite.empty()) << type;
        o->rootCAPath.clear();  // no appsCA.pem in this home
        o->caCertFile.clear();
        o->shouldVerifyServerCert = false;
        SslContext ctx;
        logged([&] { EXPECT_TRUE(ctx.initClient(*o)) << type; });
    }

    // No secret at all.
    fs::remove(_etc / "auth/instance.secret");
    config = make(&log);
    const std::string noSecret =
        "ERROR - No usable instance secret in " + (_etc / "auth/instance.secret").string() + " to decrypt an sslPassword";
    EXPECT_THAT(log, HasSubstr(noSecret));
    EXPECT_EQ(log.find(noSecret), log.rfind(noSecret));
    EXPECT_THAT(log, HasSubstr("decrypting private key password"));
}

TEST_F(ServerConfigTest, StartUpAppliesTimeoutsAndSaysWhatIsNotUsed) {
    writeLocal("server",
               "[sslConfig]\n"
               "sslServerSessionTimeout = 900\n"
               "sslServerHandshakeTimeout = 5\n"
               "useSslClientSessionCache = true\n"
               "certificateStatusValidationMethod = crl\n");
    auto config = make();
    EXPECT_EQ(config->serverHandshakeTimeoutMs(), 5000u);
    const std::int64_t savedSession = SslLibrary::serverSessionTimeoutMs();
    const std::uint32_t savedHandshake = SslLibrary::serverHandshakeTimeoutMs();
    std::string log = logged([&] { SslLibrary::configure(*config); });
    EXPECT_EQ(SslLibrary::serverSessionTimeoutMs(), 900000);
    EXPECT_EQ(SslLibrary::serverHandshakeTimeoutMs(), 5000u);
    EXPECT_THAT(log, HasSubstr("WARN - server.conf/[sslConfig]/useSslClientSessionCache and sslClientSessionPath are "
                               "not used by the TLS proxy: it reads and writes no session files; outbound sessions "
                               "are resumed from memory per request type and destination instead"));
    EXPECT_THAT(log, HasSubstr("WARN - server.conf/[sslConfig]/crlPath is not set: revocation of peer certificates "
                               "is not checked"));
    SslLibrary::setServerSessionTimeoutMs(savedSession);
    SslLibrary::setServerHandshakeTimeoutMs(savedHandshake);
    CertificateChecks::setCrlValidation(false);

    // Unset: the 60 s default.
    writeLocal("server", "[sslConfig]\n");
    EXPECT_EQ(make()->serverHandshakeTimeoutMs(), 60000u);
}

TEST_F(ServerConfigTest, ProxyServerOptionsNeedTheCertificateFile) {
    writeLocal("server", "[sslConfig]\nsslRootCAPath = /none\ncaCertFile = ca.pem\nrequireClientCert = true\n");
    auto config = make();
    const std::string path = (_etc / "auth/server_tlsproxy.pem").string();
    EXPECT_EQ(proxyCertificatePath(_etc.string()), path);

    std::optional<SslServerContextOptions> o;
    std::string log = logged([&] { o = proxyServerOptions(*config, "secret pass"); });
    EXPECT_FALSE(o.has_value());
    EXPECT_THAT(log, HasSubstr("ERROR - TLS proxy certificate is missing or invalid " + path));

    const std::string script = std::string(MORVEX_SOURCE_DIR) + "/scripts/make-proxy-cert.sh";
    const std::string cmd = script + " --bits 2048 " + (_etc / "auth").string() + " 'secret pass' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    log = logged([&] { o = proxyServerOptions(*config, "secret pass"); });
    ASSERT_TRUE(o.has_value()) << log;
    EXPECT_EQ(o->certFile, path);
    EXPECT_EQ(o->privateKeyFile, path);
    EXPECT_EQ(o->privateKeyPassword, "secret pass");
    EXPECT_EQ(o->rootCAPath, "");
    EXPECT_EQ(o->caCertFile, "");
    EXPECT_FALSE(o->shouldVerifyClientCert);
    EXPECT_EQ(o->sslVersions, SslVersion::TLS1_2 | SslVersion::TLS1_3);
    EXPECT_THAT(o->toString(), HasSubstr("privateKeyPassword_set=true"));
    EXPECT_THAT(o->toString(), Not(HasSubstr("secret")));

    // The file holds the certificate first and the key, which needs the pass phrase.
    std::FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    ASSERT_NE(cert, nullptr);
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>("secret pass"));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(X509_check_private_key(cert, key), 1);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get_serialNumber(cert)), 1);
    char cn[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "morvexd-tls-proxy-localhost");
    std::rewind(f);
    X509_free(PEM_read_X509(f, nullptr, nullptr, nullptr));
    EXPECT_EQ(PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>("wrong")), nullptr);
    EVP_PKEY_free(key);
    X509_free(cert);
    std::fclose(f);
}

TEST(SslContextOptionsTest, DebugTextAndMove) {
    SslClientContextOptions c;
    c.sslVersions = SslVersion::SSL3 | SslVersion::TLS1_2;
    c.privateKeyPassword = "hidden";
    c.useSSL = static_cast<SslContextOptions::SSLConnection>(7);
    c.certStatusValidationMethod = static_cast<SslContextOptions::CertStatusValidationMethod>(3);
    std::string text = c.toString();
    EXPECT_THAT(text, testing::StartsWith("{rootCAPath=, rootCAPathHonoredOnWindows=true, "));
    EXPECT_THAT(text, HasSubstr(", sslVersions=SSL3,TLS1.2, "));
    EXPECT_THAT(text, HasSubstr("privateKeyPassword_set=true"));
    EXPECT_THAT(text, HasSubstr("useSSL=unknown value (7) for SslContextOptions::SSLConnection"));
    EXPECT_THAT(text, HasSubstr("certStatusValidationMethod=unknown value (3), cipherSuitesTls13=, "
                                "shouldVerifyServerCert=false, shouldVerifyServerName=false}"));
    EXPECT_THAT(text, Not(HasSubstr("hidden")));
    EXPECT_THAT(SslServerContextOptions().toString(),
                HasSubstr("useSSL=legacy, certStatusValidationMethod=none, cipherSuitesTls13=, dhFile=, "
                          "shouldVerifyClientCert=false, honorCipherOrder=true}"));

    SslClientContextOptions moved(std::move(c));
    EXPECT_EQ(moved.privateKeyPassword, "hidden");
    EXPECT_TRUE(c.privateKeyPassword.empty());
    EXPECT_TRUE(c.caTrustStore.empty());
}

TEST(ClientRequestTypeTest, NamesAndParsing) {
    EXPECT_EQ(toString(ClientRequestType::DeploymentClient), "Deployment-Client");
    EXPECT_EQ(toString(ClientRequestType::Unknown), "");
    EXPECT_EQ(toString(static_cast<ClientRequestType>(6)), "INVALID_ClientRequestType_6");
    EXPECT_EQ(parseClientRequestType("Telemetry"), ClientRequestType::Telemetry);
    EXPECT_EQ(parseClientRequestType("telemetry"), std::nullopt);
}
