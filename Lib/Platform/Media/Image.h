// Image: a picture in memory, and the resizing the thumbnails need.
//
// An Image is plain data (RGBA8, straight alpha, rows top to bottom without
// padding); the functions below are pure and safe to call from any thread.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace quillbox::platform {

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes

  // True when the dimensions are positive and rgba holds exactly width*height*4 bytes.
  bool valid() const;
};

// A bitmap of exactly width x height with the source stretched to fill it (the
// aspect ratio is not kept). The source is drawn into a 32-bit premultiplied-
// alpha-first little-endian bitmap (BGRA in memory, premultiplied) the way a
// graphics context draws a scaled image (area-averaged when shrinking, bilinear
// when enlarging); the result is that bitmap as straight-alpha RGBA.
// Gives an empty Image when width or height is not positive or the source is invalid.
Image resizeImage(const Image& src, int width, int height);

// resizeImage() for several sizes (width, height) at once, in the order given,
// reading the source once. A size whose pixels each cover exactly k by k pixels
// of a larger shrunk size of the call (40x40 of 80x80) is averaged from that
// size's rows: the same area average, a sample at most 1 apart from
// resizeImage()'s in rounding. A large source is cut into bands of rows, one a
// core (joined before it returns); the pixels do not depend on the cut.
std::vector<Image> resizeImages(const Image& src, const std::vector<std::pair<int, int>>& sizes);

// As resizeImage(), with the source turned a quarter turn clockwise before it is
// stretched (its top edge becomes the right edge, its left edge the top edge).
Image resizeImageRotatedClockwise(const Image& src, int width, int height);
std::vector<Image> resizeImagesRotatedClockwise(const Image& src,
                                                const std::vector<std::pair<int, int>>& sizes);

}  // namespace quillbox::platform
