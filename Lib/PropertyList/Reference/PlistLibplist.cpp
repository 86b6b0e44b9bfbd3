#include "PropertyList/Reference/PlistLibplist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "PropertyList/PlistBinaryReader.h"

namespace quillbox {
namespace {

PlistValue fromNode(plist_t node, size_t depth) {
  if (!node) return PlistValue();
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // libplist 2.2 keeps only the 64-bit pattern: 2^63 and above read negative.
      return PlistValue::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue::real(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      char* s = nullptr;
      if (plist_get_node_type(node) == PLIST_KEY) {
        plist_get_key_val(node, &s);
      } else {
        plist_get_string_val(node, &s);
      }
      PlistValue v(std::string(s ? s : ""));
      free(s);
      return v;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &d, &len);
      PlistValue v = PlistValue::data(std::string(d ? d : "", d ? len : 0));
      free(d);
      return v;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PlistValue::dateSince2001(sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      if (depth >= kPlistMaxDepth) return PlistValue();
      PlistArray a;
      a.reserve(plist_array_get_size(node));
      // Through an iterator: fetching item i walks the list from its start.
      plist_array_iter it = nullptr;
      plist_array_new_iter(node, &it);
      for (plist_t item = nullptr; it;) {
        plist_array_next_item(node, it, &item);
        if (!item) break;
        a.push_back(fromNode(item, depth + 1));
      }
      free(it);
      return PlistValue(std::move(a));
    }
    case PLIST_DICT: {
      if (depth >= kPlistMaxDepth) return PlistValue();
      PlistDict d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (; it;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          free(key);
          break;
        }
        d.set(key ? key : "", fromNode(val, depth + 1));
        free(key);
      }
      free(it);
      return PlistValue(std::move(d));
    }
    default:
      return PlistValue();
  }
}

uint64_t readBigEndian(const unsigned char* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

// True when a binary property list holds a string or key with a NUL character
// in it, or when its tables cannot be walked at all: libplist aborts the whole
// process when such a string is read back.
bool binaryUnsafeForLibplist(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  if (size < 8 + 32) return true;
  const unsigned char* trailer = b + size - 32;
  const size_t offsetSize = trailer[6];
  const uint64_t objects = readBigEndian(trailer + 8, 8);
  const uint64_t tableAt = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || tableAt >= size - 32 ||
      objects > (size - 32 - tableAt) / offsetSize)
    return true;
  for (uint64_t i = 0; i < objects; ++i) {
    const uint64_t at = readBigEndian(b + tableAt + i * offsetSize, offsetSize);
    if (at < 8 || at >= size) return true;
    const unsigned kind = b[at] >> 4;
    if (kind != 0x5 && kind != 0x6 && kind != 0x7) continue;  // not a string
    uint64_t count = b[at] & 0x0F;
    uint64_t start = at + 1;
    if (count == 0x0F) {  // the length follows as an integer object
      if (start >= size || (b[start] >> 4) != 0x1) return true;
      const size_t width = size_t{1} << (b[start] & 0x0F);
      if (width > 8 || start + 1 + width > size) return true;
      count = readBigEndian(b + start + 1, width);
      start += 1 + width;
    }
    const uint64_t unit = kind == 0x6 ? 2 : 1;
    if (count > (size - start) / unit) return true;
    const unsigned char* s = b + start;
    for (uint64_t k = 0; k < count; ++k) {
      if (unit == 1 ? s[k] == 0 : (s[2 * k] == 0 && s[2 * k + 1] == 0)) return true;
    }
  }
  return false;
}

// True when `libplist` is `ours` but for libplist keeping a raw "\r\n" or "\r"
// where XML makes it "\n" (a "&#13;" beside one reads "\r" in both, so where
// the two readings may pair up is tracked as a set of positions).
bool sameButLineEnds(const std::string& ours, const std::string& libplist) {
  std::vector<size_t> at{0}, next;
  for (char c : ours) {
    next.clear();
    for (size_t j : at) {
      if (j < libplist.size() && libplist[j] == c) next.push_back(j + 1);
      if (c == '\n' && j < libplist.size() && libplist[j] == '\r') {
        next.push_back(j + 1);
        if (j + 1 < libplist.size() && libplist[j + 1] == '\n') next.push_back(j + 2);
      }
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    if (next.empty()) return false;
    at.swap(next);
  }
  return std::find(at.begin(), at.end(), libplist.size()) != at.end();
}

// The number libplist's strtoull makes of a decimal with a leading zero: its
// digits read as octal, up to the first 8 or 9.
uint64_t asOctal(uint64_t decimal) {
  const std::string digits = std::to_string(decimal);
  uint64_t v = 0;
  for (char c : digits) {
    if (c > '7') break;
    v = v * 8 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

}  // namespace

bool PlistLibplist::equivalent(const PlistValue& ours, const PlistValue& libplist) {
  using T = PlistValue::Type;
  if (ours.type() == T::Integer && libplist.type() == T::Integer) {
    const uint64_t a =
        ours.asInteger() ? static_cast<uint64_t>(*ours.asInteger()) : *ours.asUnsignedInteger();
    const uint64_t b = static_cast<uint64_t>(*libplist.asInteger());
    const bool negative = !ours.asUnsignedInteger();
    return a == b || b == (negative ? 0 - asOctal(0 - a) : asOctal(a));
  }
  if (ours.type() == T::Date && libplist.type() == T::Date) {
    const double s = ours.asDate()->secondsSince2001;
    return s == libplist.asDate()->secondsSince2001 || s < std::numeric_limits<int32_t>::min() ||
           s > std::numeric_limits<int32_t>::max();
  }
  if (ours.type() == T::Real && libplist.type() == T::Real) {
    const double a = *ours.asReal(), b = *libplist.asReal();
    return a == b || (std::isnan(a) && std::isnan(b));
  }
  if (ours.isString() && libplist.isString()) {
    return sameButLineEnds(*ours.asString(), *libplist.asString());
  }
  if (ours.isArray() && libplist.isArray()) {
    const PlistArray &a = *ours.asArray(), &b = *libplist.asArray();
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!equivalent(a[i], b[i])) return false;
    return true;
  }
  if (ours.isDict() && libplist.isDict()) {
    const PlistDict &a = *ours.asDict(), &b = *libplist.asDict();
    if (a.size() != b.size()) return false;
    auto ib = b.begin();
    for (auto ia = a.begin(); ia != a.end(); ++ia, ++ib) {
      if (!sameButLineEnds(ia->first, ib->first) || !equivalent(ia->second, ib->second))
        return false;
    }
    return true;
  }
  return ours == libplist;
}

std::optional<PlistValue> PlistLibplist::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto size = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), size)) {
    if (binaryUnsafeForLibplist(bytes) || !PlistBinaryReader::parse(bytes)) return std::nullopt;
    plist_from_bin(bytes.data(), size, &root);
  } else {
    if (std::memchr(bytes.data(), 0, bytes.size())) return std::nullopt;
    plist_from_xml(bytes.data(), size, &root);
  }
  if (!root) return std::nullopt;
  PlistValue v = fromNode(root, 0);
  plist_free(root);
  return v;
}

}  // namespace quillbox
