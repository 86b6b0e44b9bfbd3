// CborValue: a CBOR data item (RFC 8949), written in the core deterministic
// encoding and read back from untrusted bytes.
//
// encode() writes definite lengths, the shortest integer heads and map keys
// sorted by their encoded bytes (RFC 8949, 4.2.1), as the content credentials
// in our captures require. decode() accepts any well-formed item of the types
// below, keeps map entries in the order read, and refuses (nullopt) malformed
// or truncated input, indefinite lengths, a map key given twice, nesting
// deeper than kMaxDepth and bytes left over after the item.
//
// A plain value type: copies are independent; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox {

class CborValue {
 public:
  enum class Type { Unsigned, Negative, Bytes, Text, Array, Map, Tag, Simple, Float };
  static constexpr int kMaxDepth = 32;
  static constexpr uint64_t kFalse = 20, kTrue = 21, kNull = 22, kUndefined = 23;

  CborValue() = default;  // null
  static CborValue integer(int64_t v);
  static CborValue unsignedInteger(uint64_t v);
  static CborValue bytes(std::string v);
  static CborValue text(std::string v);
  static CborValue array(std::vector<CborValue> items);
  static CborValue map(std::vector<std::pair<CborValue, CborValue>> entries);
  static CborValue tag(uint64_t number, CborValue content);
  static CborValue boolean(bool v);
  static CborValue null();

  Type type() const { return type_; }
  bool isText() const { return type_ == Type::Text; }
  bool isBytes() const { return type_ == Type::Bytes; }
  bool isArray() const { return type_ == Type::Array; }
  bool isMap() const { return type_ == Type::Map; }
  bool isNull() const { return type_ == Type::Simple && number_ == kNull; }
  bool isInteger() const { return type_ == Type::Unsigned || type_ == Type::Negative; }

  // Text or bytes content ("" for other types).
  const std::string& string() const { return string_; }
  // The integer's value when it fits an int64_t.
  std::optional<int64_t> asInteger() const;
  // Tag number, or simple value.
  uint64_t number() const { return number_; }
  double floatValue() const { return float_; }
  // Array items, or a tag's single content item.
  const std::vector<CborValue>& items() const { return items_; }
  // Map entries, in the order written or read.
  const std::vector<std::pair<CborValue, CborValue>>& entries() const { return entries_; }
  // The value of the map entry whose key is the text `key`; nullptr when absent
  // or when this is not a map.
  const CborValue* find(std::string_view key) const;
  // The value of the map entry whose key is the integer `key`.
  const CborValue* find(int64_t key) const;

  std::string encode() const;
  static std::optional<CborValue> decode(std::string_view data);

 private:
  void encodeTo(std::string* out) const;
  struct Reader;

  Type type_ = Type::Simple;
  uint64_t number_ = kNull;  // unsigned value, negative magnitude - 1, tag or simple
  double float_ = 0;
  unsigned floatInfo_ = 27;  // the head's width as read (25 half, 26 single, 27 double)
  std::string string_;
  std::vector<CborValue> items_;
  std::vector<std::pair<CborValue, CborValue>> entries_;
};

}  // namespace quillbox
