#include "tlsd/http_response_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvex {
namespace {

struct Case {
    const char* name;
    bool head;
    std::string answer;  // the whole answer
    std::string after;   // bytes that follow it on the connection
    bool complete;       // false: the answer lasts until the connection ends
};

std::vector<Case> cases() {
    std::string body(20000, 'b');
    return {
        {"content length", false, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 200", true},
        {"large body", false, "HTTP/1.1 200 OK\r\ncontent-length:20000\r\n\r\n" + body, "x", true},
        {"zero length", false, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "junk", true},
        {"chunked with extensions and trailers", false,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n5;ext=1\r\nhello\r\n1A \r\n"
         "abcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: t\r\n\r\n",
         "next", true},
        {"head answer carries a length but no body", true, "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", "", true},
        {"204 and 304 have no body", false, "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", "", true},
        {"304", false, "HTTP/1.1 304 Not Modified\r\n\r\n", "", true},
        {"interim answers precede the final one", false,
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         "", true},
        {"bare LF line ends", false, "HTTP/1.1 200 OK\nContent-Length: 3\n\nabc", "", true},
        {"no length: until the connection ends", false, "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nbody", "more", false},
        {"switching protocols", false, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nraw", "", false},
        {"conflicting lengths", false, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello", "",
         false},
        {"coding other than chunked", false, "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nzz", "", false},
        {"not HTTP at all", false, "\x16\x03\x01 binary", "", false},
        {"malformed chunk size", false, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "", false},
        {"header line beyond the limit", false, "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'h') + "\r\n\r\n", "",
         false},
    };
}

// Feeds the text in pieces of the given size; returns how much was taken.
std::size_t feedInPieces(HttpResponseFraming& framing, const std::string& text, std::size_t piece) {
    std::size_t taken = 0;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        std::size_t n = std::min(piece, text.size() - at);
        std::size_t used = framing.feed(text.data() + at, n);
        taken += used;
        if (used < n) break;
    }
    return taken;
}

TEST(HttpResponseFraming, EndsWhereTheAnswerEndsWhateverThePieces) {
    for (const Case& c : cases()) {
        std::string stream = c.answer + c.after;
        for (std::size_t piece : {stream.size() + 1, std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{4096}}) {
            HttpResponseFraming framing(c.head);
            std::size_t taken = feedInPieces(framing, stream, piece);
            SCOPED_TRACE(std::string(c.name) + ", piece " + std::to_string(piece));
            EXPECT_EQ(framing.complete(), c.complete);
            EXPECT_EQ(framing.endsWithConnection(), !c.complete);
            // A complete answer stops exactly at its last byte; otherwise
            // every byte belongs to the answer.
            EXPECT_EQ(taken, c.complete ? c.answer.size() : stream.size());
        }
    }
}

TEST(HttpResponseFraming, IsNotCompleteBeforeTheLastByte) {
    for (const Case& c : cases()) {
        if (!c.complete || c.answer.empty()) continue;
        HttpResponseFraming framing(c.head);
        EXPECT_EQ(framing.feed(c.answer.data(), c.answer.size() - 1), c.answer.size() - 1) << c.name;
        EXPECT_FALSE(framing.complete()) << c.name;
        EXPECT_EQ(framing.feed(c.answer.data() + c.answer.size() - 1, 1), 1u) << c.name;
        EXPECT_TRUE(framing.complete()) << c.name;
        EXPECT_EQ(framing.feed("x", 1), 0u) << c.name;
    }
}

}  // namespace
}  // namespace morvex
