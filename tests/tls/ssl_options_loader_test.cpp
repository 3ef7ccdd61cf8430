#include "tls/ssl_options_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ssl_test_helpers.h"

namespace fs = std::filesystem;
using namespace morvex;
using morvex::test::logged;
using testing::HasSubstr;
using testing::Not;

namespace {

const char* const kDeprecatedVersions = "Found a deprecated version of TLS/SSL (sslv3, tls1.0, tls1.1)";

class SslOptionsLoaderTest : public testing::Test {
protected:
    void SetUp() override {
        _dir = fs::temp_directory_path() / ("ssl_loader_test_" + std::to_string(::getpid()));
        fs::create_directories(_dir / "etc/auth");
        std::ofstream(_dir / "etc/auth/ca.pem") << "x";
        _env.settingsDir = (_dir / "etc").string();
        _env.homeDir = _dir.string();
    }
    void TearDown() override { fs::remove_all(_dir); }

    std::string loadServer(const PropertySet& props, SslServerContextOptions& o, bool* ok = nullptr,
                           const std::string& stanza = "sslConfig") {
        return logged([&] {
            bool r = loadSslServerOptions("server", stanza, props, o, _env);
            if (ok) *ok = r;
        });
    }
    std::string loadClient(const PropertySet& props, SslClientContextOptions& o,
                           const std::string& stanza = "sslConfig", const std::string& conf = "server") {
        return logged([&] { EXPECT_TRUE(loadSslClientOptions(conf, stanza, props, o, _env)); });
    }

    fs::path _dir;
    SslOptionsLoadEnv _env;
};

}  // namespace

constexpr std::uint32_t kTls12And13 = SslVersion::TLS1_2 | SslVersion::TLS1_3;

TEST(SslValueParsersTest, VersionLists) {
    std::optional<std::uint32_t> v;
    std::string log = logged([&] { v = parseSslVersions("-tls1.0, -tls1.1"); });
    EXPECT_EQ(v, SslVersion::SSL3 | kTls12And13);
    EXPECT_THAT(log, HasSubstr(kDeprecatedVersions));
    EXPECT_THAT(log, HasSubstr("Update your configuration to use the latest available TLS version."));

    log = logged([&] { v = parseSslVersions("+TLS1.2"); });
    EXPECT_EQ(v, kTls12And13);
    EXPECT_EQ(log, "");

    logged([&] {
        EXPECT_EQ(parseSslVersions("tls1.2, bogus"), std::nullopt);
        EXPECT_EQ(parseSslVersions(" , \t"), std::nullopt);
        EXPECT_EQ(parseSslVersions("ssl2"), 0u);
        EXPECT_EQ(parseSslVersions("*"), SslVersion::ALL | SslVersion::TLS1_3);
        EXPECT_EQ(parseSslVersions("tls\t-tls-1.0 !TLS11"), kTls12And13);
        // Only a removing first token starts from the full set.
        EXPECT_EQ(parseSslVersions("tls1.2 -tls1.2 +ssl-3"), SslVersion::SSL3);
        EXPECT_EQ(parseSslVersions("!sslv3"), SslVersion::TLS | SslVersion::TLS1_3);
        // TLS 1.3 follows TLS 1.2 unless the list names it.
        EXPECT_EQ(parseSslVersions("tls1.2, -tls1.3"), SslVersion::TLS1_2);
        EXPECT_EQ(parseSslVersions("-TLS1.3"), SslVersion::ALL);
        EXPECT_EQ(parseSslVersions("tls1.3"), SslVersion::TLS1_3);
        EXPECT_EQ(parseSslVersions("tls-1.3 tls13"), SslVersion::TLS1_3);
        EXPECT_EQ(parseSslVersions("ssl3"), SslVersion::SSL3);
    });
    EXPECT_EQ(sslVersionsToString(kTls12And13), "TLS1.2,TLS1.3");
}

