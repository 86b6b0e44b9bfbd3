#include "C2pa/JumbfBox.h"

namespace quillbox {
namespace {

void put32(std::string* out, uint64_t v) {
  for (int i = 3; i >= 0; --i) out->push_back(static_cast<char>(v >> (8 * i)));
}

uint64_t get(std::string_view data, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(data[at + i]);
  return v;
}

std::string box(std::string_view type, std::string_view data) {
  std::string out;
  out.reserve(8 + data.size());
  put32(&out, 8 + data.size());
  out.append(type);
  out.append(data);
  return out;
}

// The box starting at `at` within `data[0, end)`; false when it doesn't fit.
bool readBox(std::string_view data, size_t at, size_t end, JumbfBox* b, int depth);

bool readDescription(std::string_view data, const JumbfBox& jumd, JumbfBox* super) {
  std::string_view d = data.substr(jumd.offset + jumd.headerSize, jumd.size - jumd.headerSize);
  if (d.size() < 17) return false;
  super->uuid.assign(d.substr(0, 16));
  super->toggles = static_cast<uint8_t>(d[16]);
  if (super->toggles & 0x02) {
    size_t nul = d.find('\0', 17);
    if (nul == std::string_view::npos) return false;
    super->label.assign(d.substr(17, nul - 17));
  }
  return true;
}

bool readSuperbox(std::string_view data, JumbfBox* b, int depth) {
  if (depth > JumbfBox::kMaxDepth) return false;
  const size_t end = b->offset + b->size;
  size_t at = b->offset + b->headerSize;
  JumbfBox jumd;
  if (!readBox(data, at, end, &jumd, depth + 1) || jumd.type != "jumd" ||
      !readDescription(data, jumd, b)) {
    return false;
  }
  at += jumd.size;
  while (at < end) {
    JumbfBox child;
    if (!readBox(data, at, end, &child, depth + 1)) return false;
    at += child.size;
    b->boxes.push_back(std::move(child));
  }
  return true;
}

bool readBox(std::string_view data, size_t at, size_t end, JumbfBox* b, int depth) {
  if (end - at < 8) return false;
  uint64_t size = get(data, at, 4);
  size_t header = 8;
  if (size == 1) {
    if (end - at < 16) return false;
    size = get(data, at + 8, 8);
    header = 16;
  } else if (size == 0) {
    size = end - at;  // to the end of its container
  }
  if (size < header || size > end - at) return false;
  b->type.assign(data.substr(at + 4, 4));
  b->offset = at;
  b->size = static_cast<size_t>(size);
  b->headerSize = header;
  if (b->isSuperbox()) return readSuperbox(data, b, depth);
  b->payload.assign(data.substr(at + header, b->size - header));
  return true;
}

}  // namespace

const JumbfBox* JumbfBox::child(std::string_view name) const {
  const JumbfBox* found = nullptr;
  for (const JumbfBox& b : boxes) {
    if (!b.isSuperbox() || b.label != name) continue;
    if (found) return nullptr;
    found = &b;
  }
  return found;
}

std::string_view JumbfBox::contents(std::string_view parsed) const {
  if (offset + size > parsed.size()) return {};
  return parsed.substr(offset + headerSize, size - headerSize);
}

std::string JumbfBox::superbox(std::string_view uuid, std::string_view label,
                               const std::vector<std::string>& boxes) {
  std::string description(uuid);
  description.push_back(static_cast<char>(kToggles));
  description.append(label);
  description.push_back('\0');
  std::string inner = box("jumd", description);
  for (const std::string& b : boxes) inner += b;
  return box("jumb", inner);
}

std::string JumbfBox::contentBox(std::string_view type, std::string_view payload) {
  return box(type, payload);
}

std::optional<JumbfBox> JumbfBox::parse(std::string_view data) {
  JumbfBox b;
  if (!readBox(data, 0, data.size(), &b, 0) || !b.isSuperbox() || b.size != data.size())
    return std::nullopt;
  return b;
}

}  // namespace quillbox
