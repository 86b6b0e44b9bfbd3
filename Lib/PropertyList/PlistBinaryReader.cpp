#include "PropertyList/PlistBinaryReader.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "PropertyList/PlistText.h"

namespace quillbox {
namespace {

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view b) : b_(reinterpret_cast<const unsigned char*>(b.data())) {
    size_ = b.size();
  }

  std::optional<PlistValue> run() {
    if (!trailer()) return std::nullopt;
    // Shared objects are copied wherever they are referenced: bound what a
    // small file may expand to (a chain of doubly referenced arrays would
    // otherwise grow exponentially).
    budget_ = 64 * static_cast<uint64_t>(size_) + (4u << 20);
    onPath_.assign(objects_, false);
    std::optional<PlistValue> root;
    if (!visit(top_, root)) return std::nullopt;
    while (!frames_.empty()) {
      Frame& f = frames_.back();
      if (f.next == f.count) {
        PlistValue v = f.isDict ? PlistValue(std::move(f.dict)) : PlistValue(std::move(f.array));
        onPath_[f.ref] = false;
        frames_.pop_back();
        if (!deliver(std::move(v), root)) return std::nullopt;
        continue;
      }
      uint64_t child = ref(f.refsAt, f.isDict ? f.count + f.next : f.next);
      if (f.isDict) {
        // Keys are strings, read on the spot.
        std::optional<PlistValue> key;
        if (!scalar(ref(f.refsAt, f.next), key) || !key || !key->isString()) return std::nullopt;
        f.key = *key->asString();
      }
      ++f.next;
      std::optional<PlistValue> value;
      if (!visit(child, value)) return std::nullopt;
      if (value && !deliver(std::move(*value), root)) return std::nullopt;
    }
    return root;
  }

 private:
  struct Frame {
    Frame(uint64_t r, bool d, size_t at, uint64_t n) : ref(r), isDict(d), refsAt(at), count(n) {}
    uint64_t ref;
    bool isDict;
    size_t refsAt;
    uint64_t count;
    uint64_t next = 0;
    PlistArray array;
    PlistDict dict;
    std::string key;
  };

  uint64_t be(size_t at, size_t width) const {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | b_[at + i];
    return v;
  }
  // True when `n` bytes from `at` lie before the trailer.
  bool fits(uint64_t at, uint64_t n) const { return at <= end_ && n <= end_ - at; }

  bool trailer() {
    if (size_ < 8 + 32) return false;
    end_ = size_ - 32;
    const unsigned char* t = b_ + end_;
    offsetSize_ = t[6];
    refSize_ = t[7];
    objects_ = be(end_ + 8, 8);
    top_ = be(end_ + 16, 8);
    tableAt_ = be(end_ + 24, 8);
    return offsetSize_ >= 1 && offsetSize_ <= 8 && refSize_ >= 1 && refSize_ <= 8 &&
           objects_ >= 1 && top_ < objects_ && tableAt_ >= 8 &&
           objects_ <= (end_ - std::min<uint64_t>(tableAt_, end_)) / offsetSize_ &&
           fits(tableAt_, objects_ * offsetSize_);
  }
  // The n-th reference of a list of references at `at` (bounds checked when the list was found).
  uint64_t ref(size_t at, uint64_t n) const { return be(at + n * refSize_, refSize_); }

  // The count of an array, dictionary, string or data object whose marker is
  // at `at`, and where its contents start.
  bool count(size_t at, uint64_t& n, size_t& start) const {
    n = b_[at] & 0x0F;
    start = at + 1;
    if (n != 0x0F) return true;
    if (!fits(start, 1) || (b_[start] & 0xF0) != 0x10 || (b_[start] & 0x0F) > 3) return false;
    const size_t width = size_t{1} << (b_[start] & 0x0F);
    if (!fits(start + 1, width)) return false;
    n = be(start + 1, width);
    start += 1 + width;
    return true;
  }

  // Reads object `r`: a scalar goes to `out`; a container is pushed as a
  // frame (out stays empty) and filled by the loop in run().
  bool visit(uint64_t r, std::optional<PlistValue>& out) {
    if (r >= objects_) return false;
    const uint64_t at = be(tableAt_ + r * offsetSize_, offsetSize_);
    if (at < 8 || !fits(at, 1)) return false;
    const unsigned kind = b_[at] >> 4;
    if (kind != 0xA && kind != 0xD) return scalar(r, out);
    uint64_t n;
    size_t start;
    if (!count(at, n, start)) return false;
    const uint64_t refs = kind == 0xD ? 2 : 1;
    if (n > end_ / refs || !fits(start, n * refs * refSize_)) return false;
    if (onPath_[r] || frames_.size() >= kPlistMaxDepth || !spend(32))
      return false;  // a cycle, too deep
    onPath_[r] = true;
    frames_.emplace_back(r, kind == 0xD, start, n);
    return true;
  }