TEST(SslValueParsersTest, WordsDurationsAndNames) {
    EXPECT_EQ(parseBooleanWord("YES"), true);
    EXPECT_EQ(parseBooleanWord("f"), false);
    for (const char* w : {"", "y", "on", "true "}) EXPECT_EQ(parseBooleanWord(w), std::nullopt) << w;
    EXPECT_EQ(parseUseSsl("legacy"), SslContextOptions::SSLConnection::Legacy);
    EXPECT_EQ(parseUseSsl("yes"), SslContextOptions::SSLConnection::True);
    EXPECT_EQ(parseUseSsl("maybe"), std::nullopt);
    EXPECT_EQ(parseCertStatusValidationMethod("CRL"), SslContextOptions::CertStatusValidationMethod::Crl);

    EXPECT_EQ(parseDurationMs("90"), 90000);
    EXPECT_EQ(parseDurationMs("250ms"), 250);
    EXPECT_EQ(parseDurationMs("2 h"), 7200000);
    for (const char* d : {"-1", "5 weeks", "99999999999999999999"}) EXPECT_EQ(parseDurationMs(d), std::nullopt) << d;

    for (const char* n : {"*.", "a.*.com", "*foo.com", "-bad.com", "a..b"}) {
        EXPECT_FALSE(isValidHostNamePattern(n)) << n;
    }
    std::string kept;
    std::string log = logged([&] { kept = filterHostNameList("good.com,bad name,*.ok.org, *.x"); });
    EXPECT_EQ(kept, "good.com,*.ok.org,*.x");
    EXPECT_THAT(log, HasSubstr("Ignoring \"bad name\" because it is not a valid hostname."));
}

TEST_F(SslOptionsLoaderTest, KeysAliasesAndInvalidValues) {
    PropertySet props{{"sslCipher", "OLD"},
                      {"cipherSuite", "NEW"},
                      {"ecdhCurves", "prime256v1"},
                      {"sslVersions", "tls1.2"},
                      {"allowSslRenegotiation", "nope"},
                      {"certLogMaxCacheEntries", "12"},
                      {"certLogRepeatFrequency", "1h"},
                      {"useSSL", ""},
                      {"certificateStatusValidationMethod", "CRL"},
                      {"sslCommonNameToCheck", "a.com"},
                      {"sslCommonNameList", "b.com,bad name"},
                      {"requireClientCert", "yes"},
                      {"sslServerSessionTimeout", "600"},
                      {"sslServerHandshakeTimeout", "soon"},
                      {"cipherSuitesTls13", "TLS_AES_256_GCM_SHA384"},
                      {"honorCipherOrder", "false"}};
    SslServerContextOptions o;
    std::string log = loadServer(props, o);
    EXPECT_EQ(o.cipherSuite, "OLD");  // a present alias is what counts
    EXPECT_EQ(o.ecdhCurves, "prime256v1");
    EXPECT_EQ(o.sslVersions, kTls12And13);
    EXPECT_EQ(o.cipherSuitesTls13, "TLS_AES_256_GCM_SHA384");
    EXPECT_FALSE(o.honorCipherOrder);
    EXPECT_TRUE(o.allowSslRenegotiation);  // invalid: unchanged
    EXPECT_EQ(o.maxCertlogCacheEntries, 12);
    EXPECT_EQ(o.certLogRepeatFrequency, 3600000);
    EXPECT_EQ(o.useSSL, SslContextOptions::SSLConnection::Legacy);  // empty: unchanged
    EXPECT_EQ(o.certStatusValidationMethod, SslContextOptions::CertStatusValidationMethod::Crl);
    EXPECT_EQ(o.commonNameToCheck, "b.com");  // the later key wins
    EXPECT_TRUE(o.shouldVerifyClientCert);
    EXPECT_EQ(o.sslServerSessionTimeout, 600000);
    EXPECT_EQ(o.sslServerHandshakeTimeout, -1);
    // Deprecated keys are reported in the main daemon only.
    EXPECT_THAT(log, Not(HasSubstr("deprecated;")));
    EXPECT_THAT(log, HasSubstr("Ignoring \"bad name\""));

    _env.mainDaemonProcess = true;
    SslServerContextOptions d;
    log = loadServer(props, d);
    EXPECT_THAT(log, HasSubstr("server.conf/[sslConfig]/sslCipher: deprecated; use 'cipherSuite' instead"));

    // The session timeout is read only from server.conf [sslConfig].
    SslServerContextOptions other;
    loadServer(props, other, nullptr, "elsewhere");
    EXPECT_EQ(other.sslServerSessionTimeout, -1);
}

