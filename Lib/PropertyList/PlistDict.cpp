#include "PropertyList/PlistDict.h"

#include <functional>

namespace quillbox {
namespace {

// Up to this many items a scan is as quick as hashing and needs no index.
constexpr size_t kScanLimit = 8;

size_t hashOf(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

}  // namespace

ptrdiff_t PlistDict::indexOf(std::string_view key) const {
  if (slots_.empty()) {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].first == key) return static_cast<ptrdiff_t>(i);
    return -1;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t s = hashOf(key) & mask;; s = (s + 1) & mask) {
    const uint32_t slot = slots_[s];
    if (slot == 0) return -1;
    if (items_[slot - 1].first == key) return static_cast<ptrdiff_t>(slot - 1);
  }
}

void PlistDict::indexItem(size_t i) {
  if (slots_.empty()) {
    if (items_.size() > kScanLimit) rebuildIndex();
    return;
  }
  // Kept at most half full, so probes stay short.
  if (items_.size() * 2 > slots_.size()) {
    rebuildIndex();
    return;
  }
  const size_t mask = slots_.size() - 1;
  size_t s = hashOf(items_[i].first) & mask;
  while (slots_[s] != 0) s = (s + 1) & mask;
  slots_[s] = static_cast<uint32_t>(i + 1);
}

void PlistDict::rebuildIndex() {
  slots_.clear();
  if (items_.size() <= kScanLimit) return;
  size_t n = 16;
  while (n < items_.size() * 4) n *= 2;
  slots_.assign(n, 0);
  const size_t mask = n - 1;
  for (size_t i = 0; i < items_.size(); ++i) {
    size_t s = hashOf(items_[i].first) & mask;
    while (slots_[s] != 0) s = (s + 1) & mask;
    slots_[s] = static_cast<uint32_t>(i + 1);
  }
}

const PlistValue* PlistDict::find(std::string_view key) const {
  const ptrdiff_t i = indexOf(key);
  return i < 0 ? nullptr : &items_[static_cast<size_t>(i)].second;
}
PlistValue* PlistDict::find(std::string_view key) {
  const ptrdiff_t i = indexOf(key);
  return i < 0 ? nullptr : &items_[static_cast<size_t>(i)].second;
}

void PlistDict::set(std::string key, PlistValue value) {
  if (PlistValue* v = find(key)) {
    *v = std::move(value);
    return;
  }
  items_.emplace_back(std::move(key), std::move(value));
  indexItem(items_.size() - 1);
}

void PlistDict::setAtEnd(std::string key, PlistValue value) {
  erase(key);
  items_.emplace_back(std::move(key), std::move(value));
  indexItem(items_.size() - 1);
}

bool PlistDict::erase(std::string_view key) {
  const ptrdiff_t i = indexOf(key);
  if (i < 0) return false;
  items_.erase(items_.begin() + i);
  // Every later item has moved one place: the index is made anew.
  if (!slots_.empty()) rebuildIndex();
  return true;
}

std::string PlistDict::getString(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->stringValue() : std::string();
}
int64_t PlistDict::getInteger(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->integerValue() : 0;
}
bool PlistDict::getBool(std::string_view key) const {
  const PlistValue* v = find(key);
  return v ? v->boolValue() : false;
}

}  // namespace quillbox
