// Request framing over a seeded stream of requests (every body framing, blank
// lines between requests), cut into random pieces: the same requests come out
// as from the whole stream, each with exactly its bytes. Then the streams it
// must refuse, from a table.
#include "tlsd/http_request_framing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace morvex {
namespace {

struct Framed {
    std::string head;
    std::string body;
    bool headMethod = false;
    bool ended = false;
};

// Feeds the pieces in order; returns the requests seen (the last one may
// be unfinished) and the error text, if any.
std::vector<Framed> frame(const std::vector<std::string>& pieces, std::string* error = nullptr) {
    HttpRequestFraming framing;
    std::vector<Framed> out;
    for (const std::string& piece : pieces) {
        std::size_t pos = 0;
        for (;;) {
            HttpRequestFraming::Step step = framing.next(piece.data() + pos, piece.size() - pos);
            if (step.kind == HttpRequestFraming::Kind::Error) {
                if (error) *error = framing.errorText();
                return out;
            }
            if (step.kind == HttpRequestFraming::Kind::Head) {
                out.push_back({framing.head(), "", framing.headMethod(), false});
            } else if (step.kind == HttpRequestFraming::Kind::Body) {
                out.back().body.append(piece, pos, step.used);
            } else if (step.kind == HttpRequestFraming::Kind::End) {
                out.back().ended = true;
            }
            pos += step.used;
            if (step.kind == HttpRequestFraming::Kind::NeedMore) {
                EXPECT_EQ(pos, piece.size());
                break;
            }
        }
    }
    return out;
}

std::vector<Framed> randomRequests(std::mt19937& rng, int count) {
    std::vector<Framed> requests;
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int i = 0; i < count; ++i) {
        Framed r;
        r.ended = true;
        std::string blank = pick(4) == 0 ? "\r\n" : "";
        int kind = pick(5);
        const char* method = kind == 0 ? "HEAD" : kind == 1 ? "GET" : "POST";
        r.headMethod = kind == 0;
        r.head = blank + method + " /r" + std::to_string(i) + " HTTP/1.1\r\nHost: h" + std::to_string(i) + ":443\r\n";
        std::string body(static_cast<std::size_t>(pick(3) == 0 ? pick(70000) : pick(300)),
                         'a' + static_cast<char>(i % 26));
        if (kind == 2) {
            r.head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
            r.body = body;
        } else if (kind == 3) {
            r.head += "Transfer-Encoding: gzip, chunked\r\nContent-Length: 3\r\n";
            for (std::size_t at = 0; at < body.size();) {
                std::size_t n = std::min<std::size_t>(body.size() - at, 1 + static_cast<std::size_t>(pick(5000)));
                char size[32];
                std::snprintf(size, sizeof size, pick(2) ? "%zx" : "%zX;ext=1", n);
                r.body += std::string(size) + "\r\n" + body.substr(at, n) + "\r\n";
                at += n;
            }
            r.body += pick(2) ? "0\r\n\r\n" : "0\r\nTrailer: x\r\n\n";
        } else if (kind == 4) {
            r.head += "content-length: 0\r\n";
        }
        r.head += pick(5) == 0 ? "\n" : "\r\n";
        requests.push_back(r);
    }
    return requests;
}

TEST(HttpRequestFraming, PiecesGiveTheSameRequestsAsTheWhole) {
    for (unsigned seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::vector<Framed> expected = randomRequests(rng, 1 + static_cast<int>(rng() % 6));
        std::string stream;
        for (const Framed& r : expected) stream += r.head + r.body;

        std::vector<std::string> pieces;
        for (std::size_t at = 0; at < stream.size();) {
            std::size_t n = seed % 3 == 0 ? 1 : 1 + rng() % 20000;
            pieces.push_back(stream.substr(at, n));
            at += n;
        }
        for (const std::vector<std::string>& input : {std::vector<std::string>{stream}, pieces}) {
            std::vector<Framed> got = frame(input);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].head, expected[i].head) << i;
                EXPECT_EQ(got[i].body, expected[i].body) << i;
                EXPECT_EQ(got[i].headMethod, expected[i].headMethod) << i;
                EXPECT_TRUE(got[i].ended) << i;
            }
        }
    }
}

TEST(HttpRequestFraming, StreamsItCannotFollowAreRefused) {
    const std::string bad = "Had exception when parsing received request: Bad Request";
    const std::string large = "Had exception when parsing received request: Request Entity Too Large";
    const std::string uri = "Had exception when parsing received request: Request-URI Too Long";
    std::string manyHeaders = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 201; ++i) manyHeaders += "X: y\r\n";
    struct Case {
        std::string stream;
        std::string error;  // empty: framed without error
    } cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", bad},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", bad},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", ""},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\n 4\r\n\r\n", bad},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", bad},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", bad},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", bad},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(20000, '1'), bad},
        {std::string(101, '\n') + "GET / HTTP/1.1\r\n\r\n", bad},
        {std::string(100, '\n') + "GET / HTTP/1.1\r\n\r\n", ""},
        {"GET /" + std::string(HttpRequestFraming::kMaxHeadBytes, 'u'), uri},
        {"GET / HTTP/1.1\r\nX: " + std::string(HttpRequestFraming::kMaxHeadBytes, 'v'), large},
        {manyHeaders + "\r\n", large},
    };
    for (const Case& c : cases) {
        std::string error;
        std::vector<Framed> got = frame({c.stream}, &error);
        EXPECT_EQ(error, c.error) << c.stream.substr(0, 80);
        if (c.error.empty()) {
            EXPECT_EQ(got.size(), 1u) << c.stream.substr(0, 80);
        }
    }
}

}  // namespace
}  // namespace morvex
