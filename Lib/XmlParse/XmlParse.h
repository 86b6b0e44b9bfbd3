// XmlParse: the readers of the service's XML replies.
//
// Each reader turns a reply into a flat dictionary of strings (values exactly
// as the reply has them, the string value of the first matching node). The
// vocabulary: a success reply is a `result` element, a failure reply an
// `errorResult` element, each with `type` and `message`, plus fields of the
// call. Elements are found anywhere below their parent ("//result//type").
//
// Every reader gives nothing (nullopt) for text that is not well-formed XML,
// and logs "%@" with the error and raises XmlParseError when the reply is XML
// but has neither a usable `result` nor an `errorResult` with both `type` and
// `message`. The readers load no external entity, DTD or file and expand no
// entity (only the five predefined ones exist); a reply that declares entities
// is read without them.
//
// Stateless; safe for concurrent use from any thread.
#pragma once

#include <optional>
#include <string>

#include "PropertyList/PlistValue.h"
#include "XmlParse/XmlParseError.h"

namespace quillbox {

class XmlParse {
 public:
  // {"type", "message"} of the `errorResult`.
  static std::optional<PlistDict> parserToErrorXML(const std::string& text);
  // {"type", "message"} of the `result`; without both, parserToErrorXML().
  static std::optional<PlistDict> parserToXML(const std::string& text);
  // {"id", "isComplete", "realLength" (each when present), "type", "message"}
  // of a file creation; without a `result` type, parserToErrorXML().
  static std::optional<PlistDict> parserToCreateFile(const std::string& text);
  // The account overview: "voiceRemainder", "balance", "level", "spaceTotal",
  // "apple", "spaceUse" (each when present) and "phones", an array (possibly
  // empty) of one dictionary per phone entry ("//result//phones//result")
  // keyed by its known child elements ("isRecordInSecret", "phone", "figure",
  // "analog", "isMain", "isAuthed"; an element without content reads ""). A
  // reply is recognised by "voiceRemainder"; without it, parserToErrorXML().
  static std::optional<PlistDict> parserToInitialization(const std::string& text);
};

}  // namespace quillbox
