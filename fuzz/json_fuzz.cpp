// The JSON push parser fed in arbitrary pieces, the document tree built from
// it, and the start-up document read into the proxy's configuration record.
//
// Invariants: any cutting of the input gives exactly the events and the
// error (text and offset) that the whole input gives; a parsed tree written
// back as JSON parses to the same tree; a record judged valid has a port in
// range and a token, and a document written from it reads back the same.
#include <cmath>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "tlsd/tlsproxy_config.h"
#include "util/json_node.h"
#include "util/json_streaming_parser.h"

namespace {

using morvex::JsonDocumentFillingParser;
using morvex::JsonNode;
using morvex::JsonStreamingParser;
using morvex::TLSProxyConfig;

// Writes every event as text; the policy switches come from the input's hash
// so that both runs of one input use the same ones.
class Recorder : public JsonStreamingParser {
public:
    explicit Recorder(std::uint64_t policy) : JsonStreamingParser(static_cast<int>(policy % 3)), _policy(policy) {}
    std::string log;

protected:
    void onNull() override { log += "n,"; }
    void onBoolean(bool v) override { log += v ? "t," : "f,"; }
    void onNumber(std::string_view t) override { add("#", t); }
    void onString(std::string_view v) override { add("s", v); }
    bool onBeginArray() override {
        log += "[";
        return !bit(2);
    }
    void onEndArray() override { log += "],"; }
    bool onBeginObject() override {
        log += "{";
        return !bit(3);
    }
    void onEndObject() override { log += "},"; }
    void onObjectKey(std::string_view k) override { add("k", k); }
    void onTopLevelContainerBegins() override { log += "top:"; }
    bool acceptAnotherTopLevelValue() override { return !bit(4); }
    bool acceptTrailingComma() override { return !bit(5); }
    bool acceptComments() override { return !bit(6); }
    bool acceptControlCharInString(unsigned char c) override { return bit(7) && c != '\n'; }
    unsigned maxNestingDepth() override { return bit(8) ? 3 : 500; }
    bool onStringValueTooLong(std::string& part) override {
        if (!bit(9)) return false;
        add("part", std::to_string(part.size()));
        return true;
    }

private:
    bool bit(int n) const { return (_policy >> n) & 1; }
    void add(const char* kind, std::string_view text) {
        log += kind;
        log += std::to_string(text.size());
        log += ':';
        log.append(text);
        log += ',';
    }
    std::uint64_t _policy;
};

std::string events(std::string_view text, const std::vector<std::size_t>& cuts, std::uint64_t policy) {
    Recorder p(policy);
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

void quoteJson(std::string_view s, std::string& out) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void writeJson(JsonNode node, std::string& out) {
    switch (node.type()) {
        case JsonNode::kNull:
            out += "null";
            break;
        case JsonNode::kBoolean:
            out += *node.getBoolean() ? "true" : "false";
            break;
        case JsonNode::kNumber: {
            double d = *node.getNumber();
            FUZZ_CHECK(std::isfinite(d));
            char text[40];
            std::snprintf(text, sizeof text, "%.17g", d);
            out += text;
            break;
        }
        case JsonNode::kString:
            quoteJson(*node.getString(), out);
            break;
        case JsonNode::kObject:
        case JsonNode::kArray: {
            const bool object = node.type() == JsonNode::kObject;
            out += object ? '{' : '[';
            bool first = true;
            for (JsonNode c = node.firstChild(); c; c = c.nextSibling()) {
                if (!first) out += ',';
                first = false;
                if (object) {
                    quoteJson(c.key(), out);
                    out += ':';
                }
                FUZZ_CHECK(c.parent().type() == node.type());
                writeJson(c, out);
            }
            out += object ? '}' : ']';
            break;
        }
    }
}

void checkTree(std::string_view text) {
    std::string first;
    try {
        morvex::JsonDocument doc = JsonDocumentFillingParser::parse(text);
        FUZZ_CHECK(doc.root());
        writeJson(doc.root(), first);
        for (JsonNode m = doc.root().firstChild(); m; m = m.nextSibling()) {
            if (auto u = m.getUInt32()) FUZZ_CHECK(*m.getNumber() == static_cast<double>(*u));
            if (doc.root().type() == JsonNode::kObject) FUZZ_CHECK(doc.root().find(m.key()));
        }
    } catch (const JsonStreamingParser::error&) {
        return;
    }
    std::string second;
    writeJson(JsonDocumentFillingParser::parse(first).root(), second);
    FUZZ_CHECK(first == second);
}

void checkStartupDocument(std::string_view text) {
    TLSProxyConfig config;
    config.read(text);
    const bool valid = config.judge();
    FUZZ_CHECK(valid == config.valid());
    if (!valid) {
        FUZZ_CHECK(config.port() == 0 || config.port() > 65535 || config.token().empty());
        return;
    }
    FUZZ_CHECK(config.port() >= 1 && config.port() <= 65535 && !config.token().empty());
    std::string doc = "{\"Listen_Port\": " + std::to_string(config.port()) + ", \"TOKEN\": ";
    quoteJson(config.token(), doc);
    doc += ", \"private_key_password\": ";
    quoteJson(config.privateKeyPassword(), doc);
    doc += "}";
    TLSProxyConfig again;
    again.read(doc);
    FUZZ_CHECK(again.judge());
    FUZZ_CHECK(again.port() == config.port());
    FUZZ_CHECK(again.token() == config.token());
    FUZZ_CHECK(again.privateKeyPassword() == config.privateKeyPassword());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    morvex::fuzz::quietLogging();
    const std::string_view text = morvex::fuzz::asText(data, size);
    const std::uint64_t policy = morvex::fuzz::hashBytes(text);

    const std::string whole = events(text, {}, policy);
    FUZZ_CHECK(events(text, morvex::fuzz::cutPoints(text, 1), policy) == whole);
    if (size <= 512) {  // byte by byte costs one call per byte: keep it to short inputs
        std::vector<std::size_t> each;
        for (std::size_t i = 1; i < size; ++i) each.push_back(i);
        FUZZ_CHECK(events(text, each, policy) == whole);
    }
    checkTree(text);
    checkStartupDocument(text);
    return 0;
}
