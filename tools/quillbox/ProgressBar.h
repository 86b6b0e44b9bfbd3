// ProgressBar: the progress bar the upload commands draw on a terminal.
//
// draw() rewrites one line of standard error: "[####----]  42.00%  1.0/2.4 MiB".
// end() finishes that line. Call both from one thread.
#pragma once

#include <cstdint>

namespace quillbox::tool {

class ProgressBar {
 public:
  static void draw(int64_t bytes, int64_t total);
  static void end();
};

}  // namespace quillbox::tool
