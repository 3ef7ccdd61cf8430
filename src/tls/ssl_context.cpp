#include "tls/ssl_context.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "tls/ssl_session.h"
#include "tls/x509_cert_check.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("SslContext");

// The operating system's CA bundle: the "os" trust store.
constexpr const char* kOsTrustStoreFile = "/etc/ssl/certs/ca-certificates.crt";

constexpr std::int64_t kDefaultServerSessionTimeoutMs = 300000;

[[noreturn]] void fail(const std::string& text) {
    throw SslInitException(text);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::vector<std::string> splitCommas(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = s.find(',', start);
        std::string item = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::size_t b = item.find_first_not_of(" \t");
        std::size_t e = item.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

int storeCount(SSL_CTX* ctx) {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    STACK_OF(X509_OBJECT)* objects = store ? X509_STORE_get0_objects(store) : nullptr;
    return objects ? sk_X509_OBJECT_num(objects) : 0;
}

// Copies the kept pass phrase into the library's buffer.
int passPhraseCallback(char* buf, int size, int, void* userdata) {
    const auto* phrase = static_cast<const std::string*>(userdata);
    if (phrase == nullptr || size <= 0) return 0;
    if (phrase->size() + 1 > static_cast<std::size_t>(size)) {
        s_log.error("SSL certificate password too long (max bytes=%d)", size - 1);
        return 0;
    }
    std::memcpy(buf, phrase->c_str(), phrase->size() + 1);
    return static_cast<int>(phrase->size());
}

std::string asn1TimeText(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

SslContext::~SslContext() {
    if (_ctx != nullptr) SSL_CTX_free(_ctx);
}

bool SslContext::initClient(const SslClientContextOptions& options) {
    try {
        build(options, false, options.shouldVerifyServerCert, options.shouldVerifyServerName);
        // Sessions are kept by the connections' own store, keyed by
        // destination; the library only hands each new one over (TLS 1.3
        // tickets arrive after the handshake).
        _sessionStore = std::make_unique<ClientSessionStore>();
        SSL_CTX_set_session_cache_mode(_ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(_ctx, &SslSession::newClientSessionCallback);
        return true;
    } catch (const BaseException& e) {
        // SslInitException, or the library start failing (FIPS mode without
        // its provider): either way this context is not built.
        s_log.error("%s", e.what());
        if (_ctx != nullptr) SSL_CTX_free(_ctx);
        _ctx = nullptr;
        return false;
    }
}

void SslContext::initServer(const SslServerContextOptions& options) {
    try {
        build(options, true, options.shouldVerifyClientCert, false);
        setAllowRenegotiation(options.allowSslRenegotiation);
        applyServerSettings(options);
    } catch (...) {
        if (_ctx != nullptr) SSL_CTX_free(_ctx);
        _ctx = nullptr;
        throw;
    }
}

X509* SslContext::certificate() const noexcept {
    return _ctx ? SSL_CTX_get0_certificate(_ctx) : nullptr;
}

void SslContext::build(const SslContextOptions& options, bool server, bool verifyPeer, bool verifyServerName) {
    SslLibrary::initialize();
    if (_ctx != nullptr) fail("SslContext already initialized");
    _server = server;

    std::uint32_t versions = options.sslVersions;
    if (SslLibrary::fipsMode()) versions &= ~SslVersion::SSL3;
    if (versions == 0) fail("No compatible SSL versions requested, can't set up SslContext");

    ERR_clear_error();
    _ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (_ctx == nullptr) fail("Can't set up SslContext " + SslLibrary::drainErrorQueue());

    if (!server) {
        _verifyServerName = verifyServerName;
        if (!SSL_CTX_set_ex_data(_ctx, SslLibrary::ctxVerifyNameIndex(), &_verifyServerName)) {
            fail("Could not store sslVerifyServerName into SSL context " + SslLibrary::drainErrorQueue());
        }
    }

    // Protocol and compression options. SSL 2 is always refused (this
    // library has no SSL 2 at all, so its option is 0). Versions that are
    // asked for have their disabling option cleared explicitly, overriding
    // any library default.
    uint64_t disable = SSL_OP_NO_SSLv2;
    uint64_t enable = 0;
    const struct {
        std::uint32_t bit;
        uint64_t option;
    } versionOptions[] = {{SslVersion::SSL3, SSL_OP_NO_SSLv3},
                          {SslVersion::TLS1_0, SSL_OP_NO_TLSv1},
                          {SslVersion::TLS1_1, SSL_OP_NO_TLSv1_1},
                          {SslVersion::TLS1_2, SSL_OP_NO_TLSv1_2},
                          {SslVersion::TLS1_3, SSL_OP_NO_TLSv1_3}};
    for (const auto& v : versionOptions) (versions & v.bit ? enable : disable) |= v.option;
    (options.useCompression ? enable : disable) |= SSL_OP_NO_COMPRESSION;
    SSL_CTX_set_options(_ctx, disable);
    SSL_CTX_clear_options(_ctx, enable);

    if (!options.cipherSuite.empty()) {
        if (SSL_CTX_set_cipher_list(_ctx, options.cipherSuite.c_str()) != 1) {
            ERR_clear_error();
            fail("Could not create SSL context, Invalid _cipherSuite specified");
        }
        _cipherList = options.cipherSuite;
    }
    if (!options.cipherSuitesTls13.empty() && SSL_CTX_set_ciphersuites(_ctx, options.cipherSuitesTls13.c_str()) != 1) {
        ERR_clear_error();
        fail("Could not create SSL context, Invalid cipherSuitesTls13 specified");
    }

    _commonNameToCheck = options.commonNameToCheck;
    _altNameToCheck = options.altNameToCheck;
    _verifyPeer = verifyPeer;

    if (_verifyPeer) {
        if (server) {
            SSL_CTX_set_verify(_ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE,
                               SslLibrary::serverContextVerifyHook());
        } else {
            SSL_CTX_set_verify(_ctx, SSL_VERIFY_PEER, SslLibrary::clientContextVerifyHook());
        }
        s_log.debug("X509 %s certificate verification enabled", server ? "server" : "client");
    }

    // The pass phrase must be in place before any PEM key is read. The
    // callback is installed even without one: the library's own fallback
    // would ask on the terminal and block the start; an empty phrase simply
    // fails an encrypted key ("Can't read key file").
    _passPhrase = options.privateKeyPassword;
    SSL_CTX_set_default_passwd_cb(_ctx, &passPhraseCallback);
    SSL_CTX_set_default_passwd_cb_userdata(_ctx, &_passPhrase);

    ERR_clear_error();
    bool haveCert =
        !options.certFile.empty() && SSL_CTX_use_certificate_chain_file(_ctx, options.certFile.c_str()) == 1;
    if (!haveCert && !options.caCertFile.empty()) {
        haveCert = SSL_CTX_use_certificate_chain_file(_ctx, options.caCertFile.c_str()) == 1;
    }
    if (!haveCert) {
        if (server) fail("Can't read certificate file " + options.certFile + " " + SslLibrary::drainErrorQueue());
        if (_verifyPeer) {
            fail("Can't read ca certificate file " + options.caCertFile + " " + SslLibrary::drainErrorQueue());
        }
        ERR_clear_error();
    }

    if (!options.privateKeyFile.empty()) {
        if (SSL_CTX_use_PrivateKey_file(_ctx, options.privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            fail("Can't read key file " + options.privateKeyFile + " " + SslLibrary::drainErrorQueue());
        }
    }

    loadTrustStores(options, server);
    applyCurves(options.ecdhCurves, server);
}

void SslContext::loadTrustStores(const SslContextOptions& options, bool server) {
    std::string caFile = options.caCertFile;
    if (options.rootCAPathHonoredOnWindows && !options.rootCAPath.empty()) {
        std::error_code ec;
        if (!std::filesystem::exists(options.rootCAPath, ec))
            fail("sslRootCAPath " + options.rootCAPath + " not found");
        if (!std::filesystem::is_regular_file(options.rootCAPath, ec)) {
            fail("sslRootCAPath " + options.rootCAPath + " is not a regular file");
        }
        if (!options.caCertFile.empty()) {
            s_log.debug("Trusting Root CAs specified through 'sslRootCAPath' (%s) and ignoring the file: '%s'.",
                        options.rootCAPath.c_str(), options.caCertFile.c_str());
        }
        caFile = options.rootCAPath;
    }

    bool useMorvex = false;
    bool useOs = false;
    if (SslLibrary::commonCriteriaMode()) {
        useOs = true;
    } else {
        for (const std::string& name : splitCommas(options.caTrustStore)) {
            const std::string n = lower(name);
            useMorvex = useMorvex || n == "morvex";
            useOs = useOs || n == "os";
        }
        if (!useMorvex && !useOs) {
            s_log.warn("Could not interpret contents of caTrustStore. Defaulting to 'morvex'");
            useMorvex = true;
        }
    }

    if (useMorvex) {
        s_log.debug("Loading Morvex trust store from file=%s", caFile.c_str());
        if (!caFile.empty()) {
            bool ok = SSL_CTX_load_verify_locations(_ctx, caFile.c_str(), nullptr) == 1;
            if (ok && server) {
                STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(caFile.c_str());
                ok = names != nullptr;
                if (ok) SSL_CTX_set_client_CA_list(_ctx, names);
            }
            if (!ok) {
                s_log.error("can't load CA certificates from %s %s", caFile.c_str(),
                            SslLibrary::drainErrorQueue().c_str());
                fail("Failed to load Morvex trust store from file=\"" + caFile + "\"");
            }
        }
    }
    if (useOs) {
        s_log.debug("Loading Windows OS trust store ");
        if (!loadOsTrustStore(server)) {
            fail(SslLibrary::commonCriteriaMode() ? "Failed to load Windows OS trust store in Common Critiera mode"
                                                  : "Failed to load Windows OS trust store");
        }
    }
    s_log.debug("Total number of certificates in all trust stores: %d", storeCount(_ctx));
}

bool SslContext::loadOsTrustStore(bool server) {
    std::FILE* file = std::fopen(kOsTrustStoreFile, "r");
    if (file == nullptr) {
        s_log.error("Failed to open Windows certificate store. ErrorCode = %d", errno);
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_fp(file, BIO_CLOSE), &BIO_free);
    if (!bio) {
        std::fclose(file);
        s_log.error("Failed to open Windows certificate store. ErrorCode = %d", ENOMEM);
        return false;
    }
    X509_STORE* store = SSL_CTX_get_cert_store(_ctx);
    s_log.debug("Total number of certs in SSL_CTX trust store before OS trust store addition: %d", storeCount(_ctx));
    ERR_clear_error();
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        const std::string subject = x509SubjectText(cert);
        if (X509_STORE_add_cert(store, cert) != 1) {
            s_log.error("Failed to add X509 Certificate with Subject Name: %s to X509_STORE", subject.c_str());
            ERR_clear_error();
        } else if (server && SSL_CTX_add_client_CA(_ctx, cert) != 1) {
            s_log.error("Failed to add X509 Certificate with Subject Name: %s to X509_NAME stack", subject.c_str());
            ERR_clear_error();
        } else {
            s_log.debug("Added X509 Certificate with Subject Name: %s", subject.c_str());
        }
        X509_free(cert);
    }
    // The loop ends at the end of the file (a "no start line" error) or at a
    // certificate that does not parse.
    const unsigned long err = ERR_peek_last_error();
    if (err != 0 && ERR_GET_REASON(err) != PEM_R_NO_START_LINE) {
        s_log.error("Failed to read X509 certificate due to error: %s", SslLibrary::errorText(err).c_str());
    }
    ERR_clear_error();
    s_log.debug("Total number of certs in SSL_CTX trust store after OS trust store addition: %d", storeCount(_ctx));
    return true;
}

void SslContext::applyCurves(const std::string& curves, bool) {
    std::string accepted;
    for (const std::string& name : splitCommas(curves)) {
        // The library is the judge of curve names: try each one alone, as
        // written first (it knows "P-256" but not "p-256"), then in lower
        // case ("PRIME256V1").
        std::string n = name;
        if (SSL_CTX_set1_groups_list(_ctx, n.c_str()) != 1) {
            ERR_clear_error();
            n = lower(name);
            if (SSL_CTX_set1_groups_list(_ctx, n.c_str()) != 1) {
                ERR_clear_error();
                s_log.warn("Will not add this curve, Invalid curve name %s", name.c_str());
                continue;
            }
        }
        if (!accepted.empty()) accepted += ':';
        accepted += n;
    }
    _curveList = accepted;
    if (!accepted.empty()) {
        // Servers pick the shared curve automatically in this library version.
        SSL_CTX_set1_groups_list(_ctx, accepted.c_str());
    } else if (!curves.empty()) {
        // Every name was refused: restore the library's default groups.
        s_log.warn("No curve of ecdhCurves (%s) is usable; using the TLS library's default curves", curves.c_str());
        SSL_CTX_set1_groups_list(_ctx, "x25519:secp256r1:x448:secp521r1:secp384r1");
        ERR_clear_error();
    }
}

void SslContext::setAllowRenegotiation(bool allow) noexcept {
    _allowRenegotiation = allow;
    if (_ctx == nullptr || !_server) return;
    // Refused renegotiation is refused by the library itself (a
    // no_renegotiation alert), so a client cannot even start one; the
    // session's info callback stays as a second line.
    if (allow) {
        SSL_CTX_clear_options(_ctx, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_options(_ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    } else {
        SSL_CTX_clear_options(_ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
        SSL_CTX_set_options(_ctx, SSL_OP_NO_RENEGOTIATION);
    }
}

void SslContext::applyServerSettings(const SslServerContextOptions& options) {
    const std::int64_t timeoutMs = SslLibrary::serverSessionTimeoutMs();
    if (timeoutMs > kDefaultServerSessionTimeoutMs) {
        SSL_CTX_set_timeout(_ctx, static_cast<long>((timeoutMs + 999) / 1000));
    } else if (timeoutMs == 0) {
        // 0 means no resumption at all: no session cache, and no tickets,
        // which would otherwise resume without it (TLS 1.2 tickets, TLS 1.3
        // stateless tickets).
        SSL_CTX_set_session_cache_mode(_ctx, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(_ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(_ctx, 0);
    }
    SSL_CTX_set_tlsext_servername_callback(_ctx, &SslSession::serverNameCallback);
    if (options.honorCipherOrder) SSL_CTX_set_options(_ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (!options.dhFile.empty() && !loadDhParameters(options.dhFile)) {
        s_log.error("Diffie-Hellman ciphers will not be enabled.");
    }
}

bool SslContext::loadDhParameters(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        if (errno == ENOENT) {
            s_log.error("DH file not found: %s", path.c_str());
        } else {
            s_log.error("Couldn't open DH file: %s. Check file permissions.", path.c_str());
        }
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_fp(file, BIO_CLOSE), &BIO_free);
    if (!bio) {
        std::fclose(file);
        s_log.error("Failed to allocate BIO buffer to read DH file: %s", path.c_str());
        return false;
    }
    EVP_PKEY* dh = PEM_read_bio_Parameters(bio.get(), nullptr);
    if (dh == nullptr || EVP_PKEY_get_base_id(dh) != EVP_PKEY_DH) {
        EVP_PKEY_free(dh);
        ERR_clear_error();
        s_log.error("Failed to load DHParams from %s. Ensure file is a valid DH Param file in the PEM format.",
                    path.c_str());
        return false;
    }
    const int bits = EVP_PKEY_get_bits(dh);
    if (bits < 2048) {
        EVP_PKEY_free(dh);
        s_log.error("DH parameter size = %dis too small (read from file: %s), needs to be at least 2048 bits.", bits,
                    path.c_str());
        return false;
    }
    if (SSL_CTX_set0_tmp_dh_pkey(_ctx, dh) != 1) {  // takes ownership on success only
        EVP_PKEY_free(dh);
        s_log.error("Couldn't set DH parameters for SSL context using DH file: %s: %s", path.c_str(),
                    SslLibrary::drainErrorQueue().c_str());
        return false;
    }
    s_log.info("Successfully set parameters for SSL context using DH file: %s", path.c_str());
    return true;
}

struct SharedSslServerContext::Shared {
    explicit Shared(SslServerContextOptions&& o) : options(std::move(o)) {}
    SslServerContextOptions options;
    SslContext context;
};

SharedSslServerContext SharedSslServerContext::create(SslServerContextOptions&& options) {
    auto shared = std::make_shared<Shared>(std::move(options));
    shared->context.initServer(shared->options);  // takes allowSslRenegotiation
    SharedSslServerContext handle;
    handle._shared = std::move(shared);
    handle._valid = true;
    return handle;
}

const SslContext& SharedSslServerContext::context() const noexcept {
    return _shared->context;
}
const SslServerContextOptions& SharedSslServerContext::options() const noexcept {
    return _shared->options;
}

std::string certificateInfoLine(const std::string& channel, X509* cert) {
    std::string line = "channel=" + channel + ", subject=\"" + x509SubjectText(cert) + "\", subjectAltName=\"" +
                       joinNames(x509DnsAltNames(cert)) + "\", serial=";
    if (BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr)) {
        if (char* dec = BN_bn2dec(bn)) {
            line += dec;
            OPENSSL_free(dec);
        }
        BN_free(bn);
    }
    line += ", notValidBefore=" + asn1TimeText(X509_get0_notBefore(cert));
    line += ", notValidAfter=" + asn1TimeText(X509_get0_notAfter(cert));
    line += ", issuer=\"" + x509IssuerText(cert) + "\", sha256-fingerprint=";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_digest(cert, EVP_sha256(), md, &mdLen) == 1) {
        static const char hex[] = "0123456789ABCDEF";
        for (unsigned i = 0; i < mdLen; ++i) {
            if (i) line += ':';
            line += hex[md[i] >> 4];
            line += hex[md[i] & 15];
        }
    }
    return line;
}

bool initializeProxySslContext(SslServerContextOptions&& options, SharedSslServerContext& handle) {
    static Logger s_proxyLog("TLSProxy");
    s_proxyLog.info("Initializing SSL Context");
    std::string failure;
    try {
        handle = SharedSslServerContext::create(std::move(options));
    } catch (const SslInitException& e) {
        failure = std::string("Exception: ") + e.what();
    } catch (const BaseException& e) {  // FIPS start-up failure
        failure = std::string("Exception: ") + e.what();
    }
    if (!failure.empty()) {
        s_proxyLog.error("Error setting up SSL for the TLS proxy server. %s", failure.c_str());
        handle = SharedSslServerContext();
        return false;
    }
    s_proxyLog.debug("Fetching certificate loaded into sslContext");
    X509* cert = handle.context().certificate();
    if (cert == nullptr) {
        s_proxyLog.error("No valid cert found in sslContext");
    } else {
        s_proxyLog.info("%s", certificateInfoLine("TLSProxyServer", cert).c_str());
    }
    return true;
}

}  // namespace morvex
