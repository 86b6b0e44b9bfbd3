#include "QBXUploadManager/UploadStateRecord.h"

#include <algorithm>

#include "AppURL.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileLock.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "PropertyList/PlistValue.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;

namespace {
const char kLogNoUser[] = "日志:没有当前用户, 上传状态未记录: %s";

int64_t parseLength(const std::optional<std::string>& fLen) {
  return fLen ? PlistValue(*fLen).integerValue() : 0;
}
}  // namespace

std::optional<std::string> UploadStateRecord::userTempMediaPath(bool creat) {
  auto user = SharedSettings::currentUserName();
  if (!user) return std::nullopt;
  std::string documents = strprintf("%s/Documents", platform::Environment::home().c_str());
  std::string path = strprintf(kTempMediaFormat, documents.c_str(), user->c_str());
  FileSystem& fs = FileSystem::Default();
  if (fs.isDirectory(path) || !creat) return path;
  if (!fs.createDirectories(path)) return std::nullopt;
  return path;
}

std::vector<PlistDict> UploadStateRecord::currentUserRecords() {
  std::vector<PlistDict> out;
  auto user = SharedSettings::currentUserName();
  if (!user || AppURL::sharedAppURL().appURL().empty()) return out;
  auto root = platform::PropertyList::read(getAppLibFilePath(Z_Request::kUpInfoPlist));
  const PlistValue* list = root && root->asDict() ? root->asDict()->find(*user) : nullptr;
  if (!list || !list->asArray()) return out;
  for (const PlistValue& v : *list->asArray())
    if (const PlistDict* d = v.asDict()) out.push_back(*d);
  return out;
}

void UploadStateRecord::write(File& f, bool bCheck) {
  auto user = SharedSettings::currentUserName();
  if (!user || AppURL::sharedAppURL().appURL().empty()) {
    Log::printf(kLogNoUser, "writeFileUpInfoToFile");
    return;
  }
  const std::string plist = Z_Request::getAppLibFilePath(Z_Request::kUpInfoPlist);
  // The stored "value" read below must be the one this write replaces.
  platform::StoreLock storeLock(plist);

  PlistDict dic;
  if (f.name()) dic.set("name", *f.name());
  if (f.fLen()) dic.set("size", *f.fLen());
  if (f.fTime()) dic.set("date", PlistValue::integer(*f.fTime()));
  if (f.ftype() == FileKind::NotSet) {
    auto tempMedia = userTempMediaPath(true);
    bool below =
        f.fPath() && tempMedia &&
        platform::deletingLastPathComponent(*f.fPath()).find(*tempMedia) != std::string::npos;
    if (!f.fPath() || below) f.setFtype(FileKind::TempMedia);
  }
  dic.set("type", PlistValue::integer(f.ftype()));
  dic.set("state", PlistValue::integer(f.fileState()));
  if (f.fSHA1()) dic.set("fsha1", *f.fSHA1());
  if (f.fHash()) dic.set("fHash", *f.fHash());
  if (f.fileID()) dic.set("fileID", *f.fileID());

  std::optional<PlistDict> stored;
  if (f.fPath()) stored = Z_Request::getUpInfoWithPath(*f.fPath());
  const PlistValue* storedValue = stored ? stored->find("value") : nullptr;
  if (!f.uploadedSize() && storedValue && storedValue->isNumber()) {
    double value = storedValue->realValue();
    dic.set("value", PlistValue::real(value));
    // fProgress is the 0.95-scaled fraction everywhere; a finished file reads 1.
    f.setFProgress(value >= 1.0
                       ? std::string("1.000000")
                       : strprintf("%f", static_cast<float>(std::max(value, 0.0)) * 0.95f));
  } else {
    int64_t total = parseLength(f.fLen());
    int64_t uploaded = f.uploadedSize().value_or(0);
    float value = total > 0 ? static_cast<float>(uploaded) / static_cast<float>(total)
                            : (f.fileState() == FileState::Finished ? 1.0f : 0.0f);
    dic.set("value", PlistValue::real(value));
  }
  if (f.fPath()) dic.set("path", *f.fPath());
  dic.set("bCheck", PlistValue::boolean(bCheck));
  FileProperty::sharedFileProperty().writeDicTOFile(Z_Request::kUpInfoPlist, dic, *user);
}

}  // namespace quillbox
