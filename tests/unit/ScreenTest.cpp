// The screen service: synthetic and file screens, the parser of the setting, the test seam,
// and a display that cannot be opened. (A real X display: tests/integration/test_screen_x11.py.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/Screen.h"
#include "Platform/Process/Environment.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

bool allOpaque(const Image& img) {
  for (size_t i = 3; i < img.rgba.size(); i += 4)
    if (img.rgba[i] != 255) return false;
  return true;
}

size_t distinctColours(const Image& img) {
  std::set<uint32_t> colours;
  for (size_t i = 0; i < img.rgba.size(); i += 4)
    colours.insert(img.rgba[i] | img.rgba[i + 1] << 8 | img.rgba[i + 2] << 16);
  return colours.size();
}

class FixedScreen : public Screen {
 public:
  std::optional<Image> capture() override {
    Image img;
    img.width = img.height = 1;
    img.rgba = {1, 2, 3, 255};
    return img;
  }
};

}  // namespace

TEST(ScreenSynthetic, GivesAnOpaqueVariedPictureOfTheRequestedSize) {
  auto phone = Screen::create("synthetic");
  ASSERT_TRUE(phone);
  auto img = phone->capture();
  ASSERT_TRUE(img);
  EXPECT_EQ(img->width, 640);
  EXPECT_EQ(img->height, 1136);
  EXPECT_TRUE(img->valid());
  EXPECT_TRUE(allOpaque(*img));
  EXPECT_GT(distinctColours(*img), 100u);  // a realistic picture, not a flat fill

  auto wide = Screen::create("synthetic:320x200");
  ASSERT_TRUE(wide);
  auto small = wide->capture();
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width, 320);
  EXPECT_EQ(small->height, 200);
}

TEST(ScreenSynthetic, PictureIsDeterministicAndShowsTheTime) {
  Image a = renderSyntheticScreen(200, 300, 14, 3, 9);
  Image b = renderSyntheticScreen(200, 300, 14, 3, 9);
  Image c = renderSyntheticScreen(200, 300, 14, 3, 10);
  Image d = renderSyntheticScreen(200, 300, 9, 5, 7);
  EXPECT_TRUE(a.rgba == b.rgba);
  EXPECT_FALSE(a.rgba == c.rgba);
  EXPECT_FALSE(a.rgba == d.rgba);
  EXPECT_EQ(renderSyntheticScreen(0, 10, 0, 0, 0).rgba.size(), 0u);
  // Tiny sizes still draw without going out of bounds.
  EXPECT_TRUE(renderSyntheticScreen(1, 1, 23, 59, 59).valid());
  EXPECT_TRUE(renderSyntheticScreen(3, 2, 23, 59, 59).valid());
}

TEST(ScreenCreate, RefusesUnknownOrMalformedSettings) {
  for (const char* setting :
       {"", "X11", "wayland", "file:", "synthetic:", "synthetic:0x10", "synthetic:10x",
        "synthetic:x10", "synthetic:axb", "synthetic:99999x1", "synthetic:-5x5"}) {
    EXPECT_EQ(Screen::create(setting), nullptr) << setting;
  }
  EXPECT_NE(Screen::create("x11"), nullptr);
  EXPECT_NE(Screen::create("file:/nonexistent.png"), nullptr);  // the file is read at capture
}

TEST(ScreenFile, CapturesThePNGAndRereadsItEachTime) {
  TempDir dir;
  const std::string path = dir.file("screen.png");
  Image first = renderSyntheticScreen(64, 48, 1, 2, 3);
  writeFile(path, *ImageCodec::encodePNG(first));
  auto screen = Screen::create("file:" + path);
  ASSERT_TRUE(screen);
  auto got = screen->capture();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->width, 64);
  EXPECT_TRUE(got->rgba == first.rgba);

  Image second = renderSyntheticScreen(30, 20, 4, 5, 6);
  writeFile(path, *ImageCodec::encodePNG(second));
  got = screen->capture();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->rgba == second.rgba);
}

TEST(ScreenFile, TransparentPartsComeOutOpaqueOverBlack) {
  TempDir dir;
  Image img;
  img.width = 2;
  img.height = 1;
  img.rgba = {200, 100, 50, 0, 200, 100, 50, 128};
  writeFile(dir.file("a.png"), *ImageCodec::encodePNG(img));
  auto got = Screen::create("file:" + dir.file("a.png"))->capture();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->rgba, (std::vector<uint8_t>{0, 0, 0, 255, 100, 50, 25, 255}));
}

TEST(ScreenFile, MissingOrBrokenFileGivesNullopt) {
  TempDir dir;
  EXPECT_FALSE(Screen::create("file:" + dir.file("missing.png"))->capture());
  writeFile(dir.file("junk.png"), "\x89PNG but not really");
  EXPECT_FALSE(Screen::create("file:" + dir.file("junk.png"))->capture());
  EXPECT_FALSE(Screen::create("file:" + dir.file(""))->capture());  // a directory
}

TEST(ScreenX11, UnreachableDisplayGivesNullopt) {
  const char* old = std::getenv("DISPLAY");
  Environment::set("DISPLAY", ":4242");  // nothing listens there
  auto screen = Screen::create("x11");
  ASSERT_TRUE(screen);
  EXPECT_FALSE(screen->capture());
  EXPECT_FALSE(screen->capture());  // and again, without a stale connection
  Environment::set("DISPLAY", old ? old : "");
}

TEST(ScreenDefault, TestSeamReplacesAndRestoresTheDefault) {
  FixedScreen fixed;
  {
    ScopedDefault<Screen> scope(fixed);
    auto img = Screen::Default().capture();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->rgba, (std::vector<uint8_t>{1, 2, 3, 255}));
  }
  EXPECT_NE(&Screen::Default(), &fixed);
}
