#include "util/json_streaming_parser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/error_codes.h"

namespace morvex {

// Lexical states. The number states follow the JSON number grammar so that
// a number split across feed() calls resumes exactly where it stopped.
enum class JsonStreamingParser::State : std::uint8_t {
    Value,  // a value may start here (top level, after '[', ',' in an array, ':')
    Key,    // in an object: a key (or '}' when allowed)
    Colon,  // after a key
    AfterValue,
    TopDone,  // a top-level value is complete
    String,
    Escape,
    Unicode,
    SurrogateBackslash,  // a high surrogate was read; "\u" must follow
    SurrogateU,
    Literal,
    NumMinus,
    NumZero,
    NumInt,
    NumDot,
    NumFrac,
    NumExp,
    NumExpSign,
    NumExpDigits,
    CommentStart,
    LineComment,
    BlockComment,
    BlockCommentStar,
};

namespace {

inline bool isSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
inline bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

JsonStreamingParser::JsonStreamingParser(int topLevelMode)
    : _topLevelMode(topLevelMode), _state(State::Value), _afterComment(State::Value) {
    _token.reserve(64);
}

JsonStreamingParser::~JsonStreamingParser() = default;

void JsonStreamingParser::fail(std::string message) const {
    throw error(std::move(message), _offset);
}

void JsonStreamingParser::unexpected(unsigned char c, const char* context) const {
    std::string msg = "Unexpected character";
    if (context) {
        msg += ' ';
        msg += context;
    }
    msg += ": '";
    if (c >= 0x20 && c <= 0x7E) {
        if (c == '\'' || c == '"' || c == '\\') msg += '\\';
        msg += static_cast<char>(c);
    } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\%02X", c);
        msg += buf;
    }
    msg += '\'';
    fail(std::move(msg));
}

void JsonStreamingParser::feed(const char* data, std::size_t length) {
    if (_failed) throw error(_failMessage, _failOffset);
    try {
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        std::size_t i = 0;
        while (i < length) {
            if (_state == State::String) {
                // Fast path: copy a run of plain string bytes at once, never
                // past the length limit so that the limit is met byte by byte.
                std::size_t limit = _tokenIsKey ? kMaxKeyLength : kMaxStringValueLength;
                std::size_t room = _skipDepth ? length - i : (_token.size() < limit ? limit - _token.size() : 0);
                std::size_t j = i;
                std::size_t end = length - i < room ? length : i + room;
                while (j < end && p[j] != '"' && p[j] != '\\' && p[j] >= 0x20) ++j;
                if (j > i) {
                    if (!_skipDepth) _token.append(reinterpret_cast<const char*>(p + i), j - i);
                    _offset += j - i;
                    i = j;
                    continue;
                }
            }
            step(p[i]);
            ++i;
            ++_offset;
        }
    } catch (const error& e) {
        _failed = true;
        _failMessage = e.message();
        _failOffset = e.offset();
        throw;
    }
}

void JsonStreamingParser::finish() {
    if (_failed) throw error(_failMessage, _failOffset);
    try {
        switch (_state) {
            case State::NumZero:
            case State::NumInt:
            case State::NumFrac:
            case State::NumExpDigits:
                endNumber();
                break;
            case State::LineComment:
                _state = _afterComment;
                break;
            default:
                break;
        }
        bool between = _stack.empty() && (_state == State::Value || _state == State::TopDone);
        if (!between) fail("Unexpected EOF");
        if (_topLevelMode == kContainerRequired && !_topContainerStarted) fail("Unexpected EOF");
        if (_topLevelMode == kValueRequired && !_topValueStarted) fail("Unexpected EOF");
    } catch (const error& e) {
        _failed = true;
        _failMessage = e.message();
        _failOffset = e.offset();
        throw;
    }
}

void JsonStreamingParser::parseFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) fail("cannot open \"" + path + "\": " + platform::ErrorText(static_cast<std::uint32_t>(errno)));
    char buf[16384];
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        if (n > 0) feed(buf, n);
        if (n < sizeof buf) {
            if (std::ferror(f.get())) fail("error reading: " + platform::ErrorText(static_cast<std::uint32_t>(errno)));
            break;
        }
    }
    finish();
}

bool JsonStreamingParser::startComment(unsigned char c) {
    if (c != '/' || !acceptComments()) return false;
    _afterComment = _state;
    _tokenStart = _offset;
    _state = State::CommentStart;
    return true;
}

