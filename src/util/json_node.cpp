#include "util/json_node.h"

#include <charconv>
#include <cmath>

namespace morvex {

const char* JsonNode::typeName(int code) noexcept {
    switch (code) {
        case kNull:
            return "null";
        case kBoolean:
            return "boolean";
        case kNumber:
            return "number";
        case kString:
            return "string";
        case kObject:
            return "object";
        case kArray:
            return "array";
        default:
            return "unknown";
    }
}

JsonNode::Type JsonNode::type() const noexcept {
    return _node ? _node->_type : static_cast<Type>(-1);
}

namespace {
const JsonNode::impl_Array_or_Object* asContainer(const JsonNode::impl* n) noexcept {
    return n && (n->_type == JsonNode::kObject || n->_type == JsonNode::kArray)
               ? static_cast<const JsonNode::impl_Array_or_Object*>(n)
               : nullptr;
}
}  // namespace

JsonNode JsonNode::firstChild() const noexcept {
    auto* c = asContainer(_node);
    return JsonNode(c ? c->_first : nullptr);
}

JsonNode JsonNode::lastChild() const noexcept {
    auto* c = asContainer(_node);
    return JsonNode(c ? c->_last : nullptr);
}

JsonNode JsonNode::nextSibling() const noexcept {
    return JsonNode(_node ? _node->_next : nullptr);
}
JsonNode JsonNode::previousSibling() const noexcept {
    return JsonNode(_node ? _node->_prev : nullptr);
}

JsonNode JsonNode::parent() const noexcept {
    return JsonNode(_node ? _node->_parent : nullptr);
}

const std::string& JsonNode::key() const noexcept {
    static const std::string kEmpty;
    return _node ? _node->_key : kEmpty;
}

std::size_t JsonNode::childCount() const noexcept {
    std::size_t n = 0;
    for (JsonNode c = firstChild(); c; c = c.nextSibling()) ++n;
    return n;
}

JsonNode JsonNode::find(std::string_view key) const noexcept {
    if (type() != kObject) return JsonNode();
    for (JsonNode c = firstChild(); c; c = c.nextSibling()) {
        if (c.key() == key) return c;
    }
    return JsonNode();
}

std::optional<std::string_view> JsonNode::getString() const noexcept {
    if (type() != kString) return std::nullopt;
    return std::string_view(static_cast<const impl_String*>(_node)->_value);
}

std::optional<bool> JsonNode::getBoolean() const noexcept {
    if (type() != kBoolean) return std::nullopt;
    return static_cast<const impl_Bool*>(_node)->_value != 0;
}

std::optional<double> JsonNode::getNumber() const noexcept {
    if (type() != kNumber) return std::nullopt;
    return static_cast<const impl_Number*>(_node)->_value;
}

std::optional<std::uint32_t> JsonNode::getUInt32() const noexcept {
    auto d = getNumber();
    if (!d || !(*d >= 0.0 && *d <= 4294967295.0) || *d != std::floor(*d)) return std::nullopt;
    return static_cast<std::uint32_t>(*d);
}

std::string JsonNode::typeMismatchMessage(Type expected) const {
    std::string msg = "\"";
    msg += typeName();
    msg += "\": unexpected JSON node type; expected \"";
    msg += typeName(expected);
    msg += '"';
    return msg;
}

JsonNode::impl_Array_or_Object::~impl_Array_or_Object() {
    // Nesting is bounded by the parser's depth limit, so recursion through the
    // children's destructors stays shallow.
    impl* c = _first;
    while (c) {
        impl* next = c->_next;
        delete c;
        c = next;
    }
}

void JsonNode::impl_Array_or_Object::append(std::unique_ptr<impl> child) noexcept {
    impl* c = child.release();
    c->_parent = this;
    c->_prev = _last;
    if (_last) {
        _last->_next = c;
    } else {
        _first = c;
    }
    _last = c;
}

JsonDocumentFillingParser::JsonDocumentFillingParser(int topLevelMode) : JsonStreamingParser(topLevelMode) {
    _open.push_back(&_holder);
}

JsonDocumentFillingParser::~JsonDocumentFillingParser() = default;

JsonDocument JsonDocumentFillingParser::takeDocument() {
    JsonNode::impl* root = _holder._first;
    if (!root) return JsonDocument();
    _holder._first = _holder._last = nullptr;
    root->_parent = nullptr;
    _open.assign(1, &_holder);
    return JsonDocument(std::unique_ptr<JsonNode::impl>(root));
}

JsonDocument JsonDocumentFillingParser::parse(std::string_view text) {
    JsonDocumentFillingParser parser(kContainerRequired);
    parser.feed(text);
    parser.finish();
    return parser.takeDocument();
}

JsonNode::impl* JsonDocumentFillingParser::add(std::unique_ptr<JsonNode::impl> node) {
    JsonNode::impl_Array_or_Object* into = _open.back();
    if (into == &_holder && _holder._first) fail("expected EOF");  // node is destroyed on the way out
    node->_key = std::move(_pendingKey);
    _pendingKey.clear();
    JsonNode::impl* raw = node.get();
    into->append(std::move(node));
    return raw;
}

void JsonDocumentFillingParser::onNull() {
    add(std::make_unique<JsonNode::impl_Null>());
}

void JsonDocumentFillingParser::onBoolean(bool value) {
    add(std::make_unique<JsonNode::impl_Bool>(value));
}

void JsonDocumentFillingParser::onNumber(std::string_view text) {
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) value = 0.0;
    add(std::make_unique<JsonNode::impl_Number>(value));
}

void JsonDocumentFillingParser::onString(std::string_view value) {
    add(std::make_unique<JsonNode::impl_String>(std::string(value)));
}

bool JsonDocumentFillingParser::onBeginArray() {
    _open.push_back(static_cast<JsonNode::impl_Array*>(add(std::make_unique<JsonNode::impl_Array>())));
    return true;
}

void JsonDocumentFillingParser::onEndArray() {
    _open.pop_back();
}

bool JsonDocumentFillingParser::onBeginObject() {
    _open.push_back(static_cast<JsonNode::impl_Object*>(add(std::make_unique<JsonNode::impl_Object>())));
    return true;
}

void JsonDocumentFillingParser::onEndObject() {
    _open.pop_back();
}

void JsonDocumentFillingParser::onObjectKey(std::string_view key) {
    _pendingKey.assign(key.data(), key.size());
}

}  // namespace morvex
