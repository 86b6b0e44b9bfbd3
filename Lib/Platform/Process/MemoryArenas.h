// MemoryArenas: how the C library's allocator keeps and gives back memory.
//
// By default the allocator gives many threads a heap (arena) of their own, up
// to eight per core, and a heap once made is never returned. It also raises
// its thresholds to the largest block it has seen freed: after one freed
// screen image, images come from the heaps and that much stays resident in
// them for good. A daemon that starts a thread for every registration and
// upload and handles a screen-sized image per capture then grows in resident
// memory for hours before it levels off, which looks like (and hides) a leak.
// Call limit() and returnFreedAbove() early in main(), before other threads
// exist; releaseFree() at idle moments, from any thread.
#pragma once

#include <cstddef>

namespace quillbox::platform {

class MemoryArenas {
 public:
  // At most `arenas` heaps for the whole process (at least 1). Gives false
  // when the allocator does not take the limit.
  static bool limit(int arenas);
  // Blocks of `bytes` or more get a mapping of their own, returned when
  // freed, and a heap's free top past `bytes` is returned at once: fixed
  // thresholds instead of the allocator's rising ones. Gives false when the
  // allocator does not take them.
  static bool returnFreedAbove(size_t bytes);
  // Gives the free pages inside every heap back to the system (the allocator
  // only returns a heap's top by itself). Takes a moment per heap; safe from
  // any thread.
  static void releaseFree();
};

}  // namespace quillbox::platform
