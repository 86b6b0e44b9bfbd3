#include "PropertyList/PlistStoreText.h"

#include <unordered_map>

#include "PropertyList/PlistXmlWriter.h"

namespace quillbox {
namespace {

// The top dictionary is at depth 0, its keys and values at 1, array items at 2.
constexpr size_t kEntryDepth = 1, kItemDepth = 2;
constexpr std::string_view kDictOpen = "<dict>\n", kDictClose = "</dict>\n",
                           kEmptyDict = "<dict/>\n";
constexpr std::string_view kArrayOpen = "\t<array>\n", kArrayClose = "\t</array>\n",
                           kEmptyArray = "\t<array/>\n";

bool anyValue(const PlistDict& d) {
  for (const auto& [k, v] : d)
    if (!v.isNone()) return true;
  return false;
}

bool anyValue(const PlistArray& a) {
  for (const auto& v : a)
    if (!v.isNone()) return true;
  return false;
}

}  // namespace

bool PlistStoreText::append(const std::string& key, const PlistValue& value, std::string* why) {
  Entry e;
  e.key = key;
  e.whole.begin = text_.size();
  if (!PlistXmlWriter::writeKey(key, kEntryDepth, text_, why)) return false;
  const PlistArray* array = value.asArray();
  if (array && anyValue(*array)) {
    // Written as the writer writes a non-empty array, each item indexed.
    text_ += kArrayOpen;
    e.items.reserve(array->size());
    for (const PlistValue& item : *array) {
      Span s{text_.size(), 0};
      if (!PlistXmlWriter::writeValue(item, kItemDepth, text_, why)) return false;
      s.end = text_.size();
      e.items.push_back(s);
    }
    text_ += kArrayClose;
  } else {
    if (!PlistXmlWriter::writeValue(value, kEntryDepth, text_, why)) return false;
    if (array) e.items.resize(array->size());  // none values only: no text
  }
  e.whole.end = text_.size();
  entries_.push_back(std::move(e));
  return true;
}

std::optional<PlistStoreText> PlistStoreText::write(const PlistDict& store, std::string* why) {
  PlistStoreText t;
  t.text_.assign(PlistXmlWriter::kDocumentStart);
  if (!anyValue(store)) {
    t.text_ += kEmptyDict;
  } else {
    t.text_ += kDictOpen;
    for (const auto& [k, v] : store) {
      if (v.isNone()) continue;
      if (!t.append(k, v, why)) return std::nullopt;
    }
    t.text_ += kDictClose;
  }
  t.text_ += PlistXmlWriter::kDocumentEnd;
  return t;
}

std::optional<PlistStoreText> PlistStoreText::withArray(const PlistDict& changed,
                                                        const std::string& key,
                                                        const std::vector<std::ptrdiff_t>& origin,
                                                        std::string* why) const {
  std::unordered_map<std::string_view, const Entry*> old;
  for (const Entry& e : entries_) old.emplace(e.key, &e);
  PlistStoreText t;
  t.text_.reserve(text_.size() + 4096);
  t.text_.assign(PlistXmlWriter::kDocumentStart);
  if (!anyValue(changed)) {
    t.text_ += kEmptyDict;
    t.text_ += PlistXmlWriter::kDocumentEnd;
    return t;
  }
  t.text_ += kDictOpen;
  for (const auto& [k, v] : changed) {
    if (v.isNone()) continue;
    auto it = old.find(k);
    const Entry* was = it == old.end() ? nullptr : it->second;
    const PlistArray* array = v.asArray();
    if (k != key || !was || !array || !anyValue(*array)) {
      if (k != key && was) {
        // Unchanged: its text and index move as they are.
        Entry e = *was;
        const size_t shift = t.text_.size() - was->whole.begin;
        t.text_.append(text_, was->whole.begin, was->whole.end - was->whole.begin);
        e.whole = {was->whole.begin + shift, was->whole.end + shift};
        for (Span& s : e.items) s = {s.begin + shift, s.end + shift};
        t.entries_.push_back(std::move(e));
      } else if (!t.append(k, v, why)) {
        return std::nullopt;
      }
      continue;
    }
    // The changed array: its unchanged items copied, the others written.
    Entry e;
    e.key = k;
    e.whole.begin = t.text_.size();
    if (!PlistXmlWriter::writeKey(k, kEntryDepth, t.text_, why)) return std::nullopt;
    t.text_ += kArrayOpen;
    e.items.reserve(array->size());
    for (size_t i = 0; i < array->size(); ++i) {
      Span s{t.text_.size(), 0};
      const std::ptrdiff_t from = i < origin.size() ? origin[i] : -1;
      if (from >= 0 && static_cast<size_t>(from) < was->items.size()) {
        const Span& o = was->items[static_cast<size_t>(from)];
        t.text_.append(text_, o.begin, o.end - o.begin);
      } else if (!PlistXmlWriter::writeValue((*array)[i], kItemDepth, t.text_, why)) {
        return std::nullopt;
      }
      s.end = t.text_.size();
      e.items.push_back(s);
    }
    t.text_ += kArrayClose;
    e.whole.end = t.text_.size();
    t.entries_.push_back(std::move(e));
  }
  t.text_ += kDictClose;
  t.text_ += PlistXmlWriter::kDocumentEnd;
  return t;
}

}  // namespace quillbox
