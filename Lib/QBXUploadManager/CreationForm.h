// CreationForm: the form of the file creation request (file/create.json).
//
// Fields in sending order: "name", "type" ("%02d"), "length", "hash" always;
// then "start_time", "end_time", "comment", "gps", "time_length",
// "photo_time", "labels", "sha1", "time" when the record has them; then
// "small_img" and "middle_img", the URL-safe Base64 of the record's
// thumbnails, when they exist. Stateless; safe from any thread.
#pragma once

#include <string>

#include "Base/File.h"
#include "Request/FormBody.h"

namespace quillbox {

class CreationForm {
 public:
  // The form of `file`; with `withThumbnails`, the thumbnails of its name
  // ("<stem>_Thumbnail.jpg", stem = the name up to its first ".") in
  // "/img/samll" and "/img/middle" under the process's home's "Documents",
  // else under the container's Documents, where the thumbnail writer puts
  // them. `plainBeforeImages` (may be null) receives the unescaped form as it
  // was before the thumbnails were added.
  static FormBody build(const File& file, bool withThumbnails, std::string* plainBeforeImages);
};

}  // namespace quillbox
