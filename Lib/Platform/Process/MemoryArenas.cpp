#include "Platform/Process/MemoryArenas.h"

#include <malloc.h>

namespace quillbox::platform {

bool MemoryArenas::limit(int arenas) {
  return ::mallopt(M_ARENA_MAX, arenas < 1 ? 1 : arenas) == 1;
}

}  // namespace quillbox::platform
