#include "Platform/Process/MemoryArenas.h"

#include <malloc.h>

#include <climits>

namespace quillbox::platform {

bool MemoryArenas::limit(int arenas) {
  return ::mallopt(M_ARENA_MAX, arenas < 1 ? 1 : arenas) == 1;
}

bool MemoryArenas::returnFreedAbove(size_t bytes) {
  int value = bytes > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
  // Setting either threshold also ends the allocator's raising of both.
  bool mapped = ::mallopt(M_MMAP_THRESHOLD, value) == 1;
  bool trimmed = ::mallopt(M_TRIM_THRESHOLD, value) == 1;
  return mapped && trimmed;
}

void MemoryArenas::releaseFree() {
  ::malloc_trim(0);
}

}  // namespace quillbox::platform