  bool scalar(uint64_t r, std::optional<PlistValue>& out) {
    if (r >= objects_) return false;
    const uint64_t at = be(tableAt_ + r * offsetSize_, offsetSize_);
    if (at < 8 || !fits(at, 1) || !spend(32)) return false;
    const unsigned marker = b_[at];
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x00) {
          out = PlistValue();
        } else if (marker == 0x08 || marker == 0x09) {
          out = PlistValue::boolean(marker == 0x09);
        } else if (marker == 0x0F) {
          out = PlistValue::data(std::string());  // a fill byte, read as plistlib reads it
        } else {
          return false;
        }
        return true;
      case 0x1: {
        const unsigned w = marker & 0x0F;
        if (w > 4 || !fits(at + 1, size_t{1} << w)) return false;
        if (w < 3) {
          out = PlistValue::integer(static_cast<int64_t>(be(at + 1, size_t{1} << w)));
        } else if (w == 3) {
          out = PlistValue::integer(static_cast<int64_t>(be(at + 1, 8)));
        } else {
          // 16 bytes, two's complement: only what 64 bits carry is taken.
          const uint64_t high = be(at + 1, 8), low = be(at + 9, 8);
          if (high == 0) {
            out = PlistValue::unsignedInteger(low);
          } else if (high == ~uint64_t{0} && (low >> 63)) {
            out = PlistValue::integer(static_cast<int64_t>(low));
          } else {
            return false;
          }
        }
        return true;
      }
      case 0x2:
      case 0x3: {
        const bool single = marker == 0x22;
        if (marker != 0x22 && marker != 0x23 && marker != 0x33) return false;
        if (!fits(at + 1, single ? 4 : 8)) return false;
        double d;
        if (single) {
          const auto bits = static_cast<uint32_t>(be(at + 1, 4));
          float f;
          std::memcpy(&f, &bits, 4);
          d = f;
        } else {
          const uint64_t bits = be(at + 1, 8);
          std::memcpy(&d, &bits, 8);
        }
        if (marker != 0x33) {
          out = PlistValue::real(d);
          return true;
        }
        if (!std::isfinite(d) || !PlistDate{d}.inRange()) return false;
        out = PlistValue::dateSince2001(d);
        return true;
      }
      case 0x4:
      case 0x5:
      case 0x6: {
        uint64_t n;
        size_t start;
        if (!count(at, n, start)) return false;
        const uint64_t unit = (marker >> 4) == 0x6 ? 2 : 1;
        if (n > end_ / unit || !fits(start, n * unit) || !spend(n * unit)) return false;
        const char* p = reinterpret_cast<const char*>(b_ + start);
        if ((marker >> 4) == 0x4) {
          out = PlistValue::data(std::string(p, n));
        } else if ((marker >> 4) == 0x5) {
          for (uint64_t i = 0; i < n; ++i)
            if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
          out = PlistValue(std::string(p, n));
        } else {
          std::string s;
          s.reserve(n * 3);
          if (!PlistText::utf16ToUtf8(std::string_view(p, n * 2), true, s)) return false;
          out = PlistValue(std::move(s));
        }
        return true;
      }
      default:
        return false;  // UIDs, sets and unknown kinds
    }
  }

  // Hands a finished value to the innermost container, or makes it the root.
  bool deliver(PlistValue v, std::optional<PlistValue>& root) {
    if (frames_.empty()) {
      root = std::move(v);
      return true;
    }
    Frame& f = frames_.back();
    if (f.isDict) {
      // A repeated key keeps its first place and takes the last value.
      f.dict.set(std::move(f.key), std::move(v));
    } else {
      f.array.push_back(std::move(v));
    }
    return true;
  }

  bool spend(uint64_t cost) {
    if (cost > budget_) return false;
    budget_ -= cost;
    return true;
  }

  const unsigned char* b_;
  size_t size_ = 0;
  size_t end_ = 0;
  unsigned offsetSize_ = 0, refSize_ = 0;
  uint64_t objects_ = 0, top_ = 0, tableAt_ = 0;
  uint64_t budget_ = 0;
  std::vector<bool> onPath_;
  std::vector<Frame> frames_;
};

}  // namespace

std::optional<PlistValue> PlistBinaryReader::parse(std::string_view bytes) {
  if (!looksBinary(bytes)) return std::nullopt;
  return BinaryReader(bytes).run();
}

}  // namespace quillbox
