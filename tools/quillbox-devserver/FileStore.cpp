#include "FileStore.h"

#include <openssl/evp.h>

#include <chrono>
#include <sstream>

#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/TimeFormat.h"
#include "ServerText.h"
#include "SessionTokens.h"

namespace quillbox::devserver {
namespace {

using platform::FileSystem;
using platform::Log;

std::string nowIso() {
  return platform::TimeFormat::format(std::chrono::system_clock::now(), "%Y-%m-%dT%H:%M:%SZ",
                                      platform::TimeFormat::Zone::Utc);
}

std::string dumpJson(const nlohmann::json& j, int indent = -1) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json toJson(const FileRecord& r) {
  return {{"id", r.id},         {"owner", r.owner},           {"name", r.name},
          {"type", r.type},     {"length", r.declaredLength}, {"hash", r.hash},
          {"fields", r.fields}, {"images", r.images},         {"created", r.created}};
}

std::optional<FileRecord> fromJson(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  FileRecord r;
  r.id = j.value("id", "");
  r.owner = j.value("owner", "");
  r.name = j.value("name", "");
  r.type = j.value("type", "");
  r.declaredLength = j.value("length", int64_t{0});
  r.hash = j.value("hash", "");
  if (j.contains("fields") && j["fields"].is_object()) r.fields = j["fields"];
  if (j.contains("images") && j["images"].is_object()) r.images = j["images"];
  r.created = j.value("created", "");
  if (!FileStore::isValidId(r.id)) return std::nullopt;
  return r;
}

std::string registrationKey(const std::string& owner, const std::string& hash,
                            const std::string& sha1, int64_t time, int64_t size) {
  return owner + "\n" + hash + "\n" + sha1 + "\n" + std::to_string(time) + "\n" +
         std::to_string(size);
}

}  // namespace

FileStore::Append::~Append() {
  std::fclose(file_);
  store_.endAppend(id_);
}

bool FileStore::Append::write(const char* data, size_t n) {
  int64_t room = limit_ - length_;
  size_t take = n;
  if (room < static_cast<int64_t>(n)) {
    take = room > 0 ? static_cast<size_t>(room) : 0;
    overflow_ += static_cast<int64_t>(n - take);
  }
  if (take == 0) return true;
  // Flushed at once: what arrived stays on disk even if the connection drops
  // before the body is complete, which is what lets a client resume.
  if (std::fwrite(data, 1, take, file_) != take || std::fflush(file_) != 0) return false;
  length_ += static_cast<int64_t>(take);
  return true;
}

FileStore::FileStore(std::string dataDir) : dataDir_(std::move(dataDir)) {}

bool FileStore::isValidId(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string FileStore::fileDir(const std::string& id) const {
  return dataDir_ + "/" + kFilesDir + "/" + id;
}

bool FileStore::load(std::string* error) {
  auto& fs = FileSystem::Default();
  std::string filesDir = dataDir_ + "/" + kFilesDir;
  if (!fs.createDirectories(filesDir)) {
    *error = "cannot create " + filesDir;
    return false;
  }
  std::lock_guard lock(mutex_);
  for (const auto& entry : fs.list(filesDir).value_or(std::vector<std::string>{})) {
    if (!isValidId(entry)) continue;
    auto text = fs.readFile(fileDir(entry) + "/" + kMetaFile);
    auto record = text ? fromJson(nlohmann::json::parse(*text, nullptr, false)) : std::nullopt;
    if (!record || record->id != entry) {
      Log::line("skipping unreadable file entry " + entry);
      continue;
    }
    files_[entry] = std::move(*record);
  }
  if (auto text = fs.readFile(dataDir_ + "/" + kRegistrationsFile)) {
    std::istringstream in(*text);
    std::string line;
    while (std::getline(in, line)) {
      auto j = nlohmann::json::parse(line, nullptr, false);
      if (!j.is_object() || !j.contains("id")) continue;  // a torn last line after a crash
      registrationIds_[registrationKey(j.value("owner", ""), j.value("hash", ""),
                                       j.value("sha1", ""), j.value("time", int64_t{0}),
                                       j.value("size", int64_t{0}))] = j.value("id", "");
      registrations_.push_back(std::move(j));
    }
  }
  Log::line("loaded " + std::to_string(files_.size()) + " files and " +
            std::to_string(registrations_.size()) + " registrations from " + dataDir_);
  return true;
}

std::optional<std::string> FileStore::create(FileRecord record,
                                             const std::map<std::string, std::string>& images) {
  auto& fs = FileSystem::Default();
  std::lock_guard lock(mutex_);
  std::string id;
  do {
    id = randomHex(8);
  } while (files_.count(id));
  std::string dir = fileDir(id);
  if (!fs.createDirectories(dir)) {
    Log::line("cannot create " + dir);
    return std::nullopt;
  }
  record.id = id;
  record.created = nowIso();
  for (const auto& [field, bytes] : images) {
    std::string name = field == "small_img" ? "small.jpg" : "middle.jpg";
    if (fs.writeAtomically(std::string(dir).append("/").append(name), bytes))
      record.images[field] = name;
  }
  if (!fs.writeAtomically(dir + "/" + kDataFile, "") ||
      !fs.writeAtomically(dir + "/" + kMetaFile, dumpJson(toJson(record), 1))) {
    Log::line("cannot write the metadata of " + id);
    return std::nullopt;
  }
  files_[id] = std::move(record);
  return id;
}

std::optional<FileRecord> FileStore::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(id);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

std::string FileStore::dataPath(const std::string& id) const {
  if (!find(id)) return "";
  return fileDir(id) + "/" + kDataFile;
}

std::optional<int64_t> FileStore::heldLength(const std::string& id) const {
  if (!find(id)) return std::nullopt;
  auto attrs = FileSystem::Default().attributes(fileDir(id) + "/" + kDataFile);
  return attrs ? attrs->size : 0;
}

std::optional<std::string> FileStore::sha1Of(const std::string& id) const {
  if (!find(id)) return std::nullopt;
  auto file = FileSystem::Default().openSequential(fileDir(id) + "/" + kDataFile);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr);
  if (file) {
    char buf[65536];
    int64_t n;
    while ((n = file->read(buf, sizeof buf)) > 0) {
      EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n));
    }
    if (n < 0) return std::nullopt;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &len);
  return hexOf(md, len);
}

