// ForEachIndex: short pieces of picture work spread over the cores.
//
// The image code splits a picture into pieces that need no lock (strips of a
// PNG, bands of thumbnail rows) and runs them here: joined threads that live
// only for the call, so nothing outlives the picture they read.
#pragma once

#include <cstddef>
#include <functional>

namespace quillbox::platform {

// Runs work(0..count-1) on the caller's thread and up to workers-1 threads of
// its own, which take the next index as they become free; all are joined
// before it returns. Where no thread can be started the caller does it all.
void forEachIndex(size_t count, unsigned workers, const std::function<void(size_t)>& work);

// The cores this machine has, at least 1 and at most `most`.
unsigned coresUpTo(unsigned most);

}  // namespace quillbox::platform
