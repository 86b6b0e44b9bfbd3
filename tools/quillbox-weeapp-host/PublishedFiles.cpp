#include "PublishedFiles.h"

#include <cctype>

namespace quillbox::weeapphost {

std::string PublishedFiles::urlFor(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = numbers_.find(path);
  uint64_t n;
  if (it != numbers_.end()) {
    n = it->second;
  } else {
    n = paths_.size() + 1;
    numbers_[path] = n;
    paths_[n] = path;
  }
  return "/file/" + std::to_string(n);
}

std::optional<std::string> PublishedFiles::pathFor(uint64_t number) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = paths_.find(number);
  if (it == paths_.end()) return std::nullopt;
  return it->second;
}

std::string PublishedFiles::contentTypeOf(const std::string& path) {
  auto endsWith = [&](const char* ext) {
    std::string e(ext);
    if (path.size() < e.size()) return false;
    std::string tail = path.substr(path.size() - e.size());
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == e;
  };
  if (endsWith(".png")) return "image/png";
  if (endsWith(".jpg") || endsWith(".jpeg")) return "image/jpeg";
  return "application/octet-stream";
}

}  // namespace quillbox::weeapphost
