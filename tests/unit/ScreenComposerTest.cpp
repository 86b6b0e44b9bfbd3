// The pixel work of the Wayland screen: every shared-memory format to RGBA,
// the eight output transforms, and outputs laid out by their logical places.
// (Against a real compositor and grim: tests/integration/test_screen_wayland.py.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Platform/Media/ScreenComposer.h"

using namespace quillbox::platform;

namespace {

constexpr uint32_t fourcc(const char* c) {
  return static_cast<uint32_t>(c[0]) | static_cast<uint32_t>(c[1]) << 8 |
         static_cast<uint32_t>(c[2]) << 16 | static_cast<uint32_t>(c[3]) << 24;
}

// A w x h picture whose pixel (x, y) is (x, y, 10 * x + y), opaque.
Image numbered(int w, int h) {
  Image img;
  img.width = w, img.height = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      img.rgba.insert(img.rgba.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                                       static_cast<uint8_t>(10 * x + y), 255});
  return img;
}

std::vector<uint8_t> pixel(const Image& img, int x, int y) {
  const uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

}  // namespace

TEST(ScreenComposer, EveryShmFormatGivesTheSameOpaqueColour) {
  // The colour (0x12, 0x34, 0x56) as each format lays it out in memory.
  const struct {
    uint32_t format;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> rgba;
  } cases[] = {
      {0, {0x56, 0x34, 0x12, 0x00}, {0x12, 0x34, 0x56, 255}},  // ARGB8888, alpha ignored
      {1, {0x56, 0x34, 0x12, 0x99}, {0x12, 0x34, 0x56, 255}},  // XRGB8888
      {fourcc("AB24"), {0x12, 0x34, 0x56, 0x80}, {0x12, 0x34, 0x56, 255}},
      {fourcc("XB24"), {0x12, 0x34, 0x56, 0x00}, {0x12, 0x34, 0x56, 255}},
      {fourcc("RA24"), {0x80, 0x56, 0x34, 0x12}, {0x12, 0x34, 0x56, 255}},
      {fourcc("RX24"), {0x00, 0x56, 0x34, 0x12}, {0x12, 0x34, 0x56, 255}},
      {fourcc("BA24"), {0x80, 0x12, 0x34, 0x56}, {0x12, 0x34, 0x56, 255}},
      {fourcc("BX24"), {0x00, 0x12, 0x34, 0x56}, {0x12, 0x34, 0x56, 255}},
      {fourcc("RG24"), {0x56, 0x34, 0x12}, {0x12, 0x34, 0x56, 255}},
      {fourcc("BG24"), {0x12, 0x34, 0x56}, {0x12, 0x34, 0x56, 255}},
      // 5:6:5 of (0x12, 0x34, 0x56): 00010 001101 01010, widened by repeating the top bits.
      {fourcc("RG16"), {0xaa, 0x11}, {0x10, 0x34, 0x52, 255}},
      // 2:10:10:10 with each channel's ten bits the colour's eight shifted up by two.
      {fourcc("XR30"), {0x58, 0x41, 0x83, 0x04}, {0x12, 0x34, 0x56, 255}},
      {fourcc("AR30"), {0x58, 0x41, 0x83, 0xc4}, {0x12, 0x34, 0x56, 255}},
      {fourcc("XB30"), {0x48, 0x40, 0x83, 0x15}, {0x12, 0x34, 0x56, 255}},
      {fourcc("AB30"), {0x48, 0x40, 0x83, 0xd5}, {0x12, 0x34, 0x56, 255}},
  };
  for (const auto& c : cases) {
    // Two rows of one pixel, the stride padded; the second row is the colour.
    const int bpp = static_cast<int>(c.bytes.size()), stride = bpp + 3;
    std::vector<uint8_t> data(stride * 2, 0xEE);
    std::memcpy(&data[stride], c.bytes.data(), bpp);
    auto img = ScreenComposer::fromShm(data.data(), data.size(), c.format, 1, 2, stride, false);
    ASSERT_TRUE(img) << std::hex << c.format;
    EXPECT_EQ(pixel(*img, 0, 1), c.rgba) << std::hex << c.format;
    auto inverted = ScreenComposer::fromShm(data.data(), data.size(), c.format, 1, 2, stride, true);
    EXPECT_EQ(pixel(*inverted, 0, 0), c.rgba) << "y_invert " << std::hex << c.format;
  }
  std::vector<uint8_t> data(64);
  EXPECT_FALSE(ScreenComposer::fromShm(data.data(), data.size(), fourcc("NV12"), 2, 2, 8, false));
  EXPECT_FALSE(ScreenComposer::fromShm(data.data(), data.size(), 1, 4, 4, 8, false));   // stride
  EXPECT_FALSE(ScreenComposer::fromShm(data.data(), data.size(), 1, 4, 5, 16, false));  // size
}

