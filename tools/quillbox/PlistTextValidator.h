// PlistTextValidator: refuses command-line text that a property list cannot carry.
//
// Paths and names given on the command line end up in the property store and
// the upload-state plist, which are XML: a NUL, a control character other than
// tab, line feed and carriage return, or bytes that are not UTF-8 would be
// refused when the file is written (and strict readers refuse such files), so
// the commands refuse the text at entry with a message naming the character.
#pragma once

#include <CLI/CLI.hpp>

namespace quillbox::tool {

class PlistTextValidator : public CLI::Validator {
 public:
  PlistTextValidator();
};

}  // namespace quillbox::tool
