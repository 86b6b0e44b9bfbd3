#include "QBXUploadManager/ServiceReply.h"

namespace quillbox {

ServiceReply::ServiceReply(const std::optional<std::string>& text)
    : object_(nlohmann::json::object()) {
  if (!text) return;
  auto j = nlohmann::json::parse(*text, nullptr, false);
  if (!j.is_discarded() && j.is_object()) object_ = std::move(j);
}

std::optional<std::string> ServiceReply::text(const char* key) const {
  auto it = object_.find(key);
  if (it == object_.end() || it->is_null()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
  return it->dump();
}

std::optional<int64_t> ServiceReply::length() const {
  auto it = object_.find("length");
  if (it == object_.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    uint64_t v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (it->is_number_integer()) {
    int64_t v = it->get<int64_t>();
    return v >= 0 ? std::optional<int64_t>(v) : std::nullopt;
  }
  if (it->is_string()) {
    const std::string s = it->get<std::string>();
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    return std::stoll(s);
  }
  return std::nullopt;
}

}  // namespace quillbox
