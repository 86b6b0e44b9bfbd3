// Images: PNG and JPEG coding checked against ImageMagick, and the thumbnail resizing.
// ctest-labels: threaded (the PNG encoder deflates strips on several threads)
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>

#include "Platform/Media/Image.h"
#include "Platform/Media/ImageCodec.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

// The real ImageMagick converter (a stand-in named convert may come first in PATH).
std::string convertTool() {
  return fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
}

std::optional<std::string> run(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return std::nullopt;
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0) return std::nullopt;
  return out;
}

bool haveImageMagick() {
  return run(convertTool() + " -version >/dev/null 2>&1").has_value();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Image filled(int w, int h, std::function<std::array<uint8_t, 4>(int, int)> colour) {
  Image img;
  img.width = w;
  img.height = h;
  img.rgba.resize(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      auto c = colour(x, y);
      std::copy(c.begin(), c.end(), &img.rgba[(static_cast<size_t>(y) * w + x) * 4]);
    }
  return img;
}

Image noise(int w, int h, bool opaque, unsigned seed) {
  std::mt19937 rng(seed);
  return filled(w, h, [&](int x, int y) -> std::array<uint8_t, 4> {
    // Smooth parts and noisy parts, so that every PNG filter has something to do.
    const uint8_t r = static_cast<uint8_t>(x * 3 + y), g = static_cast<uint8_t>(rng());
    const uint8_t b = static_cast<uint8_t>((x / 8) * 40),
                  a = opaque ? 255 : static_cast<uint8_t>(rng());
    return {r, g, b, a};
  });
}

std::array<uint8_t, 4> px(const Image& img, int x, int y) {
  const uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255}, kBlue{0, 0, 255, 255};

}  // namespace

// Three kinds of rows, so that the strips of one picture choose different
// ways to code: photo-like noise (Huffman codes alone), text-like repeats
// (string matches) and a smooth gradient (runs).
Image mixed(int w, int h, bool opaque, unsigned seed) {
  std::mt19937 rng(seed);
  return filled(w, h, [&](int x, int y) -> std::array<uint8_t, 4> {
    const uint8_t a = opaque ? 255 : static_cast<uint8_t>(rng());
    switch (y * 3 / h) {
      case 0:
        return {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                static_cast<uint8_t>(rng()), a};
      case 1: {
        const bool ink = (x / 3 + y / 5) % 7 == 0;
        return {static_cast<uint8_t>(ink ? 20 : 230), static_cast<uint8_t>(ink ? 30 : 230), 240, a};
      }
      default:
        return {static_cast<uint8_t>(x * 255 / w), static_cast<uint8_t>(y), 128, a};
    }
  });
}

// The encoder cuts a picture into strips coded on several threads and joined
// into one stream: libpng (our decoder) and ImageMagick both read back exactly
// the pixels given, whatever the shape, the strips and the choices made.
TEST(ImageCodecPNG, StripsDecodeToTheSamePixelsInLibpngAndImageMagick) {
  if (!haveImageMagick()) PREREQUISITE_MISSING("ImageMagick is not installed");
  TempDir dir;
  const int automatic = ImageCodec::kAutoStrategy;
  struct Case {
    const char* name;
    int w, h;
    bool opaque;
    ImageCodec::PNGOptions options;
  };
  const Case cases[] = {
      {"one pixel", 1, 1, true, ImageCodec::defaultPNGOptions()},
      {"one row", 301, 1, true, {1, automatic, 0x30, 2, 1}},
      {"one column, a strip every 7 rows", 1, 301, true, {1, automatic, 0x30, 2, 7}},
      {"one column with alpha", 1, 64, false, {1, automatic, 0xF8, 2, 5}},
      {"odd width, a row a strip, every filter", 37, 19, false, {1, automatic, 0xF8, 2, 1}},
      {"odd width, level 2", 1023, 77, true, {2, automatic, 0x30, 2, 5}},
      {"odd width, Huffman codes alone", 333, 30, true, {1, 2, 0x10, 2, 4}},
      {"odd width, stored", 333, 30, false, {0, automatic, 0x20, 2, 4}},
      {"large, automatic strips and threads", 1921, 300, true, ImageCodec::defaultPNGOptions()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Image img = mixed(c.w, c.h, c.opaque, static_cast<unsigned>(c.w * 31 + c.h));
    auto png = ImageCodec::encodePNG(img, c.options);
    ASSERT_TRUE(png);
    auto back = ImageCodec::decodePNG(*png);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, c.w);
    EXPECT_EQ(back->height, c.h);
    EXPECT_TRUE(back->rgba == img.rgba);
    const std::string path = dir.file("strips.png");
    writeFile(path, *png);
    auto pixels = run(convertTool() + " " + path + " -depth 8 rgba:-");
    ASSERT_TRUE(pixels) << "ImageMagick could not read our PNG";
    EXPECT_TRUE(*pixels == std::string(img.rgba.begin(), img.rgba.end()));
  }
}

