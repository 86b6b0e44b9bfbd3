// MemoryArenas: how many heaps the C library's allocator may keep.
//
// By default the allocator gives many threads a heap (arena) of their own, up
// to eight per core, and a heap once made is never returned. A daemon that
// starts a thread for every registration and upload then grows in resident
// memory for hours before it levels off, which looks like (and hides) a leak.
// limit() bounds the number of heaps; call it early in main(), before other
// threads exist.
#pragma once

namespace quillbox::platform {

class MemoryArenas {
 public:
  // At most `arenas` heaps for the whole process (at least 1). Gives false
  // when the allocator does not take the limit.
  static bool limit(int arenas);
};

}  // namespace quillbox::platform
