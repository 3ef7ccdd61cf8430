// The request reader over one data delivery, the Host header forms, the
// request metadata's printed form and the SNI name derived from a host.
//
// Invariants: a request that reads has a known method, one of the five
// request types, a port from 1 to 65535 and a host that, written back as a
// Host value, reads to the same host and port; a refusal carries one of the
// reader's texts; an SNI name is lower-case, without empty labels, and is its
// own SNI name.
#include <string>
#include <variant>

#include "fuzz_support.h"
#include "tlsd/fwd_client_connection.h"
#include "tlsd/http_request_reader.h"
#include "tlsd/request_metadata.h"

namespace {

using morvex::HostPort;
using morvex::HttpRequestReader;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

void checkSni(const std::string& host) {
    const std::string sni = morvex::FwdClientConnection::deriveSni(host);
    if (sni.empty()) return;
    for (char c : sni) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
    FUZZ_CHECK(sni.front() != '.' && sni.back() != '.');
    FUZZ_CHECK(sni.find("..") == std::string::npos);
    FUZZ_CHECK(morvex::FwdClientConnection::deriveSni(sni) == sni);
}

void checkHostPort(const HostPort& hp) {
    FUZZ_CHECK(hp.port >= 1 && hp.port <= 65535);
    FUZZ_CHECK(!hp.host.empty());
    const bool v6 = hp.host.find(':') != std::string::npos;
    const std::string value = (v6 ? "[" + hp.host + "]" : hp.host) + ":" + std::to_string(hp.port);
    HostPort again;
    FUZZ_CHECK(HttpRequestReader::parseHostHeader(value, again));
    FUZZ_CHECK(again.host == hp.host && again.port == hp.port);
    if (hp.port == 443) {
        HostPort noPort;
        FUZZ_CHECK(HttpRequestReader::parseHostHeader(v6 ? "[" + hp.host + "]" : hp.host, noPort));
        FUZZ_CHECK(noPort.host == hp.host && noPort.port == 443);
    }
    checkSni(hp.host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    morvex::fuzz::quietLogging();
    const std::string_view text = morvex::fuzz::asText(data, size);

    HttpRequestReader::Result result = HttpRequestReader::read(text);
    if (const auto* m = std::get_if<morvex::RequestMetadata>(&result)) {
        FUZZ_CHECK(m->httpMethod != "none");
        FUZZ_CHECK(HttpRequestReader::canonicalMethod(m->httpMethod) == m->httpMethod);
        const std::string typeName = morvex::toString(m->type);
        FUZZ_CHECK(morvex::parseClientRequestType(typeName) == m->type);
        checkHostPort(m->hostPort);
        const std::string printed = morvex::toString(*m);
        FUZZ_CHECK(startsWith(printed, "request type=" + typeName + ", hostPort=" + m->hostPort.host + ":"));
    } else {
        const std::string& error = std::get<std::string>(result);
        FUZZ_CHECK(error == "Failed to parse received request" ||
                   error == "Failed to parse Client Request type or invalid Client Request type" ||
                   startsWith(error, "Failed to parse Host header or invalid Host header found in request: ") ||
                   startsWith(error, "Had exception when parsing received request: "));
    }

    // The whole input as a Host value, and its first line.
    for (std::string_view value : {text, text.substr(0, text.find('\n'))}) {
        HostPort hp;
        if (HttpRequestReader::parseHostHeader(value, hp)) checkHostPort(hp);
        checkSni(std::string(value));
    }
    return 0;
}