TEST(ScreenComposer, EachTransformIsUndone) {
  // A 3 x 2 picture, and where its top-left and top-right pixels lie in the
  // buffer of an output of each transform (turned counter-clockwise after an
  // optional mirror, as wl_output describes it).
  const Image up = numbered(3, 2);
  const struct {
    int32_t transform;
    int bw, bh;               // buffer size
    int tlx, tly, trx, try_;  // where upright (0,0) and (2,0) are in the buffer
  } cases[] = {
      {ScreenComposer::kNormal, 3, 2, 0, 0, 2, 0},
      {ScreenComposer::k90, 2, 3, 0, 2, 0, 0},
      {ScreenComposer::k180, 3, 2, 2, 1, 0, 1},
      {ScreenComposer::k270, 2, 3, 1, 0, 1, 2},
      {ScreenComposer::kFlipped, 3, 2, 2, 0, 0, 0},
      {ScreenComposer::kFlipped90, 2, 3, 0, 0, 0, 2},
      {ScreenComposer::kFlipped180, 3, 2, 0, 1, 2, 1},
      {ScreenComposer::kFlipped270, 2, 3, 1, 2, 1, 0},
  };
  for (const auto& c : cases) {
    // The buffer an output of this transform would hold, built pixel by pixel
    // from the two corners' places and the picture's other rows and columns.
    Image buffer;
    buffer.width = c.bw, buffer.height = c.bh;
    buffer.rgba.assign(static_cast<size_t>(c.bw) * c.bh * 4, 0);
    const int dxX = (c.trx - c.tlx) / 2, dxY = (c.try_ - c.tly) / 2;  // one step right
    // One step down is a quarter turn of one step right (mirrored when flipped).
    const bool flipped = c.transform >= ScreenComposer::kFlipped;
    const int dyX = flipped ? dxY : -dxY, dyY = flipped ? -dxX : dxX;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) {
        const int bx = c.tlx + x * dxX + y * dyX, by = c.tly + x * dxY + y * dyY;
        ASSERT_TRUE(bx >= 0 && by >= 0 && bx < c.bw && by < c.bh) << c.transform;
        std::memcpy(&buffer.rgba[(static_cast<size_t>(by) * c.bw + bx) * 4],
                    &up.rgba[(static_cast<size_t>(y) * 3 + x) * 4], 4);
      }
    const Image got = ScreenComposer::upright(buffer, c.transform);
    EXPECT_EQ(got.width, 3) << c.transform;
    EXPECT_EQ(got.rgba, up.rgba) << ScreenComposer::transformName(c.transform);
  }
}

TEST(ScreenComposer, OutputsAreLaidOutByTheirLogicalPlaces) {
  // A 4x2 output at (0,0), a 2x2 one right of it and lower by one, a denser
  // (scale 2) 1x1 output below the first: the picture is 6x3 logical units at
  // scale 2, black where no output is.
  std::vector<ScreenComposer::Piece> pieces = {
      {numbered(4, 2), 0, 0, 4, 2}, {numbered(2, 2), 4, 1, 2, 2}, {numbered(2, 2), 0, 2, 1, 1}};
  double scale = 0;
  const Image got = ScreenComposer::compose(pieces, &scale);
  EXPECT_EQ(scale, 2.0);
  ASSERT_EQ(got.width, 12);
  ASSERT_EQ(got.height, 6);
  EXPECT_EQ(pixel(got, 0, 0), pixel(numbered(4, 2), 0, 0));
  EXPECT_EQ(pixel(got, 7, 3), pixel(numbered(4, 2), 3, 1));  // scale 1 drawn at 2: each pixel twice
  EXPECT_EQ(pixel(got, 9, 2), pixel(numbered(2, 2), 0, 0));  // the second output, one unit lower
  EXPECT_EQ(pixel(got, 1, 5), pixel(numbered(2, 2), 1, 1));  // the dense one at its own pixels
  EXPECT_EQ(pixel(got, 9, 0), (std::vector<uint8_t>{0, 0, 0, 255}));  // no output there
  EXPECT_FALSE(ScreenComposer::compose({}).valid());
}
