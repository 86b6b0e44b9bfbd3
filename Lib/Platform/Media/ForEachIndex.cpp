#include "Platform/Media/ForEachIndex.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace quillbox::platform {

void forEachIndex(size_t count, unsigned workers, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) work(i);
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < workers && t < count; ++t) {
    try {
      helpers.emplace_back(run);
    } catch (const std::system_error&) {
      break;
    }
  }
  run();
  for (auto& t : helpers) t.join();
}

unsigned coresUpTo(unsigned most) {
  return std::clamp(std::thread::hardware_concurrency(), 1u, std::max(most, 1u));
}

}  // namespace quillbox::platform
