// PlistDict: the dictionary of a property list.
//
// Keys keep their insertion order, so a file read and written again keeps its
// layout; finding or setting a key takes constant time on average. Plain data
// like PlistValue: copying copies deeply; no sharing between threads is implied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistDict {
 public:
  using Item = std::pair<std::string, PlistValue>;

  // Look-up and insert take constant time on average: a dictionary past a few
  // keys keeps a hash index of its items beside them.
  const PlistValue* find(std::string_view key) const;
  PlistValue* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Replaces the value in place when the key exists, otherwise appends it.
  void set(std::string key, PlistValue value);
  // Removes the key (if present) and appends it anew at the end.
  void setAtEnd(std::string key, PlistValue value);
  // Removes the key; takes time linear in the size (the order is kept).
  bool erase(std::string_view key);
  void reserve(size_t n) { items_.reserve(n); }

  // Lenient getters (see PlistValue): a missing key reads as empty / 0 / false.
  std::string getString(std::string_view key) const;
  int64_t getInteger(std::string_view key) const;
  bool getBool(std::string_view key) const;

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  std::vector<Item>::const_iterator begin() const { return items_.begin(); }
  std::vector<Item>::const_iterator end() const { return items_.end(); }
  // REQUIRES: keys are not changed through these (values may be).
  std::vector<Item>::iterator begin() { return items_.begin(); }
  std::vector<Item>::iterator end() { return items_.end(); }

  bool operator==(const PlistDict& other) const { return items_ == other.items_; }

 private:
  // Position of `key` in items_, or -1.
  ptrdiff_t indexOf(std::string_view key) const;
  void indexItem(size_t i);
  void rebuildIndex();

  std::vector<Item> items_;
  // Open addressing over items_ (slot = position + 1, 0 = free); empty while
  // the dictionary is small enough for a plain scan.
  std::vector<uint32_t> slots_;
};

}  // namespace quillbox
