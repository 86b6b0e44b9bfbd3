// XmlEscape: text made safe to stand in XML (or in markup that follows its
// rules): "&", "<" and ">" become entities, and with `quotes` also '"' and
// "'" (for attribute values, and for callers that escape them everywhere).
// Pure function, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillbox {

class XmlEscape {
 public:
  static std::string escape(std::string_view text, bool quotes);
};

}  // namespace quillbox
