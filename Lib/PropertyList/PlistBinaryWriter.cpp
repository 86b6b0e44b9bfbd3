#include "PropertyList/PlistBinaryWriter.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "PropertyList/Utf8.h"

namespace quillbox {
namespace {

// Bytes needed for `n` (1 to 8).
size_t widthFor(uint64_t n) {
  size_t w = 1;
  while (w < 8 && (n >> (8 * w)) != 0) ++w;
  return w;
}

void putBigEndian(std::string& out, uint64_t v, size_t width) {
  for (size_t i = width; i-- > 0;) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A marker with its count: in the low half when below 15, else as an integer
// object after it.
void putMarker(std::string& out, unsigned kind, uint64_t n) {
  if (n < 15) {
    out += static_cast<char>(kind << 4 | n);
    return;
  }
  out += static_cast<char>(kind << 4 | 0xF);
  const unsigned w = n < 0x100 ? 0 : n < 0x10000 ? 1 : n < 0x100000000ULL ? 2 : 3;
  out += static_cast<char>(0x10 | w);
  putBigEndian(out, n, size_t{1} << w);
}

// UTF-8 as UTF-16 code units; false when it is not UTF-8.
bool toUtf16(std::string_view s, std::vector<uint16_t>& units) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    uint32_t cp;
    const size_t n = Utf8::decode(p, end, cp);
    if (n == 0) return false;
    if (cp >= 0x10000) {
      units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    p += n;
  }
  return true;
}

bool putString(std::string& out, const std::string& s) {
  bool ascii = true;
  for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    putMarker(out, 0x5, s.size());
    out += s;
    return true;
  }
  std::vector<uint16_t> units;
  if (!toUtf16(s, units)) return false;
  putMarker(out, 0x6, units.size());
  for (uint16_t u : units) putBigEndian(out, u, 2);
  return true;
}

void putDouble(std::string& out, unsigned marker, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  out += static_cast<char>(marker);
  putBigEndian(out, bits, 8);
}

// One entry of the object table: a value, or a dictionary key.
struct Node {
  const PlistValue* value;
  const std::string* key;
  size_t depth;
  uint64_t firstChild = 0;
  uint64_t children = 0;  // items of an array, pairs of a dictionary
};

}  // namespace

std::optional<std::string> PlistBinaryWriter::write(const PlistValue& value, std::string* why) {
  auto fail = [&](const char* reason) -> std::optional<std::string> {
    if (why) *why = reason;
    return std::nullopt;
  };
  static const PlistValue kEmptyDict{PlistDict()};
  // Breadth first: the children of each container get consecutive numbers,
  // so a container's references are a run from its first child.
  std::vector<Node> nodes{Node{value.isNone() ? &kEmptyDict : &value, nullptr, 0}};
  for (size_t i = 0; i < nodes.size(); ++i) {
    const PlistValue* v = nodes[i].value;
    if (!v || (!v->isArray() && !v->isDict())) continue;
    const size_t depth = nodes[i].depth;
    if (depth >= kPlistMaxDepth) return fail("more than 512 levels of arrays and dictionaries");
    const uint64_t first = nodes.size();
    if (const PlistArray* a = v->asArray()) {
      for (const auto& e : *a) nodes.push_back(Node{&e, nullptr, depth + 1});
    } else {
      for (const auto& [k, e] : *v->asDict()) nodes.push_back(Node{nullptr, &k, depth + 1});
      for (const auto& [k, e] : *v->asDict()) nodes.push_back(Node{&e, nullptr, depth + 1});
    }
    nodes[i].firstChild = first;
    nodes[i].children = (nodes.size() - first) / (v->isDict() ? 2 : 1);
  }

  const size_t refSize = widthFor(nodes.size() - 1);
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  offsets.reserve(nodes.size());
  for (const Node& n : nodes) {
    offsets.push_back(out.size());
    if (n.key) {
      if (!putString(out, *n.key)) return fail("a key that is not UTF-8");
      continue;
    }
    const PlistValue& v = *n.value;
    using T = PlistValue::Type;
    switch (v.type()) {
      case T::None:
        out += '\x00';  // the null object, which reads back as a none value
        break;
      case T::Boolean:
        out += v.boolValue() ? '\x09' : '\x08';
        break;
      case T::Integer:
        if (auto i = v.asInteger()) {
          const auto u = static_cast<uint64_t>(*i);
          const unsigned w = *i < 0               ? 3
                             : u < 0x100          ? 0
                             : u < 0x10000        ? 1
                             : u < 0x100000000ULL ? 2
                                                  : 3;
          out += static_cast<char>(0x10 | w);
          putBigEndian(out, u, size_t{1} << w);
        } else {
          out += '\x14';  // 2^63 and above: 16 bytes, as signed 128 bits
          putBigEndian(out, 0, 8);
          putBigEndian(out, *v.asUnsignedInteger(), 8);
        }
        break;
      case T::Real:
        putDouble(out, 0x23, *v.asReal());
        break;
      case T::Date:
        if (!std::isfinite(v.asDate()->secondsSince2001) || !v.asDate()->inRange())
          return fail("a date outside the years 1 to 9999");
        putDouble(out, 0x33, v.asDate()->secondsSince2001);
        break;
      case T::Data:
        putMarker(out, 0x4, v.asData()->bytes.size());
        out += v.asData()->bytes;
        break;
      case T::String:
        if (!putString(out, *v.asString())) return fail("text that is not UTF-8");
        break;
      case T::Array:
      case T::Dict: {
        const bool isDict = v.isDict();
        putMarker(out, isDict ? 0xD : 0xA, n.children);
        const uint64_t refs = n.children * (isDict ? 2 : 1);
        for (uint64_t r = 0; r < refs; ++r) putBigEndian(out, n.firstChild + r, refSize);
        break;
      }
    }
  }
  const uint64_t tableAt = out.size();
  const size_t offsetSize = widthFor(tableAt);
  for (uint64_t o : offsets) putBigEndian(out, o, offsetSize);
  out.append(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  putBigEndian(out, nodes.size(), 8);
  putBigEndian(out, 0, 8);
  putBigEndian(out, tableAt, 8);
  return out;
}

}  // namespace quillbox
