#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "util/json_node.h"
#include "util/json_streaming_parser.h"

namespace morvex {
namespace {

// Records every event as text; the policy hooks are switchable.
class Recorder : public JsonStreamingParser {
public:
    explicit Recorder(int mode = kNoValueRequired) : JsonStreamingParser(mode) {}

    std::string log;
    bool refuseArrays = false;
    bool trailingComma = true;
    bool comments = true;
    bool anotherTop = true;
    bool controlChars = false;
    bool takeLongStrings = false;
    unsigned maxDepth = 500;
    std::vector<std::size_t> longStringParts;

protected:
    void onNull() override { log += "null,"; }
    void onBoolean(bool v) override { log += v ? "true," : "false,"; }
    void onNumber(std::string_view t) override { log += "num:" + std::string(t) + ","; }
    void onString(std::string_view v) override { log += "str:" + std::string(v) + ","; }
    bool onBeginArray() override {
        log += "[";
        return !refuseArrays;
    }
    void onEndArray() override { log += "],"; }
    bool onBeginObject() override {
        log += "{";
        return true;
    }
    void onEndObject() override { log += "},"; }
    void onObjectKey(std::string_view k) override { log += "key:" + std::string(k) + ","; }
    void onTopLevelContainerBegins() override { log += "top:"; }
    bool acceptAnotherTopLevelValue() override { return anotherTop; }
    bool acceptTrailingComma() override { return trailingComma; }
    bool acceptComments() override { return comments; }
    bool acceptControlCharInString(unsigned char) override { return controlChars; }
    unsigned maxNestingDepth() override { return maxDepth; }
    void appendNulToString(std::string& token) override { token += "<NUL>"; }
    bool onStringValueTooLong(std::string& part) override {
        if (takeLongStrings) longStringParts.push_back(part.size());
        return takeLongStrings;
    }
};

// Events, or the error with its offset, for text fed in the given pieces.
std::string run(const std::string& text, const std::vector<std::size_t>& cuts, int mode = 0) {
    Recorder p(mode);
    try {
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            p.feed(text.data() + from, cut - from);
            from = cut;
        }
        p.feed(text.data() + from, text.size() - from);
        p.finish();
        return p.log;
    } catch (const JsonStreamingParser::error& e) {
        return p.log + "ERROR " + e.what() + " @" + std::to_string(e.offset());
    }
}

std::string runWhole(const std::string& text, int mode = 0) {
    return run(text, {}, mode);
}

TEST(JsonStreamingParser, PiecesGiveExactlyWhatWholeGives) {
    const std::vector<std::string> docs = {
        R"({"a": [1, -2.5e+3, 0, true, false, null], "b\"\\\/\b\f\n\r\t": "x\u00e9\u20ac\ud83d\ude00y"})",
        "/* lead */ [1, 2,] // tail\n",
        "{\"k\": {\"n\": [[], {}],},}",
        "12345",
        "-0.5e-7 ",
        "\"only\"  \"second\"",
        "[1.]",
        "[-]",
        "[1e]",
        "[\"\\ud800x\"]",
        "[\"\\uZZ\"]",
        "[\"a\tb\"]",
        "{\"a\" 1}",
        "{1: 2}",
        "[tru]",
        "[1] /x",
        "[1 2]",
        "[1}",
        "{\"a\": [1, 2",
        "/* never closed",
        "\"unterminated",
        "[\"\xc3\xa9\xff\"]",
    };
    for (const std::string& doc : docs) {
        const std::string whole = runWhole(doc);
        std::vector<std::size_t> each;
        for (std::size_t i = 1; i < doc.size(); ++i) {
            EXPECT_EQ(run(doc, {i}), whole) << doc << " split at " << i;
            each.push_back(i);
        }
        EXPECT_EQ(run(doc, each), whole) << doc << " byte by byte";
    }
}

TEST(JsonStreamingParser, EventsAndAcceptedExtensions) {
    EXPECT_EQ(runWhole(R"({"a": [1, "s", null, true]})"), "top:{key:a,[num:1,str:s,null,true,],},");
    // Numbers are handed over exactly as written, also at the very end of input.
    EXPECT_EQ(runWhole("-0.50E+07"), "num:-0.50E+07,");
    // Trailing commas, comments before, between and after values.
    EXPECT_EQ(runWhole("/*x*/[1,/*y*/2,]//z"), "top:[num:1,num:2,],");
    EXPECT_EQ(runWhole("{\"a\":1,}"), "top:{key:a,num:1,},");
    EXPECT_EQ(runWhole("[] []"), "top:[],top:[],");
    // Escapes: all single-letter forms, \u into UTF-8, a surrogate pair into 4 bytes.
    EXPECT_EQ(runWhole(R"("\"\\\/\b\f\n\r\t")"), "str:\"\\/\b\f\n\r\t,");
    EXPECT_EQ(runWhole(R"("\u0041\u00e9\u20ac\uD83D\uDE00")"), "str:A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80,");
    // Bytes 0x7F-0xFF pass through strings untouched.
    EXPECT_EQ(runWhole("\"\x7f\xff\""), "str:\x7f\xff,");
}

