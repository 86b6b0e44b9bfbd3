// UIImageThumbnailToLocal: the square JPEG thumbnails of a stored screenshot.
//
// Thumbnails live in the client application's documents folder under
// "/img/samll" (40 x 40) and "/img/middle" (80 x 80), named after the source
// file ("a.b.png" gives "a_Thumbnail.jpg"), JPEG at quality 100 of the source
// stretched to the square. An existing thumbnail is never overwritten. Safe for
// use from any thread (it only writes files, atomically).
#pragma once

#include <string>

#include "Platform/Media/Image.h"

namespace quillbox {

class UIImageThumbnailToLocal {
 public:
  // Creates the small, middle and large folders, then writes the thumbnails that
  // `type` asks for (1 and above: small; 2 and above: also middle), turned a
  // quarter turn clockwise when `toDown` is set. Gives the outcome of the last
  // write attempted (false when none was attempted).
  static bool ThumbnalToLocal(const platform::Image& image, const std::string& name, bool toDown,
                              int type);
  // "<stem>_Thumbnail.jpg": the source name up to its first "." (the whole name without one).
  static std::string thumbnailName(const std::string& name);
  // The thumbnail folders (documents folder + suffix).
  static std::string smallFolder();
  static std::string middleFolder();
  static std::string largeFolder();
};

// The image extension's resizing operations.
class UIImageCategory {
 public:
  // A new image of exactly width x height, the source stretched to fill it.
  static platform::Image transformWidth(const platform::Image& image, float width, float height);
  // The same, holding the source turned a quarter turn clockwise.
  static platform::Image transformInvertWidth(const platform::Image& image, float width,
                                              float height);
};

}  // namespace quillbox