void JsonStreamingParser::step(unsigned char c) {
    if (_state >= State::NumMinus && _state <= State::NumExpDigits) {
        if (stepNumber(c)) return;
        // The number ended before c; c is looked at again after the value.
    }
    switch (_state) {
        case State::Value:
            if (isSpace(c) || startComment(c)) return;
            if (c == ']' && !_stack.empty() && _stack.back() == Container::Array &&
                (_closeAllowed || (_afterCommaClose && acceptTrailingComma()))) {
                closeContainer(Container::Array);
                return;
            }
            startValue(c, "while looking for value");
            return;
        case State::Key:
            if (isSpace(c) || startComment(c)) return;
            if (c == '"') {
                _token.clear();
                _tokenIsKey = true;
                _tokenStart = _offset;
                _state = State::String;
                return;
            }
            if (c == '}' && (_closeAllowed || (_afterCommaClose && acceptTrailingComma()))) {
                closeContainer(Container::Object);
                return;
            }
            unexpected(c, "while expecting '\"'");
        case State::Colon:
            if (isSpace(c) || startComment(c)) return;
            if (c != ':') unexpected(c, "while expecting ':'");
            _state = State::Value;
            _closeAllowed = false;
            _afterCommaClose = false;
            return;
        case State::AfterValue:
            if (isSpace(c) || startComment(c)) return;
            if (c == ',') {
                _state = _stack.back() == Container::Array ? State::Value : State::Key;
                _closeAllowed = false;
                _afterCommaClose = true;
                return;
            }
            if (c == ']' && _stack.back() == Container::Array) return closeContainer(Container::Array);
            if (c == '}' && _stack.back() == Container::Object) return closeContainer(Container::Object);
            unexpected(c, nullptr);
        case State::TopDone:
            if (isSpace(c) || startComment(c)) return;
            if ((c == '"' || c == '{' || c == '[' || c == '-' || isDigit(c) || c == 't' || c == 'f' || c == 'n') &&
                acceptAnotherTopLevelValue()) {
                startValue(c, "while expecting EOF");
                return;
            }
            unexpected(c, "while expecting EOF");
        case State::String:
            stepString(c);
            return;
        case State::Escape:
            stepEscape(c);
            return;
        case State::Unicode:
            stepUnicode(c);
            return;
        case State::SurrogateBackslash:
            if (c != '\\') fail("Bare surrogate pair in string");
            _state = State::SurrogateU;
            return;
        case State::SurrogateU:
            if (c != 'u') fail("Bare surrogate pair in string");
            _state = State::Unicode;
            _unicode = 0;
            _hexDigits = 0;
            return;
        case State::Literal:
            if (c != static_cast<unsigned char>(*_literal)) unexpected(c, "while parsing literal token");
            if (*++_literal == '\0') {
                if (!_skipDepth) {
                    if (_literalKind == 'n') {
                        onNull();
                    } else {
                        onBoolean(_literalKind == 't');
                    }
                }
                valueDone();
            }
            return;
        case State::CommentStart:
            if (c == '/') {
                _state = State::LineComment;
            } else if (c == '*') {
                _state = State::BlockComment;
            } else {
                _offset = _tokenStart;  // the slash is what is wrong
                unexpected('/', nullptr);
            }
            return;
        case State::LineComment:
            if (c == '\n') _state = _afterComment;
            return;
        case State::BlockComment:
            if (c == '*') _state = State::BlockCommentStar;
            return;
        case State::BlockCommentStar:
            if (c == '/') {
                _state = _afterComment;
            } else if (c != '*') {
                _state = State::BlockComment;
            }
            return;
        default:
            return;
    }
}

void JsonStreamingParser::startValue(unsigned char c, const char* context) {
    if (_stack.empty()) _topValueStarted = true;
    _tokenStart = _offset;
    switch (c) {
        case '"':
            _token.clear();
            _tokenIsKey = false;
            _state = State::String;
            return;
        case '{':
            openContainer(Container::Object);
            return;
        case '[':
            openContainer(Container::Array);
            return;
        case 't':
            _literal = "rue";
            _literalKind = 't';
            _state = State::Literal;
            return;
        case 'f':
            _literal = "alse";
            _literalKind = 'f';
            _state = State::Literal;
            return;
        case 'n':
            _literal = "ull";
            _literalKind = 'n';
            _state = State::Literal;
            return;
        default:
            break;
    }
    if (c == '-' || isDigit(c)) {
        _token.assign(1, static_cast<char>(c));
        _state = c == '-' ? State::NumMinus : c == '0' ? State::NumZero : State::NumInt;
        return;
    }
    unexpected(c, context);
}

void JsonStreamingParser::openContainer(Container kind) {
    if (!_stack.empty() && _stack.size() > maxNestingDepth()) fail("Nesting too deep");
    if (_stack.empty()) {
        onTopLevelContainerBegins();
        _topContainerStarted = true;
    }
    _stack.push_back(kind);
    if (_skipDepth) {
        ++_skipDepth;
    } else if (!(kind == Container::Array ? onBeginArray() : onBeginObject())) {
        _skipDepth = 1;
    }
    _state = kind == Container::Array ? State::Value : State::Key;
    _closeAllowed = true;
    _afterCommaClose = false;
}

void JsonStreamingParser::closeContainer(Container kind) {
    _stack.pop_back();
    if (_skipDepth) {
        --_skipDepth;  // reaching 0 ends the refused container itself: no event
    } else if (kind == Container::Array) {
        onEndArray();
    } else {
        onEndObject();
    }
    valueDone();
}