TEST(JsonStreamingParser, ErrorMessagesAndOffsets) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"", "Unexpected EOF @0"},
        {"[1,", "Unexpected EOF @3"},
        {"[1.", "Unexpected EOF @3"},
        {"x", "Unexpected character while looking for value: 'x' @0"},
        {"[1,]x", "Unexpected character while expecting EOF: 'x' @4"},
        {"[1] ,", "Unexpected character while expecting EOF: ',' @4"},
        {"[nul]", "Unexpected character while parsing literal token: ']' @4"},
        {"{\"a\" 1}", "Unexpected character while expecting ':': '1' @5"},
        {"{1}", "Unexpected character while expecting '\"': '1' @1"},
        {"[-x]", "Unexpected character after minus sign: 'x' @2"},
        {"[1.e]", "Unexpected character after decimal point: 'e' @3"},
        {"[1e+]", "Unexpected character after exponent: ']' @4"},
        {"[\"a\tb\"]", "Unexpected character in string: '\\09' @3"},
        {"[\"\\q\"]", "Unexpected character while parsing backslash escape: 'q' @3"},
        {"[\"\\u12G4\"]", "Unexpected character inside \\u escape: 'G' @6"},
        {"[\"\\ud800\"]", "Bare surrogate pair in string @8"},
        {"[\"\\ud800\\u0041\"]", "Bare surrogate pair in string @13"},
        {"[\"\\udc00\"]", "Bare surrogate pair in string @7"},
        {"[1] /a", "Unexpected character: '/' @4"},
        {"[1}", "Unexpected character: '}' @2"},
        {"[1 '", "Unexpected character: '\\'' @3"},
        {"[\x01]", "Unexpected character while looking for value: '\\01' @1"},
    };
    for (const Case& c : cases) {
        std::string got = runWhole(c.text, JsonStreamingParser::kContainerRequired);
        auto at = got.find("ERROR ");
        EXPECT_EQ(at == std::string::npos ? "no error: " + got : got.substr(at + 6), c.error) << c.text;
    }
}

TEST(JsonStreamingParser, PolicyHooksTurnExtensionsOff) {
    auto withHooks = [](const std::string& text, auto setup) {
        Recorder p;
        setup(p);
        try {
            p.feed(text);
            p.finish();
            return p.log;
        } catch (const JsonStreamingParser::error& e) {
            return std::string("ERROR ") + e.what();
        }
    };
    EXPECT_EQ(withHooks("[1,]", [](Recorder& r) { r.trailingComma = false; }),
              "ERROR Unexpected character while looking for value: ']'");
    EXPECT_EQ(withHooks("{\"a\":1,}", [](Recorder& r) { r.trailingComma = false; }),
              "ERROR Unexpected character while expecting '\"': '}'");
    EXPECT_EQ(withHooks("[1]//c", [](Recorder& r) { r.comments = false; }),
              "ERROR Unexpected character while expecting EOF: '/'");
    EXPECT_EQ(withHooks("[1] [2]", [](Recorder& r) { r.anotherTop = false; }),
              "ERROR Unexpected character while expecting EOF: '['");
    // A refused array is skipped whole, nested content and all, without events.
    EXPECT_EQ(withHooks("{\"a\":[1,[2,{\"x\":3}]],\"b\":4}", [](Recorder& r) { r.refuseArrays = true; }),
              "top:{key:a,[key:b,num:4,},");
    // Raw control bytes when admitted; a NUL goes through its own hook.
    EXPECT_EQ(withHooks(std::string("[\"a\tb\0c\"]", 9), [](Recorder& r) { r.controlChars = true; }),
              "top:[str:a\tb<NUL>c,],");
}

TEST(JsonStreamingParser, LimitsAndNesting) {
    // Key: 32768 bytes fit, one more does not.
    std::string key(JsonStreamingParser::kMaxKeyLength, 'k');
    EXPECT_EQ(runWhole("{\"" + key + "\":1}").find("ERROR"), std::string::npos);
    EXPECT_EQ(runWhole("{\"" + key + "k\":1}"), "top:{ERROR Key name too long @32770");

    std::string value(JsonStreamingParser::kMaxStringValueLength, 'v');
    EXPECT_EQ(runWhole("\"" + value + "\"").size(), value.size() + 5);
    EXPECT_EQ(runWhole("[\"" + value + "vv\"]"),
              "top:[ERROR String value too long. valueSize=524289, maxValueSize=524288 @524290");
    // The same limit reached through an escape counts the escape's bytes.
    EXPECT_EQ(runWhole("[\"" + value.substr(1) + "\\u20ac\"]"),
              "top:[ERROR String value too long. valueSize=524290, maxValueSize=524288 @524294");
    {
        Recorder r;
        r.takeLongStrings = true;
        r.feed("\"" + value + value + "tail\"");
        r.finish();
        EXPECT_EQ(r.longStringParts, (std::vector<std::size_t>{524288, 524288}));
        EXPECT_EQ(r.log, "str:tail,");
    }

    std::string number(JsonStreamingParser::kMaxNumberLength, '7');
    EXPECT_EQ(runWhole(number), "num:" + number + ",");
    EXPECT_EQ(runWhole(number + "7"), "ERROR Number too long @384");

    // 501 nested arrays are accepted, the 502nd opening is refused.
    auto nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_EQ(runWhole(nested(501)).find("ERROR"), std::string::npos);
    EXPECT_NE(runWhole(nested(502)).find("ERROR Nesting too deep @501"), std::string::npos);
}

