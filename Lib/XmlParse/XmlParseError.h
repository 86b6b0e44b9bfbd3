// XmlParseError: what the XML reply readers raise when a reply is well-formed
// XML but lacks an element the reader needs (a failure reply without `type` or
// `message`, for instance).
//
// The one exception of the system that crosses a module boundary: XmlParse logs
// it and raises it again to its caller. what() names the missing piece.
#pragma once

#include <stdexcept>
#include <string>

namespace quillbox {

class XmlParseError : public std::runtime_error {
 public:
  explicit XmlParseError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace quillbox
