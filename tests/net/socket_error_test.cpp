#include "net/socket_error.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace morvex {
namespace {

TEST(SocketErrorTest, FixedTexts) {
    EXPECT_EQ(SocketError().text(), "No error");
    EXPECT_EQ(SocketError::timeout(0).text(), "Read Timeout");
    EXPECT_EQ(SocketError::timeout(1).text(), "Write Timeout");
    EXPECT_EQ(SocketError::timeout(2).text(), "Connect Timeout");
    EXPECT_EQ(SocketError::timeout(77).text(), "Connect Timeout");
    EXPECT_EQ(SocketError(2, 0).text(), "Connection closed by peer");
    EXPECT_EQ(SocketError(3, 0).text(), "Local side shutting down");
    EXPECT_EQ(SocketError(4, 0).text(), "Uncaught exception");
    EXPECT_EQ(SocketError(5, 10054).text(), "Winsock error 10054");
    EXPECT_EQ(SocketError(6, 1460).text(), "This operation returned because the timeout period expired.");
    EXPECT_EQ(SocketError(8, 0).text(), "Cannot resolve hostname");
    EXPECT_EQ(SocketError(9, 0).text(), "Transaction not started");
    EXPECT_EQ(SocketError(10, 0).text(), "SSL not configured on client");
    EXPECT_EQ(SocketError(11, 0).text(), "SSL certificate check failed");
    EXPECT_EQ(SocketError(0xFFFFFFFFu, 0).text(), "bad SocketError type -1!");
    // A Winsock failure with code 0 is the peer going away.
    EXPECT_EQ(SocketError::winsock(0), SocketError(2, 0));
}

TEST(SocketErrorTest, TlsTextsAndCertificateHint) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    std::uint32_t verifyFailed = ERR_PACK(ERR_LIB_SSL, 0, SSL_R_CERTIFICATE_VERIFY_FAILED);  // reason 134
    std::string t = SocketError(7, verifyFailed).text();
    EXPECT_NE(t.find("certificate verify failed"), std::string::npos) << t;
    EXPECT_NE(t.find(" - please check the output of the `openssl verify` command"), std::string::npos);
    EXPECT_NE(t.find("should not have the same Common Name."), std::string::npos);
    // Kinds from 12 up are TLS errors too; another reason gets no hint.
    std::uint32_t other = ERR_PACK(ERR_LIB_SSL, 0, SSL_R_WRONG_VERSION_NUMBER);
    std::string o = SocketError(12, other).text();
    EXPECT_NE(o.find("wrong version number"), std::string::npos) << o;
    EXPECT_EQ(o.find("please check"), std::string::npos);
    EXPECT_NE(SocketError(7, ERR_PACK(ERR_LIB_SSL, 0, 1048)).text().find("please check"), std::string::npos);
}

}  // namespace
}  // namespace morvex
