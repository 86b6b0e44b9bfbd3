#include "QBXUploadManager/UploadRetry.h"

#include <algorithm>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "QBXUploadManager/UploadStateRecord.h"

namespace quillbox {

using platform::Log;

namespace {
const char kLogRetry[] = "日志:上传未完成, %lld 秒后重试: %s (%s)";
const char kLogResuming[] = "日志:继续上传 %d 个已确认但未上传完的文件";
const char kLogArrived[] = "日志:重试的上传已完成: %s";
const char kLogGivenUp[] = "日志:文件不存在或已被改动, 不再重试上传: %s";
const char kLogNoThread[] = "日志:无法启动重试线程, 下次启动时继续上传: %s (%s)";
const char kScreenshotFolderName[] = "手机截屏";
constexpr int kRefused = 401;
constexpr int kForbidden = 403;

// The file of a record written by an earlier run: its own path, or the same
// place below the container's Documents when the container has moved.
std::string currentPath(const std::string& stored) {
  if (platform::FileSystem::Default().exists(stored)) return stored;
  auto tail = FileProperty::documentsTail(stored);
  std::string container = AppURL::sharedAppURL().appURL();
  if (!tail || container.empty()) return stored;
  return container + *tail;
}
}  // namespace

UploadRetry& UploadRetry::shared() {
  static auto* instance = new UploadRetry();  // outlives the sleeping threads
  return *instance;
}

void UploadRetry::enable() {
  enabled_ = true;
  QBXUploadManager::sharedInstance().setRetry(this);
}

bool UploadRetry::enabled() const {
  return enabled_.load();
}

bool UploadRetry::isRetrying(const std::string& path) const {
  return entries_.count(path) > 0;
}

int UploadRetry::resumePending() {
  if (!enabled_) return 0;
  int resumed = 0;
  for (const PlistDict& record : UploadStateRecord::currentUserRecords()) {
    const int64_t state = record.getInteger("state");
    const std::string stored = record.getString("path");
    if (state == FileState::Finished || state == FileState::Started || stored.empty()) continue;
    const std::string path = currentPath(stored);
    if (entries_.count(path)) continue;
    Entry& entry = entries_[path];
    entry.kind = static_cast<int32_t>(record.getInteger("type"));
    const uint64_t generation = ++entry.generation;
    platform::RunLoop::main().perform(
        [path, generation] { UploadRetry::shared().attempt(path, generation); });
    ++resumed;
  }
  if (resumed) Log::printf(kLogResuming, resumed);
  return resumed;
}

void UploadRetry::uploadEnded(const UploadEvent& event) {
  if (!enabled_ || !event.file || !event.file->fPath()) return;
  const std::string path = *event.file->fPath();
  switch (event.kind) {
    case UploadEvent::Kind::Progress:
      return;
    case UploadEvent::Kind::Finished:
      if (entries_.erase(path)) Log::printf(kLogArrived, path.c_str());
      return;
    case UploadEvent::Kind::Stopped:  // a person's stop is not undone
      entries_.erase(path);
      return;
    case UploadEvent::Kind::Failed: {
      Entry& entry = entries_[path];
      entry.kind = event.file->ftype();
      entry.renewSession = event.status == kRefused || event.status == kForbidden;
      schedule(path, event.reason);
      return;
    }
  }
}

void UploadRetry::schedule(const std::string& path, const std::string& reason) {
  Entry& entry = entries_[path];
  const std::chrono::seconds wait = entry.wait;
  entry.wait = std::min(entry.wait * 2, kLongestWait);
  const uint64_t generation = ++entry.generation;
  const bool renew = entry.renewSession;
  Log::printf(kLogRetry, static_cast<long long>(wait.count()), path.c_str(), reason.c_str());
  platform::Outcome started =
      platform::Threads::Default().startThread(kThreadName, [path, generation, wait, renew] {
        platform::Clock::Default().sleepFor(wait);
        if (renew) AutoLogin::sharedAutoLogin().toAutoLoginAndWait();
        platform::performOnMainThread(
            [path, generation] { UploadRetry::shared().attempt(path, generation); }, false);
      });
  if (!started) Log::printf(kLogNoThread, path.c_str(), started.reason.c_str());
}

void UploadRetry::attempt(const std::string& path, uint64_t generation) {
  auto it = entries_.find(path);
  if (it == entries_.end() || it->second.generation != generation) return;
  const int32_t kind = it->second.kind;
  FilePtr record = QBXUploadManager::getFileWillUploadWithPath(path, kind);
  if (!record) {
    Log::printf(kLogGivenUp, path.c_str());
    entries_.erase(it);
    return;
  }
  record->setFtype(kind);
  if (kind == FileKind::Screenshot) record->setFServerPathName(std::string(kScreenshotFolderName));
  // A file already uploading here is left to that task, whose end comes back here.
  QBXUploadManager::sharedInstance().startUploadWithFiles({record}, true);
}

void UploadRetry::resetForTesting() {
  entries_.clear();
  enabled_ = false;
  QBXUploadManager::sharedInstance().setRetry(nullptr);
}

}  // namespace quillbox
