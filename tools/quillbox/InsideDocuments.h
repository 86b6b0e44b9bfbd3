// insideDocuments: where the commands that take an evidence file (record,
// proof) accept it: a regular file below the client container's Documents.
#pragma once

#include <optional>
#include <string>

namespace quillbox::tool {

// The file's absolute path (links resolved) when it is a regular file below
// the container's Documents; nullopt otherwise. REQUIRES: the container is located.
std::optional<std::string> insideDocuments(const std::string& path);

}  // namespace quillbox::tool