TEST(ImageCodecPNG, EveryOptionSetGivesTheSamePixels) {
  Image img = noise(64, 48, true, 5);
  for (int level : {0, 1, 6, 9})
    for (int strategy : {0, 1, 2, 3})
      for (int filters : {0x08, 0x10, 0x20, 0xF8}) {
        auto png = ImageCodec::encodePNG(img, {level, strategy, filters, 2, 7});
        ASSERT_TRUE(png);
        auto back = ImageCodec::decodePNG(*png);
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->rgba == img.rgba) << level << " " << strategy << " " << filters;
      }
}

TEST(ImageCodecPNG, DecodesEveryPNGKindLikeImageMagick) {
  if (!haveImageMagick()) PREREQUISITE_MISSING("ImageMagick is not installed");
  TempDir dir;
  // A source with few colours, so that the palette form is exact.
  Image src = filled(50, 30, [](int x, int y) -> std::array<uint8_t, 4> {
    return {static_cast<uint8_t>((x / 10) * 60), static_cast<uint8_t>((y / 10) * 100), 90,
            static_cast<uint8_t>(x < 5 ? 0 : 255)};
  });
  writeFile(dir.file("src.png"), *ImageCodec::encodePNG(src));
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"palette", "PNG8:"},
      {"gray", "-colorspace Gray -type Grayscale PNG8:"},
      {"gray16", "-colorspace Gray -type Grayscale -depth 8 -depth 16 PNG:"},
      {"rgba16", "-depth 16 PNG64:"},
      {"rgb16", "-alpha off -depth 16 PNG48:"},
      {"interlaced", "-interlace PNG PNG32:"},
      {"grayalpha", "-colorspace Gray -type GrayscaleAlpha PNG:"},
  };
  for (const auto& [name, args] : kinds) {
    SCOPED_TRACE(name);
    const std::string out = dir.file(name + ".png");
    // Split "options FORMAT:" into the options and the output prefix.
    const auto sp = args.rfind(' ');
    const std::string opts = sp == std::string::npos ? "" : args.substr(0, sp);
    const std::string prefix = sp == std::string::npos ? args : args.substr(sp + 1);
    ASSERT_TRUE(run(convertTool() + " " + dir.file("src.png") + " " + opts + " " + prefix + out));
    auto expected = run(convertTool() + " " + out + " -depth 8 rgba:-");
    ASSERT_TRUE(expected);
    auto img = ImageCodec::decodePNG(readFile(out));
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 50);
    EXPECT_EQ(img->height, 30);
    const std::string got(img->rgba.begin(), img->rgba.end());
    EXPECT_TRUE(got == *expected) << got.size() << " vs " << expected->size();
    for (size_t i = 0; i < got.size() && i < expected->size(); ++i) {
      if (got[i] != (*expected)[i]) {
        ADD_FAILURE() << "first difference at byte " << i << ": " << int(uint8_t(got[i])) << " vs "
                      << int(uint8_t((*expected)[i]));
        break;
      }
    }
  }
}

TEST(ImageCodecPNG, MalformedInputGivesNulloptWithoutCrashing) {
  auto png = ImageCodec::encodePNG(noise(40, 40, false, 9));
  ASSERT_TRUE(png);
  EXPECT_FALSE(ImageCodec::decodePNG(""));
  EXPECT_FALSE(ImageCodec::decodePNG("not a png at all"));
  EXPECT_FALSE(ImageCodec::decodePNG(std::string("\x89PNG\r\n\x1a\n", 8)));
  // Every truncation point in the headers, then a spread over the rest.
  for (size_t n = 0; n < png->size(); n += (n < 100 ? 1 : 37))
    EXPECT_FALSE(ImageCodec::decodePNG(std::string_view(*png).substr(0, n))) << "prefix " << n;
  // Damaged bytes anywhere after the signature.
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    std::string bad = *png;
    const size_t at = 8 + rng() % (bad.size() - 8);
    bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
    auto img = ImageCodec::decodePNG(bad);  // may be caught or not: must not crash
    if (img) {
      EXPECT_EQ(img->rgba.size(), 40u * 40u * 4u);
    }
  }
}

