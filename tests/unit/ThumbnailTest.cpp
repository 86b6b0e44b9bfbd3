#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Media/ImageCodec.h"
#include "ScreenShotManager/ScreenShotManager.h"
#include "TestSupport.h"
#include "UIImageThumbnail/UIImageThumbnailToLocal.h"

using namespace quillbox;
using platform::Image;

namespace {

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qb-thumb.XXXXXX";
    root_ = mkdtemp(tmpl);
    container_.set(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string small(const std::string& n) { return root_ + "/Documents/img/samll/" + n; }
  std::string middle(const std::string& n) { return root_ + "/Documents/img/middle/" + n; }

  // Left half red, right half blue.
  static Image split(int w, int h) {
    Image img;
    img.width = w;
    img.height = h;
    img.rgba.resize(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &img.rgba[(static_cast<size_t>(y) * w + x) * 4];
        bool left = x < w / 2;
        p[0] = left ? 255 : 0;
        p[1] = 0;
        p[2] = left ? 0 : 255;
        p[3] = 255;
      }
    return img;
  }

  // ImageMagick's reading of a file: "WxH" and the colour of one pixel.
  static std::string identify(const std::string& path, int x, int y) {
    std::string cmd = "convert '" + path + "' -format '%wx%h %[fx:int(255*p{" + std::to_string(x) +
                      "," + std::to_string(y) + "}.r)],%[fx:int(255*p{" + std::to_string(x) + "," +
                      std::to_string(y) + "}.b)]' info: 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return {};
    char buf[128] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    pclose(f);
    return std::string(buf, n);
  }

  // ImageMagick's estimate of a JPEG file's quality ("" when it can't tell).
  static std::string quality(const std::string& path) {
    FILE* f = popen(("identify -format %Q '" + path + "' 2>/dev/null").c_str(), "r");
    if (!f) return {};
    char buf[32] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    pclose(f);
    return std::string(buf, n);
  }

  std::string root_;
  ScopedContainer container_;
};

TEST_F(ThumbnailTest, NameTakesTheStemBeforeTheFirstDot) {
  EXPECT_EQ(UIImageThumbnailToLocal::thumbnailName("ScreenShot_20150101_090507.png"),
            "ScreenShot_20150101_090507_Thumbnail.jpg");
  EXPECT_EQ(UIImageThumbnailToLocal::thumbnailName("a.b.png"), "a_Thumbnail.jpg");
  EXPECT_EQ(UIImageThumbnailToLocal::thumbnailName("noext"), "noext_Thumbnail.jpg");
}

TEST_F(ThumbnailTest, TypeDecidesWhichThumbnailsAreWritten) {
  Image img = split(64, 32);
  EXPECT_FALSE(UIImageThumbnailToLocal::ThumbnalToLocal(img, "t0.png", false, 0));
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/Documents/img/large"));
  EXPECT_FALSE(std::filesystem::exists(small("t0_Thumbnail.jpg")));

  EXPECT_TRUE(UIImageThumbnailToLocal::ThumbnalToLocal(img, "t1.png", false, 1));
  EXPECT_TRUE(std::filesystem::exists(small("t1_Thumbnail.jpg")));
  EXPECT_FALSE(std::filesystem::exists(middle("t1_Thumbnail.jpg")));

  EXPECT_TRUE(UIImageThumbnailToLocal::ThumbnalToLocal(img, "t2.png", false, 2));
  EXPECT_EQ(identify(small("t2_Thumbnail.jpg"), 0, 0).substr(0, 5), "40x40");
  EXPECT_EQ(identify(middle("t2_Thumbnail.jpg"), 0, 0).substr(0, 5), "80x80");
  // Quality 1.0 of the original is JPEG quality 100, as an independent reader estimates it.
  EXPECT_EQ(quality(small("t2_Thumbnail.jpg")), "100");
  EXPECT_EQ(quality(middle("t2_Thumbnail.jpg")), "100");
}

TEST_F(ThumbnailTest, NonSquareSourceIsStretchedNotCropped) {
  // A 200x50 source: stretched, the left half of the square stays red and the right blue.
  ASSERT_TRUE(UIImageThumbnailToLocal::ThumbnalToLocal(split(200, 50), "wide.png", false, 2));
  std::string left = identify(middle("wide_Thumbnail.jpg"), 10, 40);
  std::string right = identify(middle("wide_Thumbnail.jpg"), 70, 40);
  int r = 0, b = 0;
  ASSERT_EQ(sscanf(left.c_str(), "80x80 %d,%d", &r, &b), 2) << left;
  EXPECT_GT(r, 200);
  EXPECT_LT(b, 50);
  ASSERT_EQ(sscanf(right.c_str(), "80x80 %d,%d", &r, &b), 2) << right;
  EXPECT_LT(r, 50);
  EXPECT_GT(b, 200);
}

TEST_F(ThumbnailTest, TurnedQuarterClockwiseWhenToDown) {
  // Turned clockwise, the left (red) half ends up on top.
  ASSERT_TRUE(UIImageThumbnailToLocal::ThumbnalToLocal(split(80, 80), "down.png", true, 2));
  int r = 0, b = 0;
  std::string top = identify(middle("down_Thumbnail.jpg"), 40, 10);
  ASSERT_EQ(sscanf(top.c_str(), "80x80 %d,%d", &r, &b), 2) << top;
  EXPECT_GT(r, 200);
  std::string bottom = identify(middle("down_Thumbnail.jpg"), 40, 70);
  ASSERT_EQ(sscanf(bottom.c_str(), "80x80 %d,%d", &r, &b), 2) << bottom;
  EXPECT_GT(b, 200);
}

TEST_F(ThumbnailTest, ExistingThumbnailIsNeverOverwritten) {
  std::filesystem::create_directories(root_ + "/Documents/img/samll");
  std::filesystem::create_directories(root_ + "/Documents/img/middle");
  std::ofstream(small("keep_Thumbnail.jpg")) << "old";
  std::ofstream(middle("keep_Thumbnail.jpg")) << "old";
  EXPECT_FALSE(UIImageThumbnailToLocal::ThumbnalToLocal(split(8, 8), "keep.png", false, 2));
  EXPECT_EQ(*platform::FileSystem::Default().readFile(small("keep_Thumbnail.jpg")), "old");
  EXPECT_EQ(*platform::FileSystem::Default().readFile(middle("keep_Thumbnail.jpg")), "old");
}

// The hand-off makes the thumbnails from the picture it captured instead of
// decoding the PNG it has just stored: the stored file decodes to the same
// pixels, and both roads give the same JPEG bytes.
TEST_F(ThumbnailTest, PictureInMemoryGivesTheThumbnailsOfTheStoredFile) {
  struct Case {
    const char* name;
    Image picture;
  };
  Image withAlpha = split(37, 19);
  for (size_t i = 3; i < withAlpha.rgba.size(); i += 28) withAlpha.rgba[i] = 90;
  Image screen = split(640, 480);  // large enough to be encoded in strips on several threads
  for (size_t i = 0; i < screen.rgba.size(); i += 4) screen.rgba[i + 1] = uint8_t(i * 7 / 9);
  const Case cases[] = {{"screen", screen}, {"with alpha", withAlpha}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stored = root_ + "/" + c.name + ".png";
    ASSERT_TRUE(platform::FileSystem::Default().writeAtomically(
        stored, *platform::ImageCodec::encodePNG(c.picture)));
    auto decoded =
        platform::ImageCodec::decodePNG(*platform::FileSystem::Default().readFile(stored));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->rgba == c.picture.rgba);
    ScreenShotManager::writeThumbnails("memory.png", stored, &c.picture);
    ScreenShotManager::writeThumbnails("file.png", stored, nullptr);
    for (const std::string folder : {"samll", "middle"}) {
      const std::string dir = root_ + "/Documents/img/" + folder + "/";
      auto fromMemory = platform::FileSystem::Default().readFile(dir + "memory_Thumbnail.jpg");
      auto fromFile = platform::FileSystem::Default().readFile(dir + "file_Thumbnail.jpg");
      ASSERT_TRUE(fromMemory && fromFile);
      EXPECT_FALSE(fromMemory->empty());
      EXPECT_TRUE(*fromMemory == *fromFile);
      std::filesystem::remove(dir + "memory_Thumbnail.jpg");
      std::filesystem::remove(dir + "file_Thumbnail.jpg");
    }
  }
}

TEST_F(ThumbnailTest, UnsafeNamesAndEmptyImagesWriteNothing) {
  EXPECT_FALSE(UIImageThumbnailToLocal::ThumbnalToLocal(split(8, 8), "../escape.png", false, 2));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/Documents/img/escape_Thumbnail.jpg"));
  EXPECT_FALSE(UIImageThumbnailToLocal::ThumbnalToLocal(Image{}, "empty.png", false, 2));
}

}  // namespace
