// HttpResponseFraming: watches the bytes of one HTTP/1.x answer as they pass
// and tells where the answer ends (Content-Length, chunked coding, or the end
// of the connection; HEAD answers and 1xx, 204 and 304 have no body). It
// never changes or keeps a byte: it only counts, so the relay can release
// the destination connection the moment the answer is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

class HttpResponseFraming {
public:
    // headRequest: the request was HEAD (exactly: methods are
    // case-sensitive), so the answer has no body. One request, one answer
    // (after any 1xx).
    explicit HttpResponseFraming(bool headRequest = false) : _heads{headRequest} {}

    // Takes the next n bytes of the answer. Returns how many of them belong
    // to it: n, or fewer when the answer ends inside them (what follows is
    // not part of this answer).
    std::size_t feed(const char* data, std::size_t n);

    // The whole answer has passed.
    bool complete() const noexcept { return _state == State::Done; }
    // The answer's end is the end of the connection (no length, HTTP/1.0
    // without Content-Length, 101, or bytes that are not HTTP framing).
    bool endsWithConnection() const noexcept { return _state == State::UntilClose; }
    // The status code of the final answer, 0 before its status line.
    int status() const noexcept { return _status; }

private:
    enum class State : std::uint8_t {
        StatusLine,
        Headers,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailers,
        UntilClose,
        Done,
    };

    // A whole line (without CR LF) of the status line, a header or a chunk
    // size; false when it is not what HTTP allows there.
    bool statusLine(const std::string& line);
    // The bytes of the status line so far could begin "HTTP/1.".
    bool startsLikeStatusLine() const noexcept;
    void headerLine(const std::string& line);
    void headersDone();
    bool chunkSizeLine(const std::string& line);
    // The current answer ended: on to the next expected one, or done.
    void answerDone();

    static constexpr std::size_t kMaxLine = 16384;

    State _state = State::StatusLine;
    std::vector<bool> _heads;  // per expected answer: whether its request was HEAD
    std::size_t _answer = 0;   // the answer being read
    bool _chunked = false;
    bool _haveLength = false;
    bool _lengthConflict = false;
    int _status = 0;
    int _minorVersion = 1;
    std::uint64_t _remaining = 0;
    std::string _line;  // the line being read, cut at kMaxLine
    bool _lineTooLong = false;
};

}  // namespace morvex
