#include "InsideDocuments.h"

#include <filesystem>
#include <system_error>

#include "AppURL.h"

namespace quillbox::tool {

std::optional<std::string> insideDocuments(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path abs = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec || !fs::is_regular_file(abs, ec)) return std::nullopt;
  fs::path docs = fs::weakly_canonical(getAppDocFilePath(""), ec);
  if (ec) return std::nullopt;
  auto rel = abs.lexically_relative(docs);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  return abs.string();
}

}  // namespace quillbox::tool
