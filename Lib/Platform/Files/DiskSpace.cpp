#include "Platform/Files/DiskSpace.h"

#include <sys/statfs.h>

namespace quillbox::platform {

std::optional<DiskSpaceInfo> DiskSpace::statistics(const std::string& path) {
  struct statfs st {};
  if (statfs(path.c_str(), &st) != 0) return std::nullopt;
  DiskSpaceInfo info;
  info.blockSize = static_cast<uint64_t>(st.f_bsize);
  info.totalBlocks = static_cast<uint64_t>(st.f_blocks);
  info.freeBlocks = static_cast<uint64_t>(st.f_bfree);
  return info;
}

}  // namespace quillbox::platform
