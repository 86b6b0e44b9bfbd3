// DiskSpace: file-system statistics (statfs) of the file system holding a path.
//
// Safe for concurrent use from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillbox::platform {

struct DiskSpaceInfo {
  uint64_t blockSize = 0;
  uint64_t totalBlocks = 0;
  uint64_t freeBlocks = 0;  // all free blocks, the reserved ones included
};

class DiskSpace {
 public:
  // nullopt when the query fails (missing path, no permission).
  static std::optional<DiskSpaceInfo> statistics(const std::string& path);
};

}  // namespace quillbox::platform
