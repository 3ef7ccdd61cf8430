// HttpRequestFraming: tells where each HTTP/1.x request of the daemon's
// stream begins and ends, however the bytes were cut into deliveries. It
// never changes a byte: the head (request line and headers, with any blank
// lines before it) is collected whole so that it can be checked before
// anything is sent, and the body (by Content-Length or chunked coding with
// its trailers) is handed on in the pieces it arrived in.
//
// A stream it cannot follow (a head past the size limits, a malformed length
// or chunk line, a transfer coding other than a final "chunked") is an error
// from which it does not recover: where the next request starts is unknown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex {

class HttpRequestFraming {
public:
    // Same limits as the request reader: the request line and header lines
    // together (without line ends) and the number of headers.
    static constexpr std::size_t kMaxHeadBytes = 512000;
    static constexpr std::size_t kMaxHeaders = 200;
    static constexpr int kMaxLeadingEmptyLines = 100;
    // A chunk-size line (with extensions) or trailer line longer than this
    // is not followed.
    static constexpr std::size_t kMaxChunkLine = 16384;

    enum class Kind : std::uint8_t {
        NeedMore,  // every byte offered was taken; more are needed
        Head,      // a head is whole: head() holds it
        Body,      // the first `used` bytes offered are body bytes
        End,       // the current request ended (used is 0)
        Error,     // the stream cannot be followed: errorText()
    };
    struct Step {
        Kind kind;
        std::size_t used;  // bytes taken from the front of what was offered
    };

    // Takes bytes from the front of data (n may be 0). Call again with the
    // rest until NeedMore (or Error, after which it only repeats Error).
    Step next(const char* data, std::size_t n);

    // After Head: the head's bytes, exactly as received.
    const std::string& head() const noexcept { return _head; }
    std::string takeHead() noexcept { return std::move(_head); }
    // After Head: the request line starts with "HEAD " (the method is
    // case-sensitive: only this request gets an answer without a body).
    bool headMethod() const noexcept { return _headMethod; }
    // After Head: whether a body follows, and how it is framed.
    bool chunked() const noexcept { return _chunked; }
    std::uint64_t contentLength() const noexcept { return _contentLength; }

    // The refusal reason for an Error, in the request reader's words.
    const std::string& errorText() const noexcept { return _error; }
    // No byte of a next request has been taken yet.
    bool betweenRequests() const noexcept { return _state == State::Start && _head.empty(); }
    // The request's last byte was taken: the next step is its End, which
    // takes no byte.
    bool endPending() const noexcept { return _state == State::Ended; }

private:
    enum class State : std::uint8_t {
        Start,  // blank lines, then the request line
        Headers,
        Ended,  // head without body, or body done: report End
        Body,   // Content-Length bytes
        ChunkSize,
        ChunkData,
        ChunkDataEnd,  // the CR LF after a chunk's data
        Trailers,
        Failed,
    };

    Step headBytes(const char* data, std::size_t n);
    // One whole head line (without its LF, CR kept); false on an error.
    bool headLine(std::string_view line);
    bool headerField(std::string_view line);
    void headDone();
    // Body states that work line by line (chunk size, chunk end, trailers).
    bool chunkLine(std::string_view line);
    Step fail(const char* reason);
    void reset();

    State _state = State::Start;
    std::string _head;
    std::size_t _lineStart = 0;  // where the head's current line begins
    int _emptyLines = 0;
    std::size_t _headBytes = 0;  // line bytes counted against kMaxHeadBytes
    std::size_t _headers = 0;
    bool _requestLineSeen = false;
    bool _lastWasLengthField = false;  // for folded lines
    bool _headMethod = false;
    bool _chunked = false;
    bool _haveLength = false;
    bool _codingError = false;
    std::uint64_t _contentLength = 0;
    std::uint64_t _remaining = 0;
    std::string _line;  // a chunk-size line being collected
    std::string _error;
};

}  // namespace morvex
