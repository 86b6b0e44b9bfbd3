// DriviceInfo: disk space of the device.
//
// Stateless; safe from any thread.
#pragma once

#include <cstdint>

namespace quillbox {

class DriviceInfo {
 public:
  // Block size times total blocks of the file system of the user's Documents
  // folder (the running process's home + "/Documents"), as float; 0 when the
  // query fails.
  static float getTotalDiskSpaceInBytes();
};

// Block size times free blocks (reserved ones included) of "/"; -1 on failure.
int64_t freeSpace();

}  // namespace quillbox
