#include "QBXUploadManager/UploadRecordBuilder.h"

#include <chrono>
#include <cmath>

#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Log.h"
#include "QBXUploadManager/AudioDuration.h"
#include "Request/Z_Request.h"
#include "SHA1Help/SHA1Help.h"

namespace quillbox {

using platform::FileSystem;

void UploadRecordBuilder::fillFromStores(File& f, const std::string& path, int32_t kind,
                                         const std::optional<PlistValue>& photoTime) {
  auto id = Z_Request::getFilePropertyWithPath(path, "fileID");
  std::string fileID = id ? id->stringValue() : "";
  if (fileID.empty()) {
    if (auto up = Z_Request::getUpInfoWithPath(path)) fileID = up->getString("fileID");
  }
  if (!fileID.empty()) f.setFileID(fileID);

  if (kind == FileKind::Audio) {
    auto seconds = AudioDuration::playingTimeSeconds(path);
    double ms = seconds ? std::floor(*seconds * 1000.0) : 0;
    if (!(ms >= 0 && ms <= 2147483647.0)) ms = 0;
    f.setFTimeLen(strprintf("%d", static_cast<int>(ms)));
  } else if (kind == FileKind::TimedRecording) {
    if (auto attrs = FileSystem::Default().attributes(path)) {
      using std::chrono::duration_cast;
      using std::chrono::seconds;
      // Whole seconds first, then milliseconds: the fractions are cut off.
      long long created = duration_cast<seconds>(attrs->creationDate.time_since_epoch()).count();
      long long modified =
          duration_cast<seconds>(attrs->modificationDate.time_since_epoch()).count();
      f.setFTimeLen(strprintf("%lld", (modified - created) * 1000));
      f.setFStartTime(strprintf("%lld", created * 1000));
      f.setFEndTime(strprintf("%lld", modified * 1000));
    }
  } else if (kind == FileKind::Picture && photoTime) {
    f.setFPhotoTime(photoTime->stringValue());
  }
}

FilePtr UploadRecordBuilder::fromPropertyRecord(const std::string& path, int32_t kind) {
  auto value = Z_Request::getFilePropertyWithPath(path, "");
  if (!value || !value->asDict()) return nullptr;
  const PlistDict& property = *value->asDict();
  auto f = std::make_shared<File>();
  auto text = [&property](const char* key) -> File::Text {
    const PlistValue* v = property.find(key);
    if (!v || v->isNone()) return std::nullopt;
    return v->stringValue();
  };
  f->setFSHA1(text("sha1"));
  f->setFHash(text("hash"));
  std::optional<PlistValue> time;
  if (const PlistValue* t = property.find("time")) {
    f->setFTime(t->integerValue());
    time = *t;
  }
  f->setName(platform::lastPathComponent(path));
  f->setFPath(path);
  f->setFLen(strprintf("%lld", static_cast<long long>(property.getInteger("size"))));
  f->setFtype(kind);
  fillFromStores(*f, path, kind, time);
  return f;
}

FilePtr UploadRecordBuilder::build(const std::string& path, int32_t folderEnum,
                                   const std::atomic<bool>* statuCancel) {
  auto verified =
      FileProperty::sharedFileProperty().toCheckFilePropertyWithLocal(path, statuCancel);
  if (!verified) return nullptr;
  auto f = std::make_shared<File>();
  f->setName(platform::lastPathComponent(path));
  f->setFPath(path);
  f->setFSHA1(verified->getString("sha1"));
  if (const PlistValue* t = verified->find("time")) f->setFTime(t->integerValue());
  f->setFLen(strprintf("%lld", static_cast<long long>(verified->getInteger("size"))));
  f->setFtype(folderEnum);

  // The check has just hashed the content ("md5" of the verified property);
  // hash again only when it didn't give one.
  std::optional<std::string> hash = verified->getString("md5");
  if (hash->size() != 40) hash = SHA1Help::file_sha1(path, statuCancel);
  if (!hash) return nullptr;
  f->setFHash(*hash);
  FileProperty::sharedFileProperty().updateFilePropertyWithPath(path, "hash", PlistValue(*hash));

  std::optional<PlistValue> time;
  if (const PlistValue* t = verified->find("time")) time = *t;
  fillFromStores(*f, path, folderEnum, time);
  return f;
}

}  // namespace quillbox