std::unique_ptr<FileStore::Append> FileStore::beginAppend(const std::string& id, int64_t index,
                                                          AppendError* error, int64_t* held) {
  *held = 0;
  std::lock_guard lock(mutex_);
  auto it = files_.find(id);
  if (it == files_.end()) {
    *error = AppendError::kUnknownFile;
    return nullptr;
  }
  std::string path = fileDir(id) + "/" + kDataFile;
  auto attrs = FileSystem::Default().attributes(path);
  *held = attrs ? attrs->size : 0;
  if (appending_.count(id)) {
    *error = AppendError::kBusy;
    return nullptr;
  }
  if (index != *held) {
    *error = AppendError::kWrongIndex;
    return nullptr;
  }
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) {
    *error = AppendError::kIo;
    return nullptr;
  }
  appending_.insert(id);
  *error = AppendError::kNone;
  return std::unique_ptr<Append>(new Append(*this, id, f, *held, it->second.declaredLength));
}

void FileStore::endAppend(const std::string& id) {
  std::lock_guard lock(mutex_);
  appending_.erase(id);
}

std::string FileStore::registerEvidence(const std::string& owner, const std::string& hash,
                                        const std::string& sha1, int64_t time, int64_t size) {
  std::lock_guard lock(mutex_);
  std::string key = registrationKey(owner, hash, sha1, time, size);
  if (auto it = registrationIds_.find(key); it != registrationIds_.end()) return it->second;
  std::string id = randomHex(8);
  nlohmann::json j = {{"id", id},     {"owner", owner}, {"hash", hash},       {"sha1", sha1},
                      {"time", time}, {"size", size},   {"created", nowIso()}};
  std::string path = dataDir_ + "/" + kRegistrationsFile;
  std::FILE* f = std::fopen(path.c_str(), "ab");
  std::string line = dumpJson(j) + "\n";
  if (!f || std::fwrite(line.data(), 1, line.size(), f) != line.size() || std::fflush(f) != 0) {
    Log::line("cannot append to " + path);
  }
  if (f) std::fclose(f);
  registrationIds_[key] = id;
  registrations_.push_back(std::move(j));
  return id;
}

nlohmann::json FileStore::registrations() const {
  std::lock_guard lock(mutex_);
  return registrations_;
}

}  // namespace quillbox::devserver