// Every value that does not parse is named with the value kept in use, in
// every process kind.
TEST_F(SslOptionsLoaderTest, InvalidValuesNameKeyValueAndWhatIsUsed) {
    struct Case {
        const char* key;
        const char* value;
        const char* line;
    } cases[] = {
        {"sslVerifyServerName", "on",
         "server.conf/[sslConfig]/sslVerifyServerName: invalid value from on; using false"},
        {"sslVersions", "tls1.2, tls9",
         "server.conf/[sslConfig]/sslVersions: invalid value from tls1.2, tls9; using "
         "no version (no TLS context can be built)"},
        {"sslVersionsForClient", "", "/sslVersionsForClient: invalid value from ; using no version"},
        {"allowSslRenegotiation", "never", "/allowSslRenegotiation: invalid value from never; using true"},
        {"useSSL", "maybe", "/useSSL: invalid value from maybe; using legacy"},
        {"certificateStatusValidationMethod", "ocsp", "invalid value from ocsp; using none"},
        {"certLogMaxCacheEntries", "many", "/certLogMaxCacheEntries: invalid value from many; using 10000"},
        {"certLogRepeatFrequency", "5 weeks", "invalid value from 5 weeks; using 86400000 ms"},
    };
    for (const Case& c : cases) {
        SslClientContextOptions o;
        std::string log = loadClient({{c.key, c.value}, {"sslVerifyServerCert", "true"}}, o);
        EXPECT_THAT(log, HasSubstr("WARN - server.conf/[sslConfig]/" + std::string(c.key) + ": invalid value from "))
            << c.key;
        EXPECT_THAT(log, HasSubstr(c.line)) << c.key;
        EXPECT_EQ(log.find("invalid value"), log.rfind("invalid value")) << c.key;  // one line
    }
    // The same key and value again: already said once in this process.
    SslServerContextOptions again;
    EXPECT_EQ("", loadServer({{"allowSslRenegotiation", "never"}}, again));

    // The server side: handshake time-outs must be at least one second.
    SslServerContextOptions s;
    std::string log = loadServer({{"sslServerHandshakeTimeout", "0"}, {"sslServerSessionTimeout", "-5"}}, s);
    EXPECT_THAT(log, HasSubstr("/sslServerHandshakeTimeout: invalid value from 0; using the default"));
    EXPECT_THAT(log, HasSubstr("/sslServerSessionTimeout: invalid value from -5; using the default"));
    EXPECT_EQ(-1, s.sslServerHandshakeTimeout);
    loadServer({{"sslServerHandshakeTimeout", "5"}}, s);
    EXPECT_EQ(5000, s.sslServerHandshakeTimeout);
}

TEST_F(SslOptionsLoaderTest, PathsResolveAgainstCaPath) {
    std::string auth = (_dir / "etc/auth").string();
    SslServerContextOptions abs;
    std::string log = loadServer({{"caPath", auth + "/"}, {"serverCert", "server.pem"}, {"caCertFile", "ca.pem"}}, abs);
    EXPECT_EQ(abs.certFile, auth + "/server.pem");
    EXPECT_EQ(abs.privateKeyFile, abs.certFile);  // no privKeyPath: the certificate file holds the key
    EXPECT_EQ(abs.caCertFile, auth + "/ca.pem");
    EXPECT_EQ(log, "");  // a missing certificate file is allowed

    SslServerContextOptions rel;
    log = loadServer({{"caPath", "auth"}, {"serverCert", "server.pem"}, {"privKeyPath", "/k/key.pem"}}, rel);
    EXPECT_EQ(rel.certFile, "server.pem");
    EXPECT_EQ(rel.privateKeyFile, "/k/key.pem");
    EXPECT_THAT(log, HasSubstr("server.conf/[sslConfig]/caPath (auth): must be an absolute path; may not be able to "
                               "use SSL"));
    EXPECT_THAT(log, HasSubstr("server.conf/[sslConfig]/serverCert (server.pem): must be an absolute path"));

    // Without caPath the base is <settings>/auth.
    SslServerContextOptions def;
    log = loadServer({{"sslKeysfile", "s.pem"}, {"dhFile", "dh.pem"}, {"sslRootCAPath", auth}}, def);
    EXPECT_EQ(def.certFile, auth + "/s.pem");
    EXPECT_EQ(def.dhFile, auth + "/dh.pem");
    EXPECT_THAT(log, HasSubstr("/dhFile (" + auth + "/dh.pem): does not exist"));
    EXPECT_THAT(log, HasSubstr("/sslRootCAPath (" + auth + "): not a regular file"));

    // Client: a relative key file is product-relative; session path must be a directory.
    SslClientContextOptions c;
    log = loadClient({{"clientCert", "c.pem"},
                      {"privKeyPath", "etc/auth/k.pem"},
                      {"sslClientSessionPath", auth + "/ca.pem"},
                      {"sslVerifyServerCert", "true"}},
                     c);
    EXPECT_EQ(c.certFile, auth + "/c.pem");
    EXPECT_EQ(c.privateKeyFile, _dir.string() + "/etc/auth/k.pem");
    EXPECT_THAT(log, HasSubstr("/sslClientSessionPath (" + auth + "/ca.pem): not a directory"));
}