TEST(ImageCodecPNG, RefusesHugeDimensionsInsteadOfAllocating) {
  // A valid header announcing 100000 x 100000 pixels, with correct CRC, and no data.
  auto png = ImageCodec::encodePNG(noise(2, 2, true, 1));
  ASSERT_TRUE(png);
  std::string bad = *png;
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bad[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(16, 100000);
  put32(20, 100000);
  // Recompute the IHDR CRC (over type + 13 data bytes at offset 12).
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 12; i < 12 + 17; ++i) {
    crc ^= static_cast<uint8_t>(bad[i]);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  put32(29, ~crc);
  EXPECT_FALSE(ImageCodec::decodePNG(bad));
}

TEST(ImageCodecPNG, InvalidImageIsRefused) {
  Image bad;
  bad.width = 10;
  bad.height = 10;
  bad.rgba.resize(10);
  EXPECT_FALSE(ImageCodec::encodePNG(bad));
  EXPECT_FALSE(ImageCodec::encodePNG(Image{}));
  EXPECT_FALSE(ImageCodec::encodeJPEG(bad, 90));
}

TEST(ImageCodecJPEG, OutputIsReadableByImageMagickWithTheRightSize) {
  if (!haveImageMagick()) PREREQUISITE_MISSING("ImageMagick is not installed");
  TempDir dir;
  Image img = noise(80, 45, false, 11);
  for (int quality : {0, 1, 75, 100, 1000}) {
    SCOPED_TRACE(quality);
    auto jpg = ImageCodec::encodeJPEG(img, quality);
    ASSERT_TRUE(jpg);
    writeFile(dir.file("t.jpg"), *jpg);
    auto id = run("identify -format '%w %h %m' " + dir.file("t.jpg"));
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, "80 45 JPEG");
  }
  // Quality 100 of a flat colour stays close to it.
  Image flat = filled(16, 16, [](int, int) -> std::array<uint8_t, 4> {
    return {200, 40, 90, 255};
  });
  writeFile(dir.file("flat.jpg"), *ImageCodec::encodeJPEG(flat, 100));
  auto pixels = run(convertTool() + " " + dir.file("flat.jpg") + " -depth 8 rgb:-");
  ASSERT_TRUE(pixels);
  ASSERT_EQ(pixels->size(), 16u * 16u * 3u);
  EXPECT_NEAR(static_cast<uint8_t>((*pixels)[0]), 200, 3);
  EXPECT_NEAR(static_cast<uint8_t>((*pixels)[1]), 40, 3);
  EXPECT_NEAR(static_cast<uint8_t>((*pixels)[2]), 90, 3);
}

TEST(ImageResize, NonSquareSourceIsStretchedToExactlyTheSize) {
  // Left half red, right half blue.
  Image src = filled(300, 100, [](int x, int) { return x < 150 ? kRed : kBlue; });
  for (auto [w, h] : {std::pair{40, 40}, {80, 80}, {7, 300}, {600, 1}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    Image out = resizeImage(src, w, h);
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    ASSERT_EQ(out.rgba.size(), static_cast<size_t>(w) * h * 4);
    // Stretched, not cropped: the split stays in the middle of every row.
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        if (x < w / 2 - 1) {
          EXPECT_EQ(px(out, x, y), kRed) << x << "," << y;
        } else if (x > (w + 1) / 2) {
          EXPECT_EQ(px(out, x, y), kBlue) << x << "," << y;
        }
      }
    }
  }
  // Enlarging a tiny source works too.
  Image tiny = filled(2, 1, [](int x, int) { return x == 0 ? kRed : kBlue; });
  Image big = resizeImage(tiny, 80, 80);
  EXPECT_EQ(px(big, 0, 79), kRed);
  EXPECT_EQ(px(big, 79, 0), kBlue);
}

// The area average of the footprint of output pixel (x, y), premultiplied, in
// doubles: the plain definition, one pixel at a time.
std::array<double, 4> areaAverage(const Image& src, int w, int h, int x, int y) {
  const double sx = static_cast<double>(src.width) / w, sy = static_cast<double>(src.height) / h;
  std::array<double, 4> acc{};
  for (int j = static_cast<int>(y * sy); j < src.height && j < (y + 1) * sy; ++j) {
    const double wy = std::min<double>(j + 1, (y + 1) * sy) - std::max<double>(j, y * sy);
    for (int i = static_cast<int>(x * sx); i < src.width && i < (x + 1) * sx; ++i) {
      const double wx = std::min<double>(i + 1, (x + 1) * sx) - std::max<double>(i, x * sx);
      const auto p = px(src, i, j);
      const double a = p[3] / 255.0;
      for (int c = 0; c < 3; ++c) acc[c] += wx * wy * p[c] * a;
      acc[3] += wx * wy * p[3];
    }
  }
  for (double& v : acc) v /= sx * sy;
  return acc;
}

