#include "FileProperty/FileProperty.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <nlohmann/json.hpp>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "Platform/Files/FileLock.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "Platform/UI/UserInterface.h"
#include "PropertyList/PlistStoreText.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"
#include "SHA1Help/SHA1Help.h"
#include "SharedSettings.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;
using platform::PropertyList;
using platform::StoreLock;

namespace {

// Texts of this module, character for character.
const char kRootKey[] = "root";
const char kDocuments[] = "Documents";
const char kDocumentsDir[] = "/Documents/";
const char kRegistrationResourceFolder[] = "file";
const char kRegistrationResourceName[] = "safe.json";
const char kRegistrationBodyFormat[] = "hash=%s&sha1=%s&time=%lld&size=%lld";
const char kLogFileMissing[] = "文件不存在。";
const char kLogCreated[] = "日志:本地文件属性创建成功。";
const char kLogRetryCreate[] = "重试创建属性:%s";
const char kLogResult[] = "日志:%s";
const char kLogoNoPath[] = "logo:没有路径:%s";
const char kLogoNoDocuments[] = "logo:没有Documents";
const char kLogoFound[] = "logo:找到了。我的天";
const char kLogoWalked[] = "logo:遍历完了：%s";
const char kLogoAllOver[] = "logo:一切都结束了,%s";
// Lines of this system's own (no counterpart in the original texts).
const char kLogNoContainer[] = "日志:找不到客户端容器, 文件属性库不可用";
const char kLogNoUser[] = "日志:没有当前用户, 文件属性操作未执行: %s";
const char kLogUnhashable[] = "日志:无法计算文件摘要, 保留空摘要的记录, 不登记: %s";
const char kLogCheckUnhashable[] = "日志:无法计算文件摘要, 校验失败: %s";
const char kLogBadStoreName[] = "日志:文件属性库名称不可用: \"%s\"";
const char kLogUnreadableStore[] = "日志:文件属性库无法读取, 已另存为 %s";
const char kLogWriteFailed[] = "日志:文件属性库写入失败: %s";
const char kLogThreadFailed[] = "日志:无法启动登记线程: %s";
const char kLogNoAddress[] =
    "日志:存证服务地址无法读取, 登记暂停 (%s); 之后再读地址, 每次等待加倍, 最长 5 分钟";
const char kToastNoAddress[] =
    "存证服务地址无法读取，截屏已保存在本机但暂不能登记：请在Sorelle客户端中重新设置服务地址";
constexpr int kToastMs = 3000;
// Whether the person has been told that the address can't be read (told
// again only after it was usable in between).
std::atomic<bool> g_addressProblemTold{false};
constexpr std::chrono::seconds kRetryWait{2};

std::atomic<bool> g_widgetMode{false};

std::mutex& envMutex() {
  static std::mutex* m = new std::mutex;  // outlives detached registration threads
  return *m;
}
FileProperty::RegistrationEnvironment& envOverride() {
  static auto* e = new FileProperty::RegistrationEnvironment;
  return *e;
}

FileProperty::RegistrationEnvironment registrationEnvironment() {
  FileProperty::RegistrationEnvironment env;
  {
    std::lock_guard<std::mutex> lock(envMutex());
    env = envOverride();
  }
  if (!env.addressProblem)
    env.addressProblem = [] { return ServiceReachability::serviceAddressProblem(); };
  if (!env.isReachable) env.isReachable = [] { return ServiceReachability::isServiceReachable(); };
  if (!env.post) {
    env.post = [](const std::string& body, const std::string& resource) {
      return Z_Request::postWithString(body, resource, false);
    };
  }
  if (!env.autoLogin)
    env.autoLogin = [] { return AutoLogin::sharedAutoLogin().toAutoLoginAndWait(); };
  return env;
}

// The container must be known before any path into it is formed; an unset
// container would turn "%@/Library/%@" into a path at the file-system root.
bool haveContainer() {
  if (!AppURL::sharedAppURL().appURL().empty()) return true;
  if (locateQuillboxApp()) return true;
  Log::line(kLogNoContainer);
  return false;
}

std::optional<std::string> libraryFile(const std::string& name) {
  if (!platform::isSafePathComponent(name)) {
    Log::printf(kLogBadStoreName, name.c_str());
    return std::nullopt;
  }
  if (!haveContainer()) return std::nullopt;
  return getAppLibFilePath(name);
}

// Store path and current user, or nullopt with the reason logged.
struct Context {
  std::string storePath;
  std::string user;
};
std::optional<Context> currentContext(const char* operation) {
  auto path = libraryFile(FileProperty::kStoreFile);
  if (!path) return std::nullopt;
  auto user = SharedSettings::currentUserName();
  if (!user) {
    Log::printf(kLogNoUser, operation);
    return std::nullopt;
  }
  return Context{*path, *user};
}

// The last parsed copy of each store file, reused while the file is provably
// the same one: every writer here replaces the file by rename, which gives the
// path a new inode (and a new birth time), and any other change moves the
// modification time, kept to the nanosecond; so a changed (device, inode,
// size, birth, modification) key means a re-read, also for a same-size rewrite
// by another process within the same second. A store of ten thousand records
// takes far longer to parse than to stat.
//
// Beside the parsed copy, the text this process last wrote to the file (with
// where each record lies in it): the next write of the same file copies the
// records it does not change instead of writing all of them anew. A store read
// from the file (written by another process) has none until it is written here.
struct CachedStore {
  uint64_t device = 0, inode = 0;
  int64_t size = -1;
  std::chrono::system_clock::time_point created, modified;
  // Readers share it read-only; a writer that finds itself its only holder
  // changes it in place, else copies it.
  std::shared_ptr<PlistDict> dict;
  std::shared_ptr<const PlistStoreText> text;
};
std::mutex& cacheMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::map<std::string, CachedStore>& cache() {
  static auto* c = new std::map<std::string, CachedStore>;
  return *c;
}
bool sameFile(const CachedStore& c, const platform::FileAttributes& a) {
  return c.device == a.device && c.inode == a.inode && c.size == a.size &&
         c.created == a.creationDate && c.modified == a.modificationDate;
}

// The cached store of `path` when it is still the file's content, else the
// file parsed afresh (and cached); nullopt when missing or unreadable.
std::optional<CachedStore> currentStore(const std::string& path) {
  auto attrs = FileSystem::Default().attributes(path);
  if (!attrs) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(cacheMutex());
    auto it = cache().find(path);
    if (it != cache().end() && it->second.dict && sameFile(it->second, *attrs)) return it->second;
  }
  auto v = PropertyList::read(path);
  if (!v || !v->asDict()) return std::nullopt;
  // Attributes taken before the read: a file replaced in between only costs a re-read.
  CachedStore c{attrs->device,
                attrs->inode,
                attrs->size,
                attrs->creationDate,
                attrs->modificationDate,
                std::make_shared<PlistDict>(std::move(*v->asDict())),
                nullptr};
  std::lock_guard<std::mutex> lock(cacheMutex());
  cache()[path] = c;
  return c;
}