TEST_F(SslOptionsLoaderTest, RootCARules) {
    std::string ca = (_dir / "etc/auth/ca.pem").string();
    SslServerContextOptions o;
    std::string log =
        loadServer({{"sslRootCAPath", ca}, {"rootCA", ""}, {"sslRootCAPathHonoredOnWindows", "false"}}, o);
    EXPECT_EQ(o.rootCAPath, "");  // a present, empty rootCA wins
    EXPECT_FALSE(o.rootCAPathHonoredOnWindows);
    EXPECT_THAT(log, Not(HasSubstr("setting ignored")));

    _env.mainDaemonProcess = true;
    SslServerContextOptions w;
    log = loadServer({{"rootCA", ca}, {"sslRootCAPathHonoredOnWindows", "false"}}, w);
    EXPECT_EQ(w.rootCAPath, ca);
    EXPECT_THAT(log, HasSubstr("server.conf/[sslConfig]/rootCA: deprecated; use 'sslRootCAPath in "
                               "server.conf/[sslConfig]' instead"));
    EXPECT_THAT(log, HasSubstr("server.conf/[sslConfig]/sslRootCAPath: setting ignored under Windows"));

    // Other stanzas take an unset root CA from the server-wide options and may
    // not change whether it is honoured.
    SslServerContextOptions serverWide;
    serverWide.rootCAPath = ca;
    _env.rootCADefaults = &serverWide;
    SslClientContextOptions c;
    loadClient({{"sslRootCAPathHonoredOnWindows", "false"}, {"sslVerifyServerCert", "1"}}, c, "deployment-client",
               "deploymentclient");
    EXPECT_EQ(c.rootCAPath, ca);
    EXPECT_TRUE(c.rootCAPathHonoredOnWindows);
}

TEST_F(SslOptionsLoaderTest, ClientKeysAndVerificationWarning) {
    SslClientContextOptions c;
    std::string log = loadClient({{"sslCertPath", "a.pem"},
                                  {"sslKeysfile", "b.pem"},
                                  {"allowSslCompression", "true"},
                                  {"sslVersions", "tls1.1"},
                                  {"sslVersionsForClient", "tls1.2"},
                                  {"sslVerifyServerName", "t"},
                                  {"useSslClientSessionCache", "true"}},
                                 c, "authentication", "web");
    EXPECT_EQ(c.certFile, (_dir / "etc/auth/a.pem").string());
    EXPECT_TRUE(c.useCompression);  // allowSslCompression stands in for the client key in [authentication]
    EXPECT_EQ(c.sslVersions, kTls12And13);
    EXPECT_TRUE(c.shouldVerifyServerName);
    EXPECT_FALSE(c.useSslClientSessionCache);  // only read from server.conf [sslConfig]
    EXPECT_THAT(log, HasSubstr("web.conf/[authentication]/sslVerifyServerCert is false disabling certificate "
                               "validation; must be set to \"true\" for increased security"));

    SslClientContextOptions other;
    loadClient({{"allowSslCompression", "true"}, {"sslVerifyServerCert", "true"}}, other, "elsewhere");
    EXPECT_FALSE(other.useCompression);
}

TEST_F(SslOptionsLoaderTest, EncryptedPasswordNeedsDecryption) {
    SslServerContextOptions o;
    o.privateKeyPassword = "stale";
    bool ok = true;
    std::string log = loadServer({{"sslVersions", "tls1.2"},
                                  {"sslPassword", "$7$abc"},
                                  {"serverCert", "server.pem"},
                                  {"sslServerHandshakeTimeout", "7"}},
                                 o, &ok);
    EXPECT_FALSE(ok);
    EXPECT_THAT(log, HasSubstr("ERROR - server.conf/[sslConfig]/sslPassword (<encrypted>): decrypting private key "
                               "password; may not be able to use SSL"));
    // Every other key is still read; the password stays empty.
    EXPECT_EQ(o.sslVersions, kTls12And13);
    EXPECT_EQ(o.certFile, (_dir / "etc/auth/server.pem").string());
    EXPECT_EQ(o.sslServerHandshakeTimeout, 7000);
    EXPECT_EQ(o.privateKeyPassword, "");

    _env.decryptPassword = [](const std::string& v) -> std::optional<std::string> {
        return v == "$7$abc" ? std::optional<std::string>("plain") : std::nullopt;
    };
    SslServerContextOptions d;
    loadServer({{"sslPassword", "$7$abc"}}, d, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(d.privateKeyPassword, "plain");
    loadServer({{"sslPassword", "not$7$encrypted"}}, d, &ok);
    EXPECT_EQ(d.privateKeyPassword, "not$7$encrypted");
}
