// PlistValue: the in-memory value of a property list.
//
// A value is one of: none (absent), boolean, integer (any whole number from
// -2^63 to 2^64-1, kept exactly), real, string (UTF-8), data (bytes), date,
// array or dictionary. Dictionaries keep their keys in insertion order, so a
// file read and written again keeps its layout, and find or set a key in
// constant time. Values are plain data: copying copies deeply; no sharing
// between threads is implied. Reading and writing files is PropertyList's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillbox {

class PlistValue;
class PlistDict;

// The deepest nesting of arrays and dictionaries the readers and writers take
// (the documented limit of property lists); deeper documents are refused.
inline constexpr size_t kPlistMaxDepth = 512;
using PlistArray = std::vector<PlistValue>;

// Deep-copying owner of a heap value (lets PlistValue hold arrays and dictionaries).
template <typename T>
class PlistBox {
 public:
  PlistBox() : p_(std::make_unique<T>()) {}
  explicit PlistBox(T v) : p_(std::make_unique<T>(std::move(v))) {}
  PlistBox(const PlistBox& o) : p_(std::make_unique<T>(*o.p_)) {}
  PlistBox(PlistBox&&) noexcept = default;
  PlistBox& operator=(const PlistBox& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  PlistBox& operator=(PlistBox&&) noexcept = default;
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* get() { return p_.get(); }
  const T* get() const { return p_.get(); }

 private:
  std::unique_ptr<T> p_;
};

struct PlistData {
  std::string bytes;
  std::string base64() const;  // standard alphabet, "=" padded, one line
  bool operator==(const PlistData&) const = default;
};
// A point in time as property lists count it: seconds since 2001-01-01 UTC
// (the binary form's own number, so it is carried without rounding).
struct PlistDate {
  static constexpr double kSince1970 = 978307200.0;  // 2001-01-01 in Unix time
  double secondsSince2001 = 0;
  double secondsSince1970() const { return secondsSince2001 + kSince1970; }
  // True for the years 1 to 9999 (what both file forms and their readers carry).
  bool inRange() const;
  // "YYYY-MM-DDTHH:MM:SSZ" of the whole second at or before the date;
  // nullopt when it is out of range.
  std::optional<std::string> isoText() const;
  // Reads exactly that form (a real calendar date in years 1-9999).
  static std::optional<PlistDate> fromIsoText(std::string_view text);
  bool operator==(const PlistDate&) const = default;
};
// An integer's 64 bits; `isUnsigned` marks values of 2^63 and above, whose bits
// read as an unsigned number (it is never set for smaller values).
struct PlistInteger {
  uint64_t bits = 0;
  bool isUnsigned = false;
  bool operator==(const PlistInteger&) const = default;
};

class PlistValue {
 public:
  enum class Type { None, Boolean, Integer, Real, String, Data, Date, Array, Dict };

  PlistValue() = default;
  PlistValue(const char* s) : v_(std::string(s)) {}
  PlistValue(std::string s) : v_(std::move(s)) {}
  PlistValue(std::string_view s) : v_(std::string(s)) {}
  PlistValue(PlistArray a);
  PlistValue(PlistDict d);
  static PlistValue boolean(bool b);
  static PlistValue integer(int64_t i);
  static PlistValue unsignedInteger(uint64_t u);
  static PlistValue real(double d);
  static PlistValue data(std::string bytes);
  static PlistValue date(double secondsSince1970);
  static PlistValue dateSince2001(double secondsSince2001);

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNone() const { return type() == Type::None; }
  bool isString() const { return type() == Type::String; }
  bool isNumber() const {
    return type() == Type::Integer || type() == Type::Real || type() == Type::Boolean;
  }
  bool isArray() const { return type() == Type::Array; }
  bool isDict() const { return type() == Type::Dict; }

  // Typed access: nullptr / nullopt when the value is of another type.
  const std::string* asString() const;
  const PlistArray* asArray() const;
  PlistArray* asArray();
  const PlistDict* asDict() const;
  PlistDict* asDict();
  const PlistData* asData() const;
  const PlistDate* asDate() const;
  // Integer (when it fits in 64 signed bits) or Boolean only.
  std::optional<int64_t> asInteger() const;
  // A non-negative Integer (any of 0 ... 2^64-1).
  std::optional<uint64_t> asUnsignedInteger() const;
  std::optional<double> asReal() const;  // any number

  // Lenient reads with the platform's rules: a number gives its value (an
  // integer above 2^63-1 gives 2^63-1); a string gives its leading decimal
  // integer (leading white space and one sign allowed, no digits reads 0);
  // anything else gives 0.
  int64_t integerValue() const;
  double realValue() const;
  // true for a true boolean, a non-zero number, or a string starting with
  // "Y", "y", "T", "t" or a digit 1-9 (after white space and zeros and a sign).
  bool boolValue() const;
  // The text of a string, a number in decimal, "" otherwise.
  std::string stringValue() const;

  bool operator==(const PlistValue& other) const;
  bool operator!=(const PlistValue& other) const { return !(*this == other); }

  // A readable one-line text for log lines (JSON for containers).
  std::string description() const;

 private:
  std::variant<std::monostate, bool, PlistInteger, double, std::string, PlistData, PlistDate,
               PlistBox<PlistArray>, PlistBox<PlistDict>>
      v_;
};

// JSON forms (dictionaries keep their key order; data as standard Base64 text, dates as ISO 8601
// text).
nlohmann::ordered_json toJson(const PlistValue& v);
PlistValue fromJson(const nlohmann::json& j);
PlistValue fromJson(const nlohmann::ordered_json& j);

}  // namespace quillbox

// PlistValue holds dictionaries by value: every user needs the complete type.
#include "PropertyList/PlistDict.h"  // IWYU pragma: export