TEST(JsonStreamingParser, FinishFollowsTopLevelMode) {
    EXPECT_EQ(runWhole("  ", JsonStreamingParser::kNoValueRequired), "");
    EXPECT_EQ(runWhole("  ", JsonStreamingParser::kValueRequired), "ERROR Unexpected EOF @2");
    EXPECT_EQ(runWhole("42", JsonStreamingParser::kValueRequired), "num:42,");
    EXPECT_EQ(runWhole("42", JsonStreamingParser::kContainerRequired), "num:42,ERROR Unexpected EOF @2");
    // A failed parser keeps failing with the same error.
    Recorder p;
    EXPECT_THROW(p.feed("[x"), JsonStreamingParser::error);
    try {
        p.feed("]");
        FAIL();
    } catch (const JsonStreamingParser::error& e) {
        EXPECT_STREQ(e.what(), "Unexpected character while looking for value: 'x'");
        EXPECT_EQ(e.offset(), 1u);
    }
    // Reading a file that is not there.
    Recorder f;
    try {
        f.parseFile("/nonexistent/x.json");
        FAIL();
    } catch (const JsonStreamingParser::error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open \"/nonexistent/x.json\": No such file or directory");
    }
}

TEST(JsonNode, TreeFromDocument) {
    JsonDocument doc = JsonDocumentFillingParser::parse(
        R"({"port": 8443.5, "big": 4294967295, "over": 4294967296, "neg": -1, "s": "x", "b": true,
            "n": null, "arr": [1, [2], {}], "dup": 1, "dup": 2, "huge": 1e999})");
    JsonNode root = doc.root();
    ASSERT_TRUE(root);
    EXPECT_EQ(root.type(), JsonNode::kObject);
    EXPECT_STREQ(root.typeName(), "object");
    EXPECT_EQ(root.childCount(), 11u);
    EXPECT_EQ(root.firstChild().key(), "port");
    EXPECT_EQ(root.lastChild().key(), "huge");
    EXPECT_EQ(root.lastChild().previousSibling().key(), "dup");
    EXPECT_EQ(root.firstChild().parent().type(), JsonNode::kObject);

    EXPECT_EQ(*root.find("port").getNumber(), 8443.5);
    EXPECT_FALSE(root.find("port").getUInt32());
    EXPECT_EQ(root.find("big").getUInt32(), 4294967295u);
    EXPECT_FALSE(root.find("over").getUInt32());
    EXPECT_FALSE(root.find("neg").getUInt32());
    EXPECT_EQ(root.find("huge").getNumber(), 0.0);  // not finite: 0
    EXPECT_EQ(root.find("s").getString(), "x");
    EXPECT_FALSE(root.find("s").getNumber());
    EXPECT_EQ(root.find("b").getBoolean(), true);
    EXPECT_FALSE(root.find("b").getString());
    EXPECT_EQ(root.find("n").type(), JsonNode::kNull);
    EXPECT_EQ(root.find("dup").getNumber(), 1.0);  // duplicates stay; lookup finds the first
    EXPECT_FALSE(root.find("missing"));
    EXPECT_FALSE(root.find("arr").find("x"));  // lookup is for objects only

    JsonNode arr = root.find("arr");
    EXPECT_EQ(arr.childCount(), 3u);
    EXPECT_EQ(arr.firstChild().key(), "");
    EXPECT_EQ(arr.firstChild().nextSibling().type(), JsonNode::kArray);
    EXPECT_EQ(arr.lastChild().childCount(), 0u);
    EXPECT_FALSE(root.find("s").firstChild());

    EXPECT_EQ(root.find("s").typeMismatchMessage(JsonNode::kNumber),
              "\"string\": unexpected JSON node type; expected \"number\"");
    EXPECT_STREQ(JsonNode::typeName(9), "unknown");
}

TEST(JsonNode, DocumentParserRejections) {
    auto error = [](const std::string& text) {
        try {
            JsonDocumentFillingParser::parse(text);
            return std::string("no error");
        } catch (const JsonStreamingParser::error& e) {
            return std::string(e.what()) + " @" + std::to_string(e.offset());
        }
    };
    EXPECT_EQ(error(""), "Unexpected EOF @0");
    EXPECT_EQ(error(" \n\t"), "Unexpected EOF @3");
    EXPECT_EQ(error("42"), "Unexpected EOF @2");
    EXPECT_EQ(error("{} {}"), "expected EOF @3");
    EXPECT_EQ(error("[1] 2"), "expected EOF @5");
    EXPECT_EQ(error("{\"a\": \"cut"), "Unexpected EOF @10");
    EXPECT_EQ(error("[1,]"), "no error");
}

}  // namespace
}  // namespace morvex
