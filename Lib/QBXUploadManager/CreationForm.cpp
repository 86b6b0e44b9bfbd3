#include "QBXUploadManager/CreationForm.h"

#include <optional>
#include <vector>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "base64/NSDataToBase64Encoding.h"

namespace quillbox {

namespace {

const char kThumbnailSmall[] = "/img/samll";
const char kThumbnailMiddle[] = "/img/middle";

std::string stemOf(const std::string& name) {
  size_t dot = name.find('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// The home is looked at first; a daemon's home is not the container, where the
// thumbnail writer puts them.
std::optional<std::string> thumbnailBase64(const char* folder, const std::string& name) {
  const std::string thumbnail = stemOf(name) + "_Thumbnail.jpg";
  std::vector<std::string> places = {platform::Environment::home() + "/Documents"};
  if (!AppURL::sharedAppURL().appURL().empty()) places.push_back(getAppDocFilePath(""));
  for (const std::string& documents : places) {
    std::string path = strprintf("%s%s/%s", documents.c_str(), folder, thumbnail.c_str());
    if (auto bytes = platform::FileSystem::Default().readFile(path))
      return NSDataToBase64Encoding::encodeBase64(*bytes);
  }
  return std::nullopt;
}

}  // namespace

FormBody CreationForm::build(const File& f, bool withThumbnails, std::string* plainBeforeImages) {
  FormBody form;
  form.add("name", f.name().value_or(""))
      .add("type", formatKindCode(f.ftype()))
      .add("length", f.fLen().value_or(""))
      .add("hash", f.fHash().value_or(""));
  auto opt = [&form](const char* key, const File::Text& v) {
    if (v) form.add(key, *v);
  };
  opt("start_time", f.fStartTime());
  opt("end_time", f.fEndTime());
  opt("comment", f.fComment());
  opt("gps", f.fGps());
  opt("time_length", f.fTimeLen());
  opt("photo_time", f.fPhotoTime());
  opt("labels", f.fLabels());
  opt("sha1", f.fSHA1());
  if (f.fTime()) form.add("time", *f.fTime());
  if (plainBeforeImages) *plainBeforeImages = form.plainText();
  if (withThumbnails && f.name()) {
    if (auto small = thumbnailBase64(kThumbnailSmall, *f.name())) form.add("small_img", *small);
    if (auto middle = thumbnailBase64(kThumbnailMiddle, *f.name())) form.add("middle_img", *middle);
  }
  return form;
}

}  // namespace quillbox
