#include "UIImageThumbnail/UIImageThumbnailToLocal.h"

#include <cmath>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Process/Log.h"

namespace quillbox {

using platform::FileSystem;
using platform::Image;
using platform::Log;

namespace {
const char kSmallSuffix[] = "/img/samll";
const char kMiddleSuffix[] = "/img/middle";
const char kLargeSuffix[] = "/img/large";
const char kThumbnailSuffix[] = "_Thumbnail.jpg";
const char kCreateFolderFailed[] = "创建目录失败";
constexpr int kJPEGQuality = 100;  // quality 1.0
constexpr int kSmallSide = 40;
constexpr int kMiddleSide = 80;

bool writeThumbnail(const Image& resized, const std::string& path) {
  auto jpeg = platform::ImageCodec::encodeJPEG(resized, kJPEGQuality);
  if (!jpeg) return false;
  return static_cast<bool>(FileSystem::Default().writeAtomically(path, *jpeg));
}

int toPixels(float v) {
  return v < 1 ? 1 : static_cast<int>(std::lround(v));
}
}  // namespace

std::string UIImageThumbnailToLocal::smallFolder() {
  return getAppDocFilePath("") + kSmallSuffix;
}
std::string UIImageThumbnailToLocal::middleFolder() {
  return getAppDocFilePath("") + kMiddleSuffix;
}
std::string UIImageThumbnailToLocal::largeFolder() {
  return getAppDocFilePath("") + kLargeSuffix;
}

std::string UIImageThumbnailToLocal::thumbnailName(const std::string& name) {
  return name.substr(0, name.find('.')) + kThumbnailSuffix;
}

bool UIImageThumbnailToLocal::ThumbnalToLocal(const Image& image, const std::string& name,
                                              bool toDown, int type) {
  auto& fs = FileSystem::Default();
  fs.createDirectories(smallFolder());
  fs.createDirectories(middleFolder());
  if (!fs.createDirectories(largeFolder())) {
    Log::printf("%s: %s", kCreateFolderFailed, largeFolder().c_str());
  }
  if (!image.valid() || !platform::isSafePathComponent(name)) return false;

  const std::string thumb = thumbnailName(name);
  const std::string smallPath = smallFolder() + "/" + thumb;
  const std::string middlePath = middleFolder() + "/" + thumb;
  // The sizes wanted, resized together: the source is read once for all.
  std::vector<std::pair<int, int>> sides;
  std::vector<std::string> paths;
  if (type >= 1 && !fs.exists(smallPath)) {
    sides.emplace_back(kSmallSide, kSmallSide);
    paths.push_back(smallPath);
  }
  if (type >= 2 && !fs.exists(middlePath)) {
    sides.emplace_back(kMiddleSide, kMiddleSide);
    paths.push_back(middlePath);
  }
  if (sides.empty()) return false;
  const std::vector<Image> resized = toDown ? platform::resizeImagesRotatedClockwise(image, sides)
                                            : platform::resizeImages(image, sides);
  bool result = false;
  for (size_t i = 0; i < paths.size(); ++i) result = writeThumbnail(resized[i], paths[i]);
  return result;
}

Image UIImageCategory::transformWidth(const Image& image, float width, float height) {
  return platform::resizeImage(image, toPixels(width), toPixels(height));
}

Image UIImageCategory::transformInvertWidth(const Image& image, float width, float height) {
  return platform::resizeImageRotatedClockwise(image, toPixels(width), toPixels(height));
}

}  // namespace quillbox
