#include "PlistTextValidator.h"

#include <cstdio>
#include <string>

#include "PropertyList/PlistXmlWriter.h"

namespace quillbox::tool {

PlistTextValidator::PlistTextValidator() : CLI::Validator("TEXT") {
  func_ = [](std::string& text) -> std::string {
    auto why = PlistXmlWriter::unwritable(text);
    if (!why) return {};
    // The text as it can be shown: control characters as \xNN.
    std::string shown;
    for (unsigned char c : text) {
      if (c < 0x20 || c == 0x7F) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        shown += buf;
      } else {
        shown += static_cast<char>(c);
      }
    }
    return "\"" + shown + "\" holds " + *why + ", which a property list cannot carry";
  };
}

}  // namespace quillbox::tool
