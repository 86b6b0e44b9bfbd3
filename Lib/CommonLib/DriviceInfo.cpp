#include "CommonLib/DriviceInfo.h"

#include "Platform/Files/DiskSpace.h"
#include "Platform/Process/Environment.h"

namespace quillbox {

float DriviceInfo::getTotalDiskSpaceInBytes() {
  auto info = platform::DiskSpace::statistics(platform::Environment::home() + "/Documents");
  if (!info) return 0.0f;
  return static_cast<float>(static_cast<double>(info->blockSize) *
                            static_cast<double>(info->totalBlocks));
}

int64_t freeSpace() {
  auto info = platform::DiskSpace::statistics("/");
  if (!info) return -1;
  return static_cast<int64_t>(info->blockSize * info->freeBlocks);
}

}  // namespace quillbox
