// ScreenComposer: the pixel work of a Wayland screen capture, apart from the protocol.
//
// A compositor hands over each output as a shared-memory buffer in one of the
// wl_shm formats, in the output's own orientation (before its transform) and in
// its own pixels (its scale). These functions turn such buffers into opaque
// RGBA, turn them upright, and lay the outputs out as the desktop does: each at
// its logical position, all in the pixel density of the densest output. Pure
// functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/Image.h"

namespace quillbox::platform {

class ScreenComposer {
 public:
  // The wl_output transforms (wl_output.transform's values 0..7).
  enum Transform : int32_t {
    kNormal = 0,
    k90 = 1,
    k180 = 2,
    k270 = 3,
    kFlipped = 4,
    kFlipped90 = 5,
    kFlipped180 = 6,
    kFlipped270 = 7,
  };

  // A buffer of `format` (a wl_shm format code: ARGB8888, XRGB8888 or a DRM
  // four-character code) as opaque RGBA; `yInvert` when its rows run bottom to
  // top. nullopt for a format not handled, a stride too small or a size that
  // does not fit `bytes`.
  static std::optional<Image> fromShm(const uint8_t* data, size_t bytes, uint32_t format, int width,
                                      int height, int stride, bool yInvert);
  // Whether fromShm() converts `format`.
  static bool handlesFormat(uint32_t format);
  // The output's picture as the person sees it: the buffer with the output's
  // transform undone (a quarter turn swaps width and height). An out-of-range
  // transform counts as normal.
  static Image upright(Image buffer, int32_t transform);
  // "normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270".
  static std::string transformName(int32_t transform);

  // A picture laid over black: a screen has no transparency.
  static void flattenOverBlack(Image& img);

  // One output: its upright picture and its logical rectangle.
  struct Piece {
    Image image;
    int x = 0, y = 0, width = 0, height = 0;
  };
  // The outputs in one picture: the bounding box of their logical rectangles,
  // scaled by the largest ratio of picture pixels to logical units among them;
  // each output drawn into its rectangle (resampled where its own density
  // differs), black where no output is. `scale` gets that ratio. An empty
  // Image when there is no piece with a picture and a positive rectangle.
  static Image compose(std::vector<Piece> pieces, double* scale = nullptr);
};

}  // namespace quillbox::platform
