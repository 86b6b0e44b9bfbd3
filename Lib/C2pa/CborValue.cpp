#include "C2pa/CborValue.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

namespace quillbox {
namespace {

void head(std::string* out, unsigned major, uint64_t value) {
  const auto m = static_cast<char>(major << 5);
  if (value < 24) {
    out->push_back(static_cast<char>(m | static_cast<char>(value)));
    return;
  }
  int bytes = value <= 0xff ? 1 : value <= 0xffff ? 2 : value <= 0xffffffffULL ? 4 : 8;
  const int info = bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27;
  out->push_back(static_cast<char>(m | static_cast<char>(info)));
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

CborValue CborValue::integer(int64_t v) {
  CborValue c;
  if (v >= 0) {
    c.type_ = Type::Unsigned;
    c.number_ = static_cast<uint64_t>(v);
  } else {
    c.type_ = Type::Negative;
    c.number_ = static_cast<uint64_t>(-(v + 1));
  }
  return c;
}

CborValue CborValue::unsignedInteger(uint64_t v) {
  CborValue c;
  c.type_ = Type::Unsigned;
  c.number_ = v;
  return c;
}

CborValue CborValue::bytes(std::string v) {
  CborValue c;
  c.type_ = Type::Bytes;
  c.string_ = std::move(v);
  return c;
}

CborValue CborValue::text(std::string v) {
  CborValue c;
  c.type_ = Type::Text;
  c.string_ = std::move(v);
  return c;
}

CborValue CborValue::array(std::vector<CborValue> items) {
  CborValue c;
  c.type_ = Type::Array;
  c.items_ = std::move(items);
  return c;
}

CborValue CborValue::map(std::vector<std::pair<CborValue, CborValue>> entries) {
  CborValue c;
  c.type_ = Type::Map;
  c.entries_ = std::move(entries);
  return c;
}

CborValue CborValue::tag(uint64_t number, CborValue content) {
  CborValue c;
  c.type_ = Type::Tag;
  c.number_ = number;
  c.items_.push_back(std::move(content));
  return c;
}

CborValue CborValue::boolean(bool v) {
  CborValue c;
  c.number_ = v ? kTrue : kFalse;
  return c;
}

CborValue CborValue::null() {
  return {};
}

std::optional<int64_t> CborValue::asInteger() const {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (type_ == Type::Unsigned && number_ <= kMax) return static_cast<int64_t>(number_);
  if (type_ == Type::Negative && number_ <= kMax) return -static_cast<int64_t>(number_) - 1;
  return std::nullopt;
}

const CborValue* CborValue::find(std::string_view key) const {
  for (const auto& [k, v] : entries_)
    if (k.type_ == Type::Text && k.string_ == key) return &v;
  return nullptr;
}

const CborValue* CborValue::find(int64_t key) const {
  for (const auto& [k, v] : entries_)
    if (k.isInteger() && k.asInteger() == key) return &v;
  return nullptr;
}

std::string CborValue::encode() const {
  std::string out;
  encodeTo(&out);
  return out;
}

void CborValue::encodeTo(std::string* out) const {
  switch (type_) {
    case Type::Unsigned:
      head(out, 0, number_);
      break;
    case Type::Negative:
      head(out, 1, number_);
      break;
    case Type::Bytes:
      head(out, 2, string_.size());
      out->append(string_);
      break;
    case Type::Text:
      head(out, 3, string_.size());
      out->append(string_);
      break;
    case Type::Array:
      head(out, 4, items_.size());
      for (const CborValue& item : items_) item.encodeTo(out);
      break;
    case Type::Map: {
      // Deterministic order: by the bytes of each encoded key.
      std::vector<std::pair<std::string, const CborValue*>> sorted;
      sorted.reserve(entries_.size());
      for (const auto& [k, v] : entries_) sorted.emplace_back(k.encode(), &v);
      std::stable_sort(sorted.begin(), sorted.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      head(out, 5, sorted.size());
      for (const auto& [k, v] : sorted) {
        out->append(k);
        v->encodeTo(out);
      }
      break;
    }
    case Type::Tag:
      head(out, 6, number_);
      items_.front().encodeTo(out);
      break;
    case Type::Simple:
      head(out, 7, number_);
      break;
    case Type::Float: {
      // Written back as read: the same width and bits (a NaN keeps its payload).
      const uint64_t bits = number_;
      out->push_back(static_cast<char>(0xe0 | floatInfo_));
      for (int i = (1 << (floatInfo_ - 24)) - 1; i >= 0; --i)
        out->push_back(static_cast<char>(bits >> (8 * i)));
      break;
    }
  }
}

struct CborValue::Reader {
  std::string_view data;
  size_t at = 0;

  bool need(uint64_t n) const { return n <= data.size() - at; }
  uint8_t byte() { return static_cast<uint8_t>(data[at++]); }

  // The head's major type and argument; false on truncation or an indefinite length.
  bool readHead(unsigned* major, unsigned* info, uint64_t* value) {
    if (!need(1)) return false;
    uint8_t first = byte();
    *major = first >> 5;
    *info = first & 0x1f;
    if (*info < 24) {
      *value = *info;
      return true;
    }
    if (*info > 27) return false;  // reserved, or indefinite length
    const int bytes = 1 << (*info - 24);
    if (!need(static_cast<uint64_t>(bytes))) return false;
    *value = 0;
    for (int i = 0; i < bytes; ++i) *value = *value << 8 | byte();
    return true;
  }

  std::optional<CborValue> item(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    unsigned major = 0, info = 0;
    uint64_t value = 0;
    if (!readHead(&major, &info, &value)) return std::nullopt;
    CborValue c;
    switch (major) {
      case 0:
        return unsignedInteger(value);
      case 1:
        c.type_ = Type::Negative;
        c.number_ = value;
        return c;
      case 2:
      case 3:
        if (!need(value)) return std::nullopt;
        c.type_ = major == 2 ? Type::Bytes : Type::Text;
        c.string_.assign(data.substr(at, value));
        at += value;
        return c;
      case 4:
        // Every item takes at least one byte: a count beyond the input is malformed.
        if (!need(value)) return std::nullopt;
        c.type_ = Type::Array;
        c.items_.reserve(value);
        for (uint64_t i = 0; i < value; ++i) {
          auto v = item(depth + 1);
          if (!v) return std::nullopt;
          c.items_.push_back(std::move(*v));
        }
        return c;
      case 5: {
        if (value > (data.size() - at) / 2) return std::nullopt;
        std::set<std::string> keys;
        c.type_ = Type::Map;
        c.entries_.reserve(value);
        for (uint64_t i = 0; i < value; ++i) {
          auto k = item(depth + 1);
          // A key given twice (in any width) would let two readers see two values.
          if (!k || !keys.insert(k->encode()).second) return std::nullopt;
          auto v = item(depth + 1);
          if (!v) return std::nullopt;
          c.entries_.emplace_back(std::move(*k), std::move(*v));
        }
        return c;
      }
      case 6: {
        auto v = item(depth + 1);
        if (!v) return std::nullopt;
        return tag(value, std::move(*v));
      }
      default:
        return simpleOrFloat(info, value);
    }
  }

  static std::optional<CborValue> simpleOrFloat(unsigned info, uint64_t value) {
    CborValue c;
    if (info < 25) {
      c.number_ = value;
      return c;
    }
    c.type_ = Type::Float;
    c.number_ = value;
    c.floatInfo_ = info;
    if (info == 27) {
      std::memcpy(&c.float_, &value, sizeof c.float_);
    } else if (info == 26) {
      auto bits = static_cast<uint32_t>(value);
      float f = 0;
      std::memcpy(&f, &bits, sizeof f);
      c.float_ = f;
    } else {
      // Half precision (RFC 8949, appendix D).
      const int exp = static_cast<int>(value >> 10) & 0x1f;
      const int mant = static_cast<int>(value & 0x3ff);
      double v = exp == 0    ? std::ldexp(mant, -24)
                 : exp != 31 ? std::ldexp(mant + 1024, exp - 25)
                 : mant == 0 ? HUGE_VAL
                             : NAN;
      c.float_ = (value & 0x8000) ? -v : v;
    }
    return c;
  }
};

std::optional<CborValue> CborValue::decode(std::string_view data) {
  Reader r{data};
  auto v = r.item(0);
  if (!v || r.at != data.size()) return std::nullopt;
  return v;
}

}  // namespace quillbox
