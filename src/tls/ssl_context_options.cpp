#include "tls/ssl_context_options.h"

#include <ostream>
#include <sstream>
#include <utility>

namespace morvex {

namespace {

const char* boolText(bool b) {
    return b ? "true" : "false";
}

// Moves a string and leaves the source empty (a plain move does not promise that).
std::string take(std::string& s) {
    return std::exchange(s, std::string());
}

}  // namespace

SSLOptionsException::SSLOptionsException(const std::string& keyPath, const std::string& value,
                                         const std::string& reason)
    : BaseException(keyPath + " (" + value + "): " + reason + "; may not be able to use SSL") {}

SslContextOptions::SslContextOptions(SslContextOptions&& o) noexcept
    : rootCAPath(take(o.rootCAPath)),
      rootCAPathHonoredOnWindows(o.rootCAPathHonoredOnWindows),
      caCertFile(take(o.caCertFile)),
      certFile(take(o.certFile)),
      privateKeyFile(take(o.privateKeyFile)),
      privateKeyPassword(take(o.privateKeyPassword)),
      commonNameToCheck(take(o.commonNameToCheck)),
      altNameToCheck(take(o.altNameToCheck)),
      allowSslRenegotiation(o.allowSslRenegotiation),
      sslVersions(o.sslVersions),
      cipherSuite(take(o.cipherSuite)),
      ecdhCurves(take(o.ecdhCurves)),
      useCompression(o.useCompression),
      quietShutdown(o.quietShutdown),
      logCertificateData(o.logCertificateData),
      maxCertlogCacheEntries(o.maxCertlogCacheEntries),
      certLogRepeatFrequency(o.certLogRepeatFrequency),
      caTrustStore(take(o.caTrustStore)),
      caTrustStorePath(take(o.caTrustStorePath)),
      useSSL(o.useSSL),
      certStatusValidationMethod(o.certStatusValidationMethod),
      cipherSuitesTls13(take(o.cipherSuitesTls13)) {}

SslContextOptions& SslContextOptions::operator=(SslContextOptions&& o) noexcept {
    if (this == &o) return *this;
    rootCAPath = take(o.rootCAPath);
    rootCAPathHonoredOnWindows = o.rootCAPathHonoredOnWindows;
    caCertFile = take(o.caCertFile);
    certFile = take(o.certFile);
    privateKeyFile = take(o.privateKeyFile);
    privateKeyPassword = take(o.privateKeyPassword);
    commonNameToCheck = take(o.commonNameToCheck);
    altNameToCheck = take(o.altNameToCheck);
    allowSslRenegotiation = o.allowSslRenegotiation;
    sslVersions = o.sslVersions;
    cipherSuite = take(o.cipherSuite);
    ecdhCurves = take(o.ecdhCurves);
    useCompression = o.useCompression;
    quietShutdown = o.quietShutdown;
    logCertificateData = o.logCertificateData;
    maxCertlogCacheEntries = o.maxCertlogCacheEntries;
    certLogRepeatFrequency = o.certLogRepeatFrequency;
    caTrustStore = take(o.caTrustStore);
    caTrustStorePath = take(o.caTrustStorePath);
    useSSL = o.useSSL;
    certStatusValidationMethod = o.certStatusValidationMethod;
    cipherSuitesTls13 = take(o.cipherSuitesTls13);
    return *this;
}

SslContextOptions::~SslContextOptions() = default;

SslServerContextOptions::SslServerContextOptions(SslServerContextOptions&& o) noexcept
    : SslContextOptions(std::move(o)),
      dhFile(take(o.dhFile)),
      shouldVerifyClientCert(o.shouldVerifyClientCert),
      sslServerSessionTimeout(o.sslServerSessionTimeout),
      sslServerHandshakeTimeout(o.sslServerHandshakeTimeout),
      honorCipherOrder(o.honorCipherOrder) {}

SslServerContextOptions& SslServerContextOptions::operator=(SslServerContextOptions&& o) noexcept {
    if (this == &o) return *this;
    SslContextOptions::operator=(std::move(o));
    dhFile = take(o.dhFile);
    shouldVerifyClientCert = o.shouldVerifyClientCert;
    sslServerSessionTimeout = o.sslServerSessionTimeout;
    sslServerHandshakeTimeout = o.sslServerHandshakeTimeout;
    honorCipherOrder = o.honorCipherOrder;
    return *this;
}

SslServerContextOptions::~SslServerContextOptions() = default;

SslClientContextOptions::SslClientContextOptions(SslClientContextOptions&& o) noexcept
    : SslContextOptions(std::move(o)),
      shouldVerifyServerCert(o.shouldVerifyServerCert),
      shouldVerifyServerName(o.shouldVerifyServerName),
      sslClientSessionPath(take(o.sslClientSessionPath)),
      useSslClientSessionCache(o.useSslClientSessionCache) {}

SslClientContextOptions& SslClientContextOptions::operator=(SslClientContextOptions&& o) noexcept {
    if (this == &o) return *this;
    SslContextOptions::operator=(std::move(o));
    shouldVerifyServerCert = o.shouldVerifyServerCert;
    shouldVerifyServerName = o.shouldVerifyServerName;
    sslClientSessionPath = take(o.sslClientSessionPath);
    useSslClientSessionCache = o.useSslClientSessionCache;
    return *this;
}

SslClientContextOptions::~SslClientContextOptions() = default;

std::string sslVersionsToString(std::uint32_t versions) {
    static const std::pair<std::uint32_t, const char*> kNames[] = {
        {SslVersion::SSL2, "SSL2"},     {SslVersion::SSL3, "SSL3"},     {SslVersion::TLS1_0, "TLS1.0"},
        {SslVersion::TLS1_1, "TLS1.1"}, {SslVersion::TLS1_2, "TLS1.2"}, {SslVersion::TLS1_3, "TLS1.3"},
    };
    std::string out;
    for (const auto& [bit, name] : kNames) {
        if (!(versions & bit)) continue;
        if (!out.empty()) out += ',';
        out += name;
    }
    return out;
}

std::string toString(SslContextOptions::SSLConnection value) {
    switch (value) {
        case SslContextOptions::SSLConnection::False:
            return "false";
        case SslContextOptions::SSLConnection::True:
            return "true";
        case SslContextOptions::SSLConnection::Legacy:
            return "legacy";
    }
    return "unknown value (" + std::to_string(static_cast<std::int32_t>(value)) +
           ") for SslContextOptions::SSLConnection";
}

std::string toString(SslContextOptions::CertStatusValidationMethod value) {
    switch (value) {
        case SslContextOptions::CertStatusValidationMethod::None:
            return "none";
        case SslContextOptions::CertStatusValidationMethod::Crl:
            return "crl";
    }
    return "unknown value (" + std::to_string(static_cast<std::uint32_t>(value)) + ")";
}

void SslContextOptions::writeCommonFields(std::ostream& out) const {
    out << "rootCAPath=" << rootCAPath << ", rootCAPathHonoredOnWindows=" << boolText(rootCAPathHonoredOnWindows)
        << ", caCertFile=" << caCertFile << ", certFile=" << certFile << ", privateKeyFile=" << privateKeyFile
        << ", privateKeyPassword_set=" << boolText(!privateKeyPassword.empty())
        << ", commonNameToCheck=" << commonNameToCheck << ", altNameToCheck=" << altNameToCheck
        << ", allowSslRenegotiation=" << boolText(allowSslRenegotiation)
        << ", sslVersions=" << sslVersionsToString(sslVersions) << ", cipherSuite=" << cipherSuite
        << ", ecdhCurves=" << ecdhCurves << ", useCompression=" << boolText(useCompression)
        << ", quietShutdown=" << boolText(quietShutdown) << ", logCertificateData=" << boolText(logCertificateData)
        << ", maxCertlogCacheEntries=" << maxCertlogCacheEntries
        << ", certLogRepeatFrequency=" << certLogRepeatFrequency << ", caTrustStore=" << caTrustStore
        << ", caTrustStorePath=" << caTrustStorePath << ", useSSL=" << toString(useSSL)
        << ", certStatusValidationMethod=" << toString(certStatusValidationMethod)
        << ", cipherSuitesTls13=" << cipherSuitesTls13;
}

std::string SslServerContextOptions::toString() const {
    std::ostringstream out;
    out << '{';
    writeCommonFields(out);
    out << ", dhFile=" << dhFile << ", shouldVerifyClientCert=" << boolText(shouldVerifyClientCert)
        << ", honorCipherOrder=" << boolText(honorCipherOrder) << '}';
    return out.str();
}

std::string SslClientContextOptions::toString() const {
    std::ostringstream out;
    out << '{';
    writeCommonFields(out);
    out << ", shouldVerifyServerCert=" << boolText(shouldVerifyServerCert)
        << ", shouldVerifyServerName=" << boolText(shouldVerifyServerName) << '}';
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const SslServerContextOptions& options) {
    return out << options.toString();
}

std::ostream& operator<<(std::ostream& out, const SslClientContextOptions& options) {
    return out << options.toString();
}

}  // namespace morvex