TEST(ImageResize, SeveralSizesAtOnceAreEachTheAreaAverage) {
  // Screens large enough to be cut into bands for the cores, opaque and not;
  // sizes made from a larger one of the same call (40 of 80) and sizes made alone.
  struct Case {
    Image src;
    std::vector<std::pair<int, int>> sizes;
  } cases[] = {
      {noise(1920, 1080, true, 3), {{40, 40}, {80, 80}}},
      {noise(701, 401, false, 4), {{80, 80}, {13, 7}, {40, 40}, {20, 20}}},
      {noise(97, 31, true, 5), {{40, 40}, {80, 80}}},
  };
  for (const Case& c : cases) {
    const std::vector<Image> out = resizeImages(c.src, c.sizes);
    ASSERT_EQ(out.size(), c.sizes.size());
    for (size_t k = 0; k < out.size(); ++k) {
      const auto [w, h] = c.sizes[k];
      SCOPED_TRACE(testing::Message()
                   << c.src.width << "x" << c.src.height << " to " << w << "x" << h);
      ASSERT_EQ(out[k].width, w);
      ASSERT_EQ(out[k].height, h);
      if (w > c.src.width || h > c.src.height) continue;  // enlarged: interpolated
      int worst = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const auto want = areaAverage(c.src, w, h, x, y);
          const auto got = px(out[k], x, y);
          worst = std::max(worst, std::abs(got[3] - static_cast<int>(std::lround(want[3]))));
          // Colours: compared premultiplied, as the bitmap holds them.
          for (int ch = 0; ch < 3; ++ch)
            worst =
                std::max(worst, std::abs(static_cast<int>(std::lround(got[ch] * got[3] / 255.0)) -
                                         static_cast<int>(std::lround(want[ch]))));
        }
      EXPECT_LE(worst, 1);
    }
  }
}

TEST(ImageResize, AveragesInPremultipliedSpace) {
  // Half the pixels opaque red, half fully transparent with a stray green colour:
  // the green must not bleed into the result.
  Image src = filled(64, 64, [](int x, int) -> std::array<uint8_t, 4> {
    return x % 2 ? std::array<uint8_t, 4>{255, 0, 0, 255} : std::array<uint8_t, 4>{0, 255, 0, 0};
  });
  Image out = resizeImage(src, 8, 8);
  auto p = px(out, 3, 3);
  EXPECT_NEAR(p[3], 128, 1);
  EXPECT_EQ(p[1], 0);
  EXPECT_GE(p[0], 253);
}

TEST(ImageResize, RotationTurnsAQuarterClockwise) {
  // Top half red, bottom half blue: clockwise, the top goes to the right.
  Image topRed = filled(100, 60, [](int, int y) { return y < 30 ? kRed : kBlue; });
  Image a = resizeImageRotatedClockwise(topRed, 40, 40);
  ASSERT_EQ(a.width, 40);
  ASSERT_EQ(a.height, 40);
  EXPECT_EQ(px(a, 35, 5), kRed);
  EXPECT_EQ(px(a, 35, 35), kRed);
  EXPECT_EQ(px(a, 4, 20), kBlue);
  // Left half red, right half blue: clockwise, the left edge goes to the top.
  Image leftRed = filled(60, 100, [](int x, int) { return x < 30 ? kRed : kBlue; });
  Image b = resizeImageRotatedClockwise(leftRed, 30, 50);
  ASSERT_EQ(b.width, 30);
  ASSERT_EQ(b.height, 50);
  EXPECT_EQ(px(b, 3, 3), kRed);
  EXPECT_EQ(px(b, 27, 20), kRed);
  EXPECT_EQ(px(b, 15, 45), kBlue);
  // A single marked corner: the source's top-left goes to the top-right.
  Image corner = filled(10, 10, [](int x, int y) { return x < 5 && y < 5 ? kRed : kBlue; });
  Image c = resizeImageRotatedClockwise(corner, 10, 10);
  EXPECT_EQ(px(c, 8, 1), kRed);
  EXPECT_EQ(px(c, 1, 1), kBlue);
  EXPECT_EQ(px(c, 8, 8), kBlue);
}

TEST(ImageResize, BadArgumentsGiveAnEmptyImage) {
  Image src = filled(4, 4, [](int, int) { return kRed; });
  EXPECT_EQ(resizeImage(src, 0, 10).rgba.size(), 0u);
  EXPECT_EQ(resizeImage(src, 10, -1).width, 0);
  EXPECT_EQ(resizeImage(Image{}, 10, 10).width, 0);
  EXPECT_EQ(resizeImageRotatedClockwise(Image{}, 10, 10).width, 0);
}