// An existing, readable store (shared, read-only); nullptr when missing or unreadable.
std::shared_ptr<const PlistDict> storeSnapshot(const std::string& path) {
  auto c = currentStore(path);
  if (!c) return nullptr;
  return c->dict;
}

// The store for a read-change-write: the dictionary to change and the text it
// was written as (if this process wrote it). The cached copy is taken out of
// the cache, so that it can be changed in place when no reader holds it; a
// failed write then leaves nothing stale behind.
// REQUIRES: the caller holds StoreLock(path).
struct WritableStore {
  std::shared_ptr<PlistDict> dict;
  std::shared_ptr<const PlistStoreText> text;
};
std::optional<WritableStore> readStore(const std::string& path) {
  auto c = currentStore(path);
  if (!c) return std::nullopt;
  {
    std::lock_guard<std::mutex> lock(cacheMutex());
    cache().erase(path);
  }
  WritableStore w{std::move(c->dict), std::move(c->text)};
  // Nobody else can take a new reference now: a count of one stays one.
  if (w.dict.use_count() != 1) w.dict = std::make_shared<PlistDict>(*w.dict);
  return w;
}

const PlistArray* userArray(const PlistDict& store, const std::string& user) {
  const PlistValue* v = store.find(user);
  return v ? v->asArray() : nullptr;
}

PlistArray* userArray(PlistDict& store, const std::string& user) {
  PlistValue* v = store.find(user);
  return v ? v->asArray() : nullptr;
}

// The part of a path after "Documents" (the path itself when there is none),
// as FileProperty::documentsRelativeKey, without a copy: the scans below
// compare it for every record of the store.
std::string_view relativeKeyView(std::string_view path) {
  size_t p = path.find(kDocuments);
  if (p == std::string_view::npos) return path;
  size_t after = p + sizeof(kDocuments) - 1;
  if (after >= path.size()) return path;
  return path.substr(after);
}

