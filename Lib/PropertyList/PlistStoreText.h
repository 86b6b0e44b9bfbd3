// PlistStoreText: the XML text of a store-shaped property list, kept so that
// a change to one of its arrays is written by copying the rest.
//
// A store is a dictionary whose entries are mostly arrays of records. Its text
// is kept with where each entry and each array item lies in it; the text of a
// store that differs in one array is then put together from the old pieces
// and only the new items written, instead of writing every record anew. The
// text is always byte for byte what PlistXmlWriter::write gives for the whole
// dictionary.
//
// A value type; its operations are const and safe to call from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistStoreText {
 public:
  // The text of `store`; nullopt (the reason in `*why`) when it can't be written.
  static std::optional<PlistStoreText> write(const PlistDict& store, std::string* why = nullptr);

  // The text of `changed`, a dictionary that differs from the one this text
  // was made of only in the entry `key`: an array whose item i is item
  // origin[i] of the old array (unchanged) or, where origin[i] is negative,
  // written anew. Its other entries are the old ones, unchanged, in any order.
  // REQUIRES: origin has an element for every item of changed[key] and names
  // only items of the old array (a key the old text lacks has none).
  std::optional<PlistStoreText> withArray(const PlistDict& changed, const std::string& key,
                                          const std::vector<std::ptrdiff_t>& origin,
                                          std::string* why = nullptr) const;

  const std::string& text() const { return text_; }

 private:
  struct Span {
    size_t begin = 0, end = 0;
  };
  struct Entry {
    std::string key;
    Span whole;               // the key and its value
    std::vector<Span> items;  // an array's items (empty spans for none values)
  };
  // Appends one entry (key and value at depth 1) to text_ and indexes it.
  bool append(const std::string& key, const PlistValue& value, std::string* why);

  std::string text_;
  std::vector<Entry> entries_;  // in the dictionary's order
};

}  // namespace quillbox