void JsonStreamingParser::valueDone() {
    if (_stack.empty()) {
        _topValueDone = true;
        _state = State::TopDone;
    } else {
        _state = State::AfterValue;
    }
}

bool JsonStreamingParser::stepNumber(unsigned char c) {
    State next;
    switch (_state) {
        case State::NumMinus:
            if (!isDigit(c)) unexpected(c, "after minus sign");
            next = c == '0' ? State::NumZero : State::NumInt;
            break;
        case State::NumZero:
        case State::NumInt:
            if (_state == State::NumInt && isDigit(c)) {
                next = State::NumInt;
            } else if (c == '.') {
                next = State::NumDot;
            } else if (c == 'e' || c == 'E') {
                next = State::NumExp;
            } else {
                endNumber();
                return false;
            }
            break;
        case State::NumDot:
            if (!isDigit(c)) unexpected(c, "after decimal point");
            next = State::NumFrac;
            break;
        case State::NumFrac:
            if (isDigit(c)) {
                next = State::NumFrac;
            } else if (c == 'e' || c == 'E') {
                next = State::NumExp;
            } else {
                endNumber();
                return false;
            }
            break;
        case State::NumExp:
            if (c == '+' || c == '-') {
                next = State::NumExpSign;
                break;
            }
            [[fallthrough]];
        case State::NumExpSign:
            if (!isDigit(c)) unexpected(c, "after exponent");
            next = State::NumExpDigits;
            break;
        default:  // NumExpDigits
            if (!isDigit(c)) {
                endNumber();
                return false;
            }
            next = State::NumExpDigits;
            break;
    }
    if (_token.size() >= kMaxNumberLength) fail("Number too long");
    _token.push_back(static_cast<char>(c));
    _state = next;
    return true;
}

void JsonStreamingParser::endNumber() {
    if (!_skipDepth) onNumber(_token);
    valueDone();
}

void JsonStreamingParser::endString() {
    if (_tokenIsKey) {
        if (!_skipDepth) onObjectKey(_token);
        _state = State::Colon;
    } else {
        if (!_skipDepth) onString(_token);
        valueDone();
    }
}

void JsonStreamingParser::appendToToken(const char* bytes, std::size_t n) {
    if (_skipDepth) return;
    makeRoom(n);
    _token.append(bytes, n);
}

void JsonStreamingParser::makeRoom(std::size_t n) {
    if (_tokenIsKey) {
        if (_token.size() + n > kMaxKeyLength) fail("Key name too long");
    } else if (_token.size() + n > kMaxStringValueLength) {
        if (!onStringValueTooLong(_token)) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "String value too long. valueSize=%lu, maxValueSize=%lu",
                          static_cast<unsigned long>(_token.size() + n),
                          static_cast<unsigned long>(kMaxStringValueLength));
            fail(buf);
        }
        _token.clear();
    }
}

void JsonStreamingParser::appendCodePoint(std::uint32_t cp) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    appendToToken(b, n);
}

void JsonStreamingParser::stepString(unsigned char c) {
    if (c == '"') return endString();
    if (c == '\\') {
        _state = State::Escape;
        return;
    }
    if (c < 0x20) {
        if (!acceptControlCharInString(c)) unexpected(c, "in string");
        if (c == 0) {
            if (!_skipDepth) {
                makeRoom(1);
                appendNulToString(_token);
            }
            return;
        }
    }
    char ch = static_cast<char>(c);
    appendToToken(&ch, 1);
}

void JsonStreamingParser::stepEscape(unsigned char c) {
    char out;
    switch (c) {
        case '"':
        case '\\':
        case '/':
            out = static_cast<char>(c);
            break;
        case 'b':
            out = '\b';
            break;
        case 'f':
            out = '\f';
            break;
        case 'n':
            out = '\n';
            break;
        case 'r':
            out = '\r';
            break;
        case 't':
            out = '\t';
            break;
        case 'u':
            _state = State::Unicode;
            _unicode = 0;
            _hexDigits = 0;
            return;
        default:
            unexpected(c, "while parsing backslash escape");
    }
    appendToToken(&out, 1);
    _state = State::String;
}

void JsonStreamingParser::stepUnicode(unsigned char c) {
    int v = hexValue(c);
    if (v < 0) unexpected(c, "inside \\u escape");
    _unicode = (_unicode << 4) | static_cast<std::uint32_t>(v);
    if (++_hexDigits < 4) return;
    std::uint32_t cp = _unicode;
    bool high = cp >= 0xD800 && cp <= 0xDBFF;
    bool low = cp >= 0xDC00 && cp <= 0xDFFF;
    if (_highSurrogate) {
        if (!low) fail("Bare surrogate pair in string");
        cp = 0x10000 + ((_highSurrogate - 0xD800) << 10) + (cp - 0xDC00);
        _highSurrogate = 0;
    } else if (high) {
        _highSurrogate = cp;
        _state = State::SurrogateBackslash;
        return;
    } else if (low) {
        fail("Bare surrogate pair in string");
    }
    appendCodePoint(cp);
    _state = State::String;
}

}  // namespace morvex
