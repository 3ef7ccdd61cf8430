#include "tlsd/http_request_reader.h"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

std::string request(const std::string& requestLine, const std::string& headers) {
    return requestLine + "\r\n" + headers + "\r\n";
}

const std::string kGoodHeaders =
    "Host: example.com:8443\r\nx-morvex-request-type: Telemetry\r\nx-morvex-tlsproxy-token: secret\r\n";

std::string errorOf(const HttpRequestReader::Result& r) {
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string("<metadata>");
}

TEST(HttpRequestReader, ExtractsMethodHostTypeAndToken) {
    auto r = HttpRequestReader::read(request("get /x HTTP/1.1", kGoodHeaders) + "body bytes are not parsed");
    ASSERT_TRUE(std::holds_alternative<RequestMetadata>(r)) << errorOf(r);
    const auto& m = std::get<RequestMetadata>(r);
    EXPECT_EQ("GET", m.httpMethod);
    EXPECT_EQ("example.com", m.hostPort.host);
    EXPECT_EQ(8443u, m.hostPort.port);
    EXPECT_EQ(ClientRequestType::Telemetry, m.type);
    EXPECT_EQ("secret", m.token);
    EXPECT_EQ("request type=Telemetry, hostPort=example.com:8443, httpMethod=GET", toString(m));

    // Bare LF line ends, header names in any case, leading empty lines, a
    // missing token (empty), the two-word request line for GET.
    auto r2 = HttpRequestReader::read("\n\r\nGET /\nHOST: h\nX-Morvex-Request-Type: Morvexd\n\n");
    ASSERT_TRUE(std::holds_alternative<RequestMetadata>(r2)) << errorOf(r2);
    EXPECT_EQ(443u, std::get<RequestMetadata>(r2).hostPort.port);
    EXPECT_EQ("", std::get<RequestMetadata>(r2).token);
}

TEST(HttpRequestReader, RefusalsCarryTheirTexts) {
    const std::string ex = "Had exception when parsing received request: ";
    EXPECT_EQ(ex + "Not Implemented",
              errorOf(HttpRequestReader::read(request("CONNECT h:443 HTTP/1.1", kGoodHeaders))));
    EXPECT_EQ(ex + "Bad Request", errorOf(HttpRequestReader::read(request("POST /", kGoodHeaders))));
    EXPECT_EQ(ex + "Bad Request", errorOf(HttpRequestReader::read(request("GET", kGoodHeaders))));
    EXPECT_EQ(ex + "Bad Request", errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "no colon here\r\n"))));
    EXPECT_EQ(ex + "Bad Request",
              errorOf(HttpRequestReader::read(std::string(101, '\n') + request("GET / HTTP/1.1", kGoodHeaders))));
    EXPECT_TRUE(std::holds_alternative<RequestMetadata>(
        HttpRequestReader::read(std::string(100, '\n') + request("GET / HTTP/1.1", kGoodHeaders))));

    // Cut before the empty line: the first half of a split request.
    std::string whole = request("GET / HTTP/1.1", kGoodHeaders);
    EXPECT_EQ("Failed to parse received request", errorOf(HttpRequestReader::read(whole.substr(0, whole.size() - 2))));
    EXPECT_EQ("Failed to parse received request", errorOf(HttpRequestReader::read("")));

    EXPECT_EQ(
        "Failed to parse Client Request type or invalid Client Request type",
        errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "Host: h\r\nx-morvex-request-type: telemetry\r\n"))));
    EXPECT_EQ("Failed to parse Client Request type or invalid Client Request type",
              errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "Host: h\r\n"))));
    EXPECT_EQ(
        "Failed to parse Host header or invalid Host header found in request: h:0",
        errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "Host: h:0\r\nx-morvex-request-type: Morvexd\r\n"))));
    EXPECT_EQ("Failed to parse Host header or invalid Host header found in request: ",
              errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "x-morvex-request-type: Morvexd\r\n"))));
}

TEST(HttpRequestReader, SizeLimits) {
    std::string big(HttpRequestReader::kMaxHeaderBytes, 'a');
    EXPECT_EQ("Had exception when parsing received request: Request-URI Too Long",
              errorOf(HttpRequestReader::read(request("GET /" + big + " HTTP/1.1", kGoodHeaders))));
    EXPECT_EQ("Had exception when parsing received request: Request Entity Too Large",
              errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", "X-Big: " + big + "\r\n" + kGoodHeaders))));
    std::string many;
    for (int i = 0; i < 200; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ("Had exception when parsing received request: Request Entity Too Large",
              errorOf(HttpRequestReader::read(request("GET / HTTP/1.1", many + kGoodHeaders))));
    many.resize(many.size() - std::string("X-199: v\r\nX-198: v\r\nX-197: v\r\n").size());
    EXPECT_TRUE(std::holds_alternative<RequestMetadata>(
        HttpRequestReader::read(request("GET / HTTP/1.1", many + kGoodHeaders))));
}

TEST(HttpRequestReader, HostHeaderForms) {
    struct Case {
        const char* value;
        bool ok;
        const char* host;
        unsigned port;
    } cases[] = {
        {"example.com", true, "example.com", 443},
        {"Example.COM.", true, "Example.COM.", 443},
        {"h:65535", true, "h", 65535},
        {"h:65536", false, "", 0},
        {"h:0", false, "", 0},
        {"h:", false, "", 0},
        {":80", false, "", 0},
        {"[::1]", true, "::1", 443},
        {"[::1]:8089", true, "::1", 8089},
        {"[]", false, "", 0},
        {"10.1.2.3:80", true, "10.1.2.3", 80},
        {"a_b-c.d", true, "a_b-c.d", 443},
        {"-a", false, "", 0},
        {"a-", false, "", 0},
        {"a.-b", false, "", 0},
        {"a-.b", false, "", 0},
        {"a..b", false, "", 0},
        {"a%41b", false, "", 0},
        {"a b", false, "", 0},
    };
    for (const auto& c : cases) {
        HostPort hp;
        EXPECT_EQ(c.ok, HttpRequestReader::parseHostHeader(c.value, hp)) << c.value;
        if (c.ok) {
            EXPECT_EQ(c.host, hp.host) << c.value;
            EXPECT_EQ(c.port, hp.port) << c.value;
        }
    }
}

}  // namespace
}  // namespace morvex
