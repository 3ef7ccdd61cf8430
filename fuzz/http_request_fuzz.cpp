// The request reader over one head, the request framing over a stream, the
// Host header forms, the request metadata's printed form and the SNI name
// derived from a host.
//
// Invariants: a request that reads has a known method, one of the five
// request types, a port from 1 to 65535 and a host that, written back as a
// Host value, reads to the same host and port; a refusal carries one of the
// reader's texts; an SNI name is lower-case, without empty labels, and is its
// own SNI name. The framing gives the same requests (heads, bodies, ends,
// error) whether the stream comes whole or cut into pieces, and the bytes it
// hands out are exactly the bytes it took.
#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_support.h"
#include "tlsd/fwd_client_connection.h"
#include "tlsd/http_request_framing.h"
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

// What the framing makes of the stream fed in pieces of the given sizes
// (cycled; 0 = the rest): one line per event, and every byte it handed out.
std::string frameInPieces(std::string_view stream, const std::vector<std::size_t>& sizes, std::string& handedOut) {
    morvex::HttpRequestFraming framing;
    std::string events;
    std::string body;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        std::size_t size = sizes.empty() ? 0 : sizes[i % sizes.size()];
        std::string_view piece = stream.substr(at, size == 0 ? std::string_view::npos : size);
        at += piece.size();
        for (std::size_t pos = 0;;) {
            morvex::HttpRequestFraming::Step step = framing.next(piece.data() + pos, piece.size() - pos);
            FUZZ_CHECK(step.used <= piece.size() - pos);
            using Kind = morvex::HttpRequestFraming::Kind;
            if (step.kind == Kind::Error) return events + "error " + framing.errorText();
            if (step.kind == Kind::Head) {
                events += "head " + framing.head() + "\n";
                handedOut += framing.head();
            } else if (step.kind == Kind::Body) {
                body.append(piece.substr(pos, step.used));
                handedOut.append(piece.substr(pos, step.used));
            } else if (step.kind == Kind::End) {
                events += "body " + body + "\nend\n";
                body.clear();
            }
            pos += step.used;
            if (step.kind == Kind::NeedMore) {
                FUZZ_CHECK(pos == piece.size());
                break;
            }
        }
    }
    return events;
}

void checkFraming(std::string_view text) {
    // The first bytes choose where the rest is cut.
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < std::min<std::size_t>(text.size(), 4); ++i) {
        sizes.push_back(1 + static_cast<unsigned char>(text[i]) % 64);
    }
    std::string wholeBytes, pieceBytes;
    const std::string whole = frameInPieces(text, {}, wholeBytes);
    const std::string pieces = frameInPieces(text, sizes, pieceBytes);
    FUZZ_CHECK(whole == pieces);
    // Handed out so far: a prefix of the stream (leading blank lines and
    // unfinished heads are held back, never changed).
    if (whole.find("error ") == std::string::npos) FUZZ_CHECK(text.substr(0, wholeBytes.size()) == wholeBytes);
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

    checkFraming(text);

    // The whole input as a Host value, and its first line.
    for (std::string_view value : {text, text.substr(0, text.find('\n'))}) {
        HostPort hp;
        if (HttpRequestReader::parseHostHeader(value, hp)) checkHostPort(hp);
        checkSni(std::string(value));
    }
    return 0;
}
