// FileStore: the evidence files and registrations the development server holds.
//
// Layout under the data folder:
//   files/<id>/meta.json   what the creation request declared (JSON, replaced atomically)
//   files/<id>/data        the bytes received so far, appended by uploads
//   files/<id>/small.jpg, middle.jpg   thumbnails sent with the creation, when any
//   registrations.jsonl    one JSON object a line per accepted registration
// Everything is read back by load(), so the store survives a restart. Ids are
// generated here (16 hex digits) and checked with isValidId() before they are
// joined into a path. Safe for concurrent use from any thread; at most one
// upload appends to a file at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

namespace quillbox::devserver {

struct FileRecord {
  std::string id;
  std::string owner;  // user name of the token that created it
  std::string name;
  std::string type;
  int64_t declaredLength = 0;
  std::string hash;
  nlohmann::json fields = nlohmann::json::object();  // every other form field (images left out)
  nlohmann::json images = nlohmann::json::object();  // form field -> stored file name
  std::string created;                               // ISO 8601, UTC
};

class FileStore {
 public:
  static constexpr const char* kFilesDir = "files";
  static constexpr const char* kMetaFile = "meta.json";
  static constexpr const char* kDataFile = "data";
  static constexpr const char* kRegistrationsFile = "registrations.jsonl";

  enum class AppendError { kNone, kUnknownFile, kWrongIndex, kBusy, kIo };

  // An open upload: appends at the end of the file's data. Closing it (destroying
  // it) keeps whatever was written and lets the next upload of the file begin.
  class Append {
   public:
    ~Append();
    Append(const Append&) = delete;
    Append& operator=(const Append&) = delete;
    // Appends up to the declared length; bytes past it are dropped and counted
    // in overflow(). false on a write error.
    bool write(const char* data, size_t n);
    int64_t length() const { return length_; }
    int64_t overflow() const { return overflow_; }

   private:
    friend class FileStore;
    Append(FileStore& store, std::string id, std::FILE* file, int64_t length, int64_t limit)
        : store_(store), id_(std::move(id)), file_(file), length_(length), limit_(limit) {}
    FileStore& store_;
    std::string id_;
    std::FILE* file_;
    int64_t length_;
    int64_t limit_;
    int64_t overflow_ = 0;
  };

  // REQUIRES: `dataDir` exists.
  explicit FileStore(std::string dataDir);
  FileStore(const FileStore&) = delete;
  FileStore& operator=(const FileStore&) = delete;

  // Reads the files and registrations kept in the data folder. Unreadable
  // entries are logged and skipped. false (with `error`) when the folders can't be made.
  bool load(std::string* error);

  // True for ids this store could have made (hex digits only, 1 to 64 of them).
  static bool isValidId(const std::string& id);

  // Creates a file from `record` (its id and created time are filled in) and
  // stores the decoded `images` (form field -> bytes) beside it. The new id, or
  // nullopt when the folder or the metadata can't be written.
  std::optional<std::string> create(FileRecord record,
                                    const std::map<std::string, std::string>& images);
  std::optional<FileRecord> find(const std::string& id) const;
  // Bytes of the file held; nullopt for an unknown id.
  std::optional<int64_t> heldLength(const std::string& id) const;
  // Lower-case hex SHA-1 of the bytes held; nullopt for an unknown id.
  std::optional<std::string> sha1Of(const std::string& id) const;
  // Path of the file's data (for the admin view); "" for an unknown id.
  std::string dataPath(const std::string& id) const;

  // Starts an upload at byte `index`, which must equal the bytes held (given in
  // `held`). nullptr with `error` set when the id is unknown, the index is
  // wrong, another upload of the file runs, or the data can't be opened.
  std::unique_ptr<Append> beginAppend(const std::string& id, int64_t index, AppendError* error,
                                      int64_t* held);

  // Keeps a registration and gives its id. The same owner registering the same
  // four values again gets the same id back (clients retry until confirmed).
  std::string registerEvidence(const std::string& owner, const std::string& hash,
                               const std::string& sha1, int64_t time, int64_t size);
  nlohmann::json registrations() const;

 private:
  std::string fileDir(const std::string& id) const;
  void endAppend(const std::string& id);

  std::string dataDir_;
  mutable std::mutex mutex_;
  std::map<std::string, FileRecord> files_;
  std::set<std::string> appending_;
  std::map<std::string, std::string> registrationIds_;  // key of the four values -> id
  nlohmann::json registrations_ = nlohmann::json::array();
};

}  // namespace quillbox::devserver