// Whether `record` is a dictionary whose "path" has the relative key `key`.
bool recordHasKey(const PlistValue& record, std::string_view key) {
  const PlistDict* d = record.asDict();
  const PlistValue* v = d ? d->find("path") : nullptr;
  const std::string* path = v ? v->asString() : nullptr;
  return relativeKeyView(path ? std::string_view(*path) : std::string_view()) == key;
}

// What a write changed: the array under `key`, whose item i was item
// origin[i] before (negative: new or changed). Without one the whole store is
// written anew.
struct ArrayChange {
  std::string key;
  std::vector<std::ptrdiff_t> origin;
};

// Writes the store atomically, in one buffer: the text of the last write with
// only the changed records written anew when there is one, else all of it.
// REQUIRES: the caller holds StoreLock(path), so no other writer can replace
// the file between the write and the stat that keys the cache.
bool writeStore(const std::string& path, WritableStore store,
                const std::optional<ArrayChange>& change) {
  std::string why;
  std::optional<PlistStoreText> text;
  if (store.text && change)
    text = store.text->withArray(*store.dict, change->key, change->origin, &why);
  if (!text) text = PlistStoreText::write(*store.dict, &why);
  if (!text) {
    Log::printf("plist: refused to write %s: %s", path.c_str(),
                (why + "; the file is left as it was").c_str());
    Log::printf(kLogWriteFailed, path.c_str());
    return false;
  }
  if (!FileSystem::Default().writeAtomically(path, text->text())) {
    Log::printf(kLogWriteFailed, path.c_str());
    return false;
  }
  if (auto attrs = FileSystem::Default().attributes(path)) {
    std::lock_guard<std::mutex> lock(cacheMutex());
    cache()[path] = CachedStore{attrs->device,
                                attrs->inode,
                                attrs->size,
                                attrs->creationDate,
                                attrs->modificationDate,
                                std::move(store.dict),
                                std::make_shared<const PlistStoreText>(std::move(*text))};
  }
  return true;
}

// Each item where it was: the origin of an array changed in place.
std::vector<std::ptrdiff_t> unchangedOrigin(size_t n) {
  std::vector<std::ptrdiff_t> origin(n);
  for (size_t i = 0; i < n; ++i) origin[i] = static_cast<std::ptrdiff_t>(i);
  return origin;
}

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool endsWith(const std::string& s, const char* suffix) {
  std::string_view sv(suffix);
  return s.size() >= sv.size() && s.compare(s.size() - sv.size(), sv.size(), sv) == 0;
}

