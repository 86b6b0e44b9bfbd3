// JumbfBox: boxes of JUMBF (ISO/IEC 19566-5), the container of content credentials.
//
// A box is LBox (4 bytes, big-endian size of the whole box), TBox (4 bytes,
// its type) and its data; LBox 1 means an 8-byte XLBox follows. A superbox
// ("jumb") starts with a description box ("jumd": 16-byte type UUID, toggles,
// a null-terminated label when toggle 0x02 is set) and holds further boxes.
// The writers give the bytes of a box; parse() reads a superbox from untrusted
// bytes and refuses (nullopt) anything malformed or nested deeper than kMaxDepth.
//
// A plain value type; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

class JumbfBox {
 public:
  static constexpr int kMaxDepth = 8;
  // Requestable and label present: every description box of a manifest store.
  static constexpr uint8_t kToggles = 0x03;

  std::string type;             // TBox: "jumb" for a superbox, else the content type
  size_t offset = 0;            // of the box's first byte in the parsed bytes
  size_t size = 0;              // of the whole box
  size_t headerSize = 0;        // 8, or 16 with an XLBox
  std::string uuid;             // superbox: the 16 bytes of its JUMBF type
  uint8_t toggles = 0;          // superbox: the description box's toggles
  std::string label;            // superbox: its label ("" when none)
  std::vector<JumbfBox> boxes;  // superbox: the boxes after the description box
  std::string payload;          // content box: its data

  bool isSuperbox() const { return type == "jumb"; }
  // The only superbox among `boxes` labelled `name`; nullptr when there is
  // none or more than one (an ambiguous reference resolves to nothing).
  const JumbfBox* child(std::string_view name) const;
  // The box's bytes after its header, from the bytes it was parsed from: what
  // a hashed reference to a superbox covers.
  std::string_view contents(std::string_view parsed) const;

  // A superbox of JUMBF type `uuid` (16 bytes) labelled `label`, holding `boxes`.
  static std::string superbox(std::string_view uuid, std::string_view label,
                              const std::vector<std::string>& boxes);
  // A content box of type `type` (4 characters) holding `payload`.
  static std::string contentBox(std::string_view type, std::string_view payload);

  // The superbox that spans all of `data`.
  static std::optional<JumbfBox> parse(std::string_view data);
};

}  // namespace quillbox
