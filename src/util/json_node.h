// The JSON document tree and the parser handler set that builds it.
//
//   JsonDocument doc = JsonDocumentFillingParser::parse(text);  // throws JsonStreamingParser::error
//   for (JsonNode m = doc.root().firstChild(); m; m = m.nextSibling()) { ... m.key() ... }
//
// JsonNode is a non-owning handle; the JsonDocument owns the nodes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json_streaming_parser.h"

namespace morvex {

class JsonNode {
public:
    enum Type : int { kNull = 0, kBoolean = 1, kNumber = 2, kString = 3, kObject = 4, kArray = 5 };

    class impl;
    class impl_Null;
    class impl_Bool;
    class impl_Number;
    class impl_String;
    class impl_Array_or_Object;
    class impl_Object;
    class impl_Array;

    JsonNode() noexcept = default;
    explicit JsonNode(const impl* node) noexcept : _node(node) {}

    explicit operator bool() const noexcept { return _node != nullptr; }

    // Type code and name ("null", "boolean", "number", "string", "object",
    // "array"; "unknown" for any other code).
    Type type() const noexcept;
    const char* typeName() const noexcept { return typeName(type()); }
    static const char* typeName(int code) noexcept;

    // Navigation; an empty handle where there is nothing.
    JsonNode firstChild() const noexcept;
    JsonNode lastChild() const noexcept;
    JsonNode nextSibling() const noexcept;
    JsonNode previousSibling() const noexcept;
    JsonNode parent() const noexcept;
    const std::string& key() const noexcept;  // empty for array elements and the root
    std::size_t childCount() const noexcept;
    // First member, in document order, whose key equals key (objects only).
    JsonNode find(std::string_view key) const noexcept;

    // Each getter answers only for its own kind.
    std::optional<std::string_view> getString() const noexcept;
    std::optional<bool> getBoolean() const noexcept;
    std::optional<double> getNumber() const noexcept;
    // A whole number from 0 to 4294967295.
    std::optional<std::uint32_t> getUInt32() const noexcept;

    // "\"<actual>\": unexpected JSON node type; expected \"<expected>\"".
    std::string typeMismatchMessage(Type expected) const;

private:
    const impl* _node = nullptr;
};

// Node storage. Children form a doubly linked list in document order and are
// owned by their container.
class JsonNode::impl {
public:
    explicit impl(Type type) noexcept : _type(type) {}
    virtual ~impl() = default;
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    const Type _type;
    std::string _key;
    impl_Array_or_Object* _parent = nullptr;
    impl* _next = nullptr;
    impl* _prev = nullptr;
};

class JsonNode::impl_Null final : public impl {
public:
    impl_Null() noexcept : impl(kNull) {}
};

class JsonNode::impl_Bool final : public impl {
public:
    explicit impl_Bool(bool v) noexcept : impl(kBoolean), _value(v) {}
    std::uint8_t _value;
};

class JsonNode::impl_Number final : public impl {
public:
    explicit impl_Number(double v) noexcept : impl(kNumber), _value(v) {}
    double _value;
};

class JsonNode::impl_String final : public impl {
public:
    explicit impl_String(std::string v) noexcept : impl(kString), _value(std::move(v)) {}
    std::string _value;
};

class JsonNode::impl_Array_or_Object : public impl {
public:
    using impl::impl;
    ~impl_Array_or_Object() override;
    // Takes ownership of child and links it last.
    void append(std::unique_ptr<impl> child) noexcept;

    impl* _first = nullptr;
    impl* _last = nullptr;
};

class JsonNode::impl_Object final : public impl_Array_or_Object {
public:
    impl_Object() noexcept : impl_Array_or_Object(kObject) {}
};

class JsonNode::impl_Array final : public impl_Array_or_Object {
public:
    impl_Array() noexcept : impl_Array_or_Object(kArray) {}
};

// Owns a parsed tree.
class JsonDocument {
public:
    JsonDocument() = default;
    explicit JsonDocument(std::unique_ptr<JsonNode::impl> root) noexcept : _root(std::move(root)) {}
    JsonNode root() const noexcept { return JsonNode(_root.get()); }

private:
    std::unique_ptr<JsonNode::impl> _root;
};

// Builds a tree from parser events. Only one top-level value is accepted: a
// second one fails with "expected EOF".
class JsonDocumentFillingParser : public JsonStreamingParser {
public:
    explicit JsonDocumentFillingParser(int topLevelMode = kContainerRequired);
    ~JsonDocumentFillingParser() override;

    // The tree built so far (complete after finish()); the parser is empty
    // afterwards.
    JsonDocument takeDocument();

    // Parses a whole text whose top level must be an object or an array.
    static JsonDocument parse(std::string_view text);

protected:
    void onNull() override;
    void onBoolean(bool value) override;
    void onNumber(std::string_view text) override;
    void onString(std::string_view value) override;
    bool onBeginArray() override;
    void onEndArray() override;
    bool onBeginObject() override;
    void onEndObject() override;
    void onObjectKey(std::string_view key) override;

private:
    // Links node into the innermost open container; returns it.
    JsonNode::impl* add(std::unique_ptr<JsonNode::impl> node);

    JsonNode::impl_Array _holder;  // invisible parent of the root
    std::vector<JsonNode::impl_Array_or_Object*> _open;
    std::string _pendingKey;
};

}  // namespace morvex
