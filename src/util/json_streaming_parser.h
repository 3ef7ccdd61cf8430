// Push parser for JSON text: bytes go in through feed() in pieces of any size,
// syntax events come out through virtual handlers. Feeding a text in pieces
// gives exactly the events and errors that feeding it whole gives.
//
// Beyond standard JSON it accepts (each behind an overridable switch) comments
// ("//" to end of line, "/* ... */"), a comma right before "]" or "}", and
// several top-level values one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/base_exception.h"

namespace morvex {

class JsonStreamingParser {
public:
    // A syntax error or a limit; offset() is the byte offset in the whole input
    // at which the problem was found.
    class error : public BaseException {
    public:
        error(std::string message, std::uint64_t offset) : BaseException(std::move(message)), _offset(offset) {}
        std::uint64_t offset() const noexcept { return _offset; }

    private:
        std::uint64_t _offset;
    };

    // What finish() requires of the top level.
    enum TopLevelMode : int {
        kNoValueRequired = 0,
        kValueRequired = 1,      // a value must have started or completed
        kContainerRequired = 2,  // a top-level object or array must have started
    };

    static constexpr std::size_t kMaxKeyLength = 32768;
    static constexpr std::size_t kMaxStringValueLength = 0x80000;
    static constexpr std::size_t kMaxNumberLength = 384;

    explicit JsonStreamingParser(int topLevelMode = kNoValueRequired);
    virtual ~JsonStreamingParser();
    JsonStreamingParser(const JsonStreamingParser&) = delete;
    JsonStreamingParser& operator=(const JsonStreamingParser&) = delete;

    // Processes the next piece of input. Throws error; after an error the
    // parser stays failed and every later call throws the same error.
    void feed(const char* data, std::size_t length);
    void feed(std::string_view text) { feed(text.data(), text.size()); }

    // End of input: reports a number still open, then requires that no
    // container is open, that the input stopped between values, and what the
    // top-level mode asks for; otherwise "Unexpected EOF".
    void finish();

    // Feeds a whole file and finishes. "cannot open \"<name>\": <text>" or
    // "error reading: <text>" when the file cannot be read.
    void parseFile(const std::string& path);

    // Offset of the byte being processed (or of the end of input consumed so
    // far between calls). Handlers use it for errors of their own.
    std::uint64_t offset() const noexcept { return _offset; }

protected:
    // Event handlers, called in document order.
    virtual void onNull() = 0;
    virtual void onBoolean(bool value) = 0;
    virtual void onNumber(std::string_view text) = 0;   // exactly as written
    virtual void onString(std::string_view value) = 0;  // escapes resolved
    virtual bool onBeginArray() = 0;                    // false: skip the whole array without events
    virtual void onEndArray() = 0;
    virtual bool onBeginObject() = 0;  // false: skip the whole object without events
    virtual void onEndObject() = 0;
    virtual void onObjectKey(std::string_view key) = 0;

    // Policy hooks with their defaults.
    virtual void onTopLevelContainerBegins() {}
    virtual bool acceptAnotherTopLevelValue() { return true; }
    virtual bool acceptTrailingComma() { return true; }
    virtual bool acceptComments() { return true; }
    virtual bool acceptControlCharInString(unsigned char /*c*/) { return false; }
    virtual unsigned maxNestingDepth() { return 500; }
    virtual void appendNulToString(std::string& token) { token.push_back('\0'); }
    // The string value being read grew past kMaxStringValueLength. Return true
    // after taking partSoFar (the parser then clears it and goes on; the rest
    // arrives through onString); false makes it the limit error.
    virtual bool onStringValueTooLong(std::string& /*partSoFar*/) { return false; }

    [[noreturn]] void fail(std::string message) const;

private:
    enum class State : std::uint8_t;
    enum class Container : std::uint32_t { Array, Object };

    void step(unsigned char c);
    void stepString(unsigned char c);
    void stepEscape(unsigned char c);
    void stepUnicode(unsigned char c);
    bool stepNumber(unsigned char c);  // false: the number ended before c
    void startValue(unsigned char c, const char* context);
    void openContainer(Container kind);
    void closeContainer(Container kind);
    void valueDone();
    void endNumber();
    void endString();
    void appendToToken(const char* bytes, std::size_t n);
    void makeRoom(std::size_t n);  // applies the key/string length limits before n more bytes
    void appendCodePoint(std::uint32_t cp);
    bool startComment(unsigned char c);
    [[noreturn]] void unexpected(unsigned char c, const char* context) const;

    int _topLevelMode;
    State _state;
    State _afterComment;           // state to return to when a comment ends
    std::uint32_t _skipDepth = 0;  // levels still open inside a refused container
    std::uint64_t _offset = 0;
    std::uint64_t _tokenStart = 0;
    std::vector<Container> _stack;
    std::string _token;
    bool _tokenIsKey = false;
    bool _topContainerStarted = false;
    bool _topValueStarted = false;
    bool _topValueDone = false;
    bool _closeAllowed = false;      // "]" or "}" may come next: the container is still empty
    bool _afterCommaClose = false;   // "]" or "}" may come next if trailing commas are accepted
    const char* _literal = nullptr;  // rest of "true"/"false"/"null" still expected
    char _literalKind = 0;
    std::uint32_t _unicode = 0;  // \u digits gathered so far
    std::uint32_t _highSurrogate = 0;
    int _hexDigits = 0;
    bool _failed = false;
    std::string _failMessage;
    std::uint64_t _failOffset = 0;
};

}  // namespace morvex
