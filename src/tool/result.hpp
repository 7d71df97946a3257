// The tool's results as a small document tree, and its two renderings: one
// JSON document, or aligned text for a person.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velkarin::tool {

class Value;
using Members = std::vector<std::pair<std::string, Value>>;  // in insertion order
using Items = std::vector<Value>;

// A CAN id: a number in JSON, "0x011" for a person, as the bus shows it.
struct CanIdNumber {
    std::uint16_t id;
};

// null, a boolean, an unsigned or signed integer, a CAN id, a 32-bit float
// (written as the shortest text that reads back as that float; NaN and
// infinities as null), text, a list or an object.
class Value {
public:
    using Variant = std::variant<std::monostate, bool, std::int64_t, CanIdNumber, float, std::string,
                                 std::shared_ptr<Items>, std::shared_ptr<Members>>;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(std::int64_t{i}) {}
    Value(std::int64_t i) : v_(i) {}
    Value(std::uint32_t i) : v_(std::int64_t{i}) {}
    Value(std::uint64_t i) : v_(static_cast<std::int64_t>(i)) {}
    Value(CanIdNumber id) : v_(id) {}
    Value(float f) : v_(f) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Items items) : v_(std::make_shared<Items>(std::move(items))) {}
    Value(Members members) : v_(std::make_shared<Members>(std::move(members))) {}

    const Variant& get() const { return v_; }
    const Items* items() const;
    const Members* members() const;
    // The member called `key` of an object, or nullptr.
    const Value* find(std::string_view key) const;

private:
    Variant v_;
};

// "0x011": an id as the bus shows it, the way every id is written for a person.
std::string id_text(std::uint16_t id);

// One JSON document on one line.
std::string to_json(const Value& v);

// For a person: an object as "key  value" lines with the values aligned, a
// list of objects as a table under a header of their keys, nested objects
// indented below their key.
std::string to_text(const Value& v);

}  // namespace velkarin::tool
