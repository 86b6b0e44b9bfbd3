#include "ProgressBar.h"

#include <cstdio>
#include <string>

namespace quillbox::tool {

void ProgressBar::draw(int64_t bytes, int64_t total) {
  const int width = 40;
  double fraction = total > 0 ? static_cast<double>(bytes) / static_cast<double>(total) : 1.0;
  if (fraction > 1) fraction = 1;
  int filled = static_cast<int>(fraction * width);
  std::string bar(filled, '#');
  bar.append(width - filled, '-');
  std::fprintf(stderr, "\r[%s] %6.2f%%  %.1f/%.1f MiB", bar.c_str(), fraction * 100.0,
               bytes / 1048576.0, total / 1048576.0);
  std::fflush(stderr);
}

void ProgressBar::end() {
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

}  // namespace quillbox::tool