std::string describe(const RequestResult& r) {
  nlohmann::ordered_json j;
  j["code"] = r.code;
  if (r.respone) j["respone"] = *r.respone;
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A JSON object with a non-empty "id" (text or number).
bool isConfirmation(const std::optional<std::string>& body) {
  if (!body || body->empty()) return false;
  nlohmann::json j = nlohmann::json::parse(*body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  auto it = j.find("id");
  if (it == j.end()) return false;
  if (it->is_string()) return !it->get<std::string>().empty();
  return it->is_number();
}

}  // namespace

FileProperty& FileProperty::sharedFileProperty() {
  static FileProperty* instance = new FileProperty();  // threads may outlive main
  return *instance;
}

void FileProperty::setWidgetMode(bool on) {
  g_widgetMode.store(on);
}
bool FileProperty::widgetMode() {
  return g_widgetMode.load();
}

void FileProperty::setRegistrationEnvironmentForTesting(RegistrationEnvironment env) {
  std::lock_guard<std::mutex> lock(envMutex());
  envOverride() = std::move(env);
}

std::string FileProperty::keyedDigest(const std::string& hash, int64_t time, int64_t size) {
  return SHA1Help::sha1(hash + std::to_string(time) + std::to_string(size) + kClientSecret);
}

std::string FileProperty::documentsRelativeKey(const std::string& path) {
  return std::string(relativeKeyView(path));
}

std::optional<std::string> FileProperty::documentsTail(const std::string& path) {
  size_t p = path.find(kDocumentsDir);
  if (p == std::string::npos) return std::nullopt;
  return path.substr(p);
}

bool FileProperty::writeDicTOFile(const std::string& fileName, const PlistDict& dic,
                                  const std::string& user) {
  auto path = libraryFile(fileName);
  if (!path) return false;
  if (!platform::isSafePathComponent(user)) {
    Log::printf(kLogNoUser, "writeDicTOFile");
    return false;
  }
  StoreLock lock(*path);
  std::optional<WritableStore> store = readStore(*path);
  if (!store) {
    if (FileSystem::Default().exists(*path)) {
      // Replacing an unreadable store would lose whatever it still holds.
      std::string aside = *path + ".unreadable";
      if (auto bytes = FileSystem::Default().readFile(*path)) {
        FileSystem::Default().writeAtomically(aside, *bytes);
      }
      Log::printf(kLogUnreadableStore, aside.c_str());
    }
    store = WritableStore{std::make_shared<PlistDict>(), nullptr};
    store->dict->set(kRootKey, PlistValue(PlistArray{}));
  }
  PlistArray records;
  if (PlistArray* existing = userArray(*store->dict, user)) records = std::move(*existing);
  ArrayChange change{user, unchangedOrigin(records.size())};
  const std::string key = documentsRelativeKey(dic.getString("path"));
  for (size_t i = 0; i < records.size(); ++i) {
    if (recordHasKey(records[i], key)) {
      records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
      change.origin.erase(change.origin.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  records.emplace_back(dic);
  change.origin.push_back(-1);
  store->dict->setAtEnd(user, PlistValue(std::move(records)));
  return writeStore(*path, std::move(*store), change);
}

bool FileProperty::createFileProperty(const File& file) {
  if (!file.fPath()) return false;
  return toSaveFileProperty(*file.fPath(), file.ftype());
}

bool FileProperty::toSaveFileProperty(const std::string& path, int32_t type) {
  auto record = toSaveFilePropertyWithoutRegistration(path, type);
  if (!record) return false;
  startRegistration(*record);
  return true;
}

std::shared_future<bool> FileProperty::toSaveFilePropertyAndRegister(const std::string& path,
                                                                     int32_t type) {
  auto record = toSaveFilePropertyWithoutRegistration(path, type);
  if (!record) {
    std::promise<bool> none;
    none.set_value(false);
    return none.get_future().share();
  }
  return startRegistration(*record);
}

std::optional<PlistDict> FileProperty::toSaveFilePropertyWithoutRegistration(
    const std::string& path, int32_t type) {
  auto attrs = FileSystem::Default().attributes(path);
  if (!attrs || attrs->isDirectory) {
    Log::line(kLogFileMissing);
    return std::nullopt;
  }
  auto ctx = currentContext("toSaveFileProperty");
  if (!ctx) return std::nullopt;

  const int64_t size = attrs->size;
  const int64_t time =
      std::chrono::duration_cast<std::chrono::milliseconds>(attrs->creationDate.time_since_epoch())
          .count();
  PlistDict record;
  record.set("type", PlistValue::integer(type));
  record.set("time", PlistValue::integer(time));
  record.set("sha1", PlistValue(""));
  record.set("md5", PlistValue(""));
  record.set("size", PlistValue::integer(size));
  record.set("path", PlistValue(path));
  record.set("state", PlistValue::integer(0));
  // Visible at once; the digest below may take a while for a large file.
  writeDicTOFile(kStoreFile, record, ctx->user);

  auto hash = SHA1Help::file_sha1(path);
  if (!hash) {
    Log::printf(kLogUnhashable, path.c_str());
    return std::nullopt;
  }
  record.set("sha1", PlistValue(keyedDigest(*hash, time, size)));
  record.set("hash", PlistValue(*hash));
  // A record the store did not take can't be checked against: nothing to register.
  if (!writeDicTOFile(kStoreFile, record, ctx->user)) return std::nullopt;
  if (widgetMode()) writeDicTOFile(kCreatedJournalFile, record, ctx->user);
  Log::line(kLogCreated);
  return record;
}

std::shared_future<bool> FileProperty::startRegistration(const PlistDict& record) {
  auto promise = std::make_shared<std::promise<bool>>();
  std::shared_future<bool> done = promise->get_future().share();
  platform::Outcome started =
      platform::Threads::Default().startThread(kRegistrationThread, [record, promise] {
        FileProperty::sharedFileProperty().toSendFileProperty(record);
        // The caller may end the process once it hears of the confirmation.
        platform::Threads::releaseThreadState();
        promise->set_value(true);
      });
  if (!started) {
    Log::printf(kLogThreadFailed, started.reason.c_str());
    promise->set_value(false);
  }
  return done;
}

bool FileProperty::updateFilePropertyWithPath(const std::string& path, const std::string& key,
                                              const PlistValue& value) {
  const bool widget = widgetMode();
  if (path.empty()) {
    if (widget) Log::printf(kLogoNoPath, path.c_str());
    return false;
  }
  auto tail = documentsTail(path);
  if (!tail) {
    if (widget) Log::line(kLogoNoDocuments);
    return false;
  }
  if (value.isNone() || key.empty()) return false;
  auto ctx = currentContext("updateFilePropertyWithPath");
  if (!ctx) return false;

  StoreLock lock(ctx->storePath);
  auto store = readStore(ctx->storePath);
  PlistArray* records = store ? userArray(*store->dict, ctx->user) : nullptr;
  if (!records) {
    if (widget) Log::printf(kLogoAllOver, value.description().c_str());
    return false;
  }
  ArrayChange change{ctx->user, unchangedOrigin(records->size())};
  for (size_t i = 0; i < records->size(); ++i) {
    PlistDict* d = (*records)[i].asDict();
    if (!d || d->getString("path").find(*tail) == std::string::npos) continue;
    if (widget) Log::line(kLogoFound);
    d->set(key, value);
    change.origin[i] = -1;
  }
  if (widget) Log::printf(kLogoWalked, PlistValue(*records).description().c_str());
  return writeStore(ctx->storePath, std::move(*store), change);
}

bool FileProperty::updateFileProperty(const std::string& name, int32_t state) {
  return updateFileProperty(name, PlistValue::integer(state));
}

bool FileProperty::updateFileProperty(const std::string& name, const PlistValue& state) {
  if (name.empty() || state.isNone()) return false;
  auto ctx = currentContext("updateFileProperty");
  if (!ctx) return false;

  StoreLock lock(ctx->storePath);
  const std::string lower = lowercase(name);
  std::string key;
  if (endsWith(lower, "mov") || endsWith(lower, "jpg")) {
    key = "/cameras/" + ctx->user + "/" + name;
  } else if (endsWith(lower, "wav") || endsWith(lower, "m4a")) {
    key = "/" + ctx->user + "/Audio/" + name;
  } else if (endsWith(lower, "png")) {
    key = "/ScreenShot/" + ctx->user + "/" + name;
  }
  auto store = readStore(ctx->storePath);
  PlistArray* records = store ? userArray(*store->dict, ctx->user) : nullptr;
  if (!records) return false;
  ArrayChange change{ctx->user, unchangedOrigin(records->size())};
  if (!key.empty()) {
    for (size_t i = 0; i < records->size(); ++i) {
      PlistDict* d = (*records)[i].asDict();
      if (d && recordHasKey((*records)[i], key)) {
        d->set("state", state);
        change.origin[i] = -1;
      }
    }
  }
  return writeStore(ctx->storePath, std::move(*store), change);
}

std::optional<PlistDict> FileProperty::getFilePropertyWithPath(const std::string& path) {
  const std::string key = documentsRelativeKey(path);
  if (key == path) return std::nullopt;  // no text after "Documents": no key of its own
  auto ctx = currentContext("getFilePropertyWithPath");
  if (!ctx) return std::nullopt;
  auto store = storeSnapshot(ctx->storePath);
  const PlistArray* records = store ? userArray(*store, ctx->user) : nullptr;
  if (!records) return std::nullopt;
  for (const PlistValue& r : *records) {
    if (recordHasKey(r, key)) return *r.asDict();
  }
  return std::nullopt;
}

std::optional<PlistValue> FileProperty::getFilePropertyWithPath(const std::string& path,
                                                                const std::string& key) {
  if (path.empty()) return std::nullopt;
  auto tail = documentsTail(path);
  if (!tail) return std::nullopt;
  auto ctx = currentContext("getFilePropertyWithPath");
  if (!ctx) return std::nullopt;
  auto store = storeSnapshot(ctx->storePath);
  const PlistArray* records = store ? userArray(*store, ctx->user) : nullptr;
  if (!records) return std::nullopt;
  for (const PlistValue& r : *records) {
    const PlistDict* d = r.asDict();
    if (!d || d->getString("path").find(*tail) == std::string::npos) continue;
    if (key.empty()) return PlistValue(*d);
    const PlistValue* v = d->find(key);
    if (!v) return std::nullopt;
    return *v;
  }
  return std::nullopt;
}

std::optional<PlistDict> FileProperty::toCheckFilePropertyWithLocal(const std::string& path) {
  return toCheckFilePropertyWithLocal(path, nullptr);
}

std::optional<PlistDict> FileProperty::toCheckFilePropertyWithLocal(
    const std::string& path, const std::atomic<bool>* statuCancel) {
  auto attrs = FileSystem::Default().attributes(path);
  if (!attrs || attrs->isDirectory) {
    Log::line(kLogFileMissing);
    return std::nullopt;
  }
  auto ctx = currentContext("toCheckFilePropertyWithLocal");
  if (!ctx) return std::nullopt;

  auto hash = SHA1Help::file_sha1(path, statuCancel);
  if (statuCancel && statuCancel->load()) return std::nullopt;
  if (!hash) {
    Log::printf(kLogCheckUnhashable, path.c_str());
    return std::nullopt;
  }
  const int64_t size = attrs->size;
  PlistDict verified;
  verified.set("md5", PlistValue(*hash));
  verified.set("size", PlistValue::integer(size));
  verified.set("path", PlistValue(path));

  // Held across the walk: a fill-in writes the store back.
  StoreLock lock(ctx->storePath);
  auto store = storeSnapshot(ctx->storePath);
  const PlistArray* records = store ? userArray(*store, ctx->user) : nullptr;
  if (!records) return std::nullopt;

  for (const PlistValue& r : *records) {
    const PlistDict* stored = r.asDict();
    if (!stored) continue;
    if (stored->getInteger("size") != size) continue;
    // Copied only when the size matches: most records are passed over.
    PlistDict walked = *stored;
    PlistDict* rec = &walked;
    const int64_t time = rec->getInteger("time");
    if (rec->getString("hash").empty()) {
      // Only the path's own record is completed from the file as it is now.
      auto own = getFilePropertyWithPath(path);
      if (own && *own == *rec) {
        own->set("hash", PlistValue(*hash));
        writeDicTOFile(kStoreFile, *own, ctx->user);
        rec->set("hash", PlistValue(*hash));
      }
    }
    if (rec->getString("hash") != *hash) continue;
    const std::string digest = keyedDigest(*hash, time, size);
    verified.set("time", PlistValue::integer(time));
    verified.set("sha1", PlistValue(digest));
    const std::string recordDigest = rec->getString("sha1");
    if (recordDigest.empty()) {
      // The digest is written only into the record it was computed for.
      auto own = getFilePropertyWithPath(path);
      if (own && *own == *rec) {
        own->set("sha1", PlistValue(digest));
        writeDicTOFile(kStoreFile, *own, ctx->user);
      }
      return verified;
    }
    if (recordDigest == digest) return verified;
  }
  return std::nullopt;
}

void FileProperty::toSendFileProperty(const PlistDict& record) {
  RegistrationEnvironment env = registrationEnvironment();
  const std::string body =
      strprintf(kRegistrationBodyFormat, record.getString("hash").c_str(),
                record.getString("sha1").c_str(), static_cast<long long>(record.getInteger("time")),
                static_cast<long long>(record.getInteger("size")));
  const std::string resource =
      std::string(kRegistrationResourceFolder) + "/" + kRegistrationResourceName;
  std::chrono::seconds addressWait = kFirstAddressWait;
  for (;;) {
    // Without an address no try can be made, and retrying every 2 seconds
    // would fill the log: said once, then read again less and less often.
    if (auto problem = env.addressProblem()) {
      if (!g_addressProblemTold.exchange(true)) {
        Log::printf(kLogNoAddress, problem->c_str());
        platform::UserInterface::Default().showToast(kToastNoAddress,
                                                     platform::ToastPosition::Bottom, kToastMs);
      }
      platform::Clock::Default().sleepFor(addressWait);
      addressWait = std::min(addressWait * 2, kLongestAddressWait);
      continue;
    }
    addressWait = kFirstAddressWait;
    g_addressProblemTold = false;
    if (!env.isReachable()) {
      Log::printf(kLogRetryCreate, PlistValue(record).description().c_str());
      platform::Clock::Default().sleepFor(kRetryWait);
      continue;
    }
    RequestResult result = env.post(body, resource);
    Log::printf(kLogResult, describe(result).c_str());
    if (isConfirmation(result.respone)) return;
    platform::Clock::Default().sleepFor(kRetryWait);
    env.autoLogin();
  }
}

}  // namespace quillbox
