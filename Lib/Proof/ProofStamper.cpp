#include "Proof/ProofStamper.h"

#include <algorithm>
#include <thread>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "Proof/EvidenceProof.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;

namespace {
const char kLogStamped[] = "日志:证明时间戳已保存 %s (%s)";
const char kLogRetry[] = "日志:时间戳未取得, %lld 秒后重试 %s: %s";
const char kLogGone[] = "日志:证明已不存在, 不再取时间戳 %s";

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() > suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

ProofStamper& ProofStamper::shared() {
  static ProofStamper* instance = new ProofStamper();  // outlives its detached worker
  return *instance;
}

void ProofStamper::startLocked() {
  if (started_) return;
  // Without a thread the proofs stay unstamped; a later enqueue tries again.
  started_ = static_cast<bool>(
      platform::Threads::Default().startThread("proof-stamper", [this] { run(); }));
}

void ProofStamper::enqueue(const std::string& jsonPath) {
  if (platform::Environment::tsaUrl().empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  enqueueLocked(jsonPath);
  startLocked();
  wake_.notify_all();
}

void ProofStamper::enqueueLocked(const std::string& jsonPath) {
  if (jsonPath == inFlight_) return;
  for (const Entry& e : queue_) {
    if (e.json == jsonPath) return;
  }
  queue_.push_back({jsonPath, Clock::now(), kFirstRetry});
}

void ProofStamper::stampPendingProofs() {
  if (platform::Environment::tsaUrl().empty()) return;
  std::lock_guard<std::mutex> lock(mu_);
  scanRequested_ = true;
  startLocked();
  wake_.notify_all();
}

void ProofStamper::scan() {
  FileSystem& fs = FileSystem::Default();
  if (!locateQuillboxApp()) return;
  const std::string root = getAppLibFilePath(EvidenceProof::kProofsFolder);
  std::vector<std::string> pending;
  for (const std::string& user : fs.list(root).value_or(std::vector<std::string>{})) {
    if (!platform::isSafePathComponent(user)) continue;
    std::string folder = root;
    folder.append("/").append(user).append("/");
    for (const std::string& name : fs.list(folder).value_or(std::vector<std::string>{})) {
      if (!endsWith(name, EvidenceProof::kJsonSuffix)) continue;
      const std::string json = folder + name;
      if (!fs.exists(EvidenceProof::filesOfSidecar(json).tsr)) pending.push_back(json);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (const std::string& json : pending) enqueueLocked(json);
}

void ProofStamper::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (scanRequested_) {
      scanRequested_ = false;
      lock.unlock();
      scan();
      lock.lock();
      continue;
    }
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto next = std::min_element(queue_.begin(), queue_.end(),
                                 [](const Entry& a, const Entry& b) { return a.due < b.due; });
    if (next->due > Clock::now()) {
      wake_.wait_until(lock, next->due);
      continue;
    }
    Entry entry = *next;
    queue_.erase(next);
    inFlight_ = entry.json;
    lock.unlock();

    TimeStampClient::Result result = EvidenceProof::stamp(entry.json);
    bool retry = false;
    if (result.outcome == TimeStampClient::Outcome::Granted) {
      Log::printf(kLogStamped, EvidenceProof::filesOfSidecar(entry.json).tsr.c_str(),
                  result.genTime.c_str());
    } else if (!FileSystem::Default().exists(entry.json)) {
      Log::printf(kLogGone, entry.json.c_str());
    } else {
      Log::printf(kLogRetry, static_cast<long long>(entry.wait.count()), entry.json.c_str(),
                  result.error.c_str());
      retry = true;
    }

    lock.lock();
    inFlight_.clear();
    if (retry) {
      entry.due = Clock::now() + entry.wait;
      entry.wait = std::min<std::chrono::seconds>(entry.wait * 2, kLongestRetry);
      queue_.push_back(entry);
    }
  }
}

}  // namespace quillbox
