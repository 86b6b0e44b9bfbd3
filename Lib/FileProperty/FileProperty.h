// FileProperty: the per-user property store of evidence files and its tamper check.
//
// Every evidence file gets a property record when it is saved (kind, creation
// time, size, content SHA-1 "hash" and the keyed digest "sha1" that binds the
// hash, the time and the size to the client secret). The records live in
// "com.velmor.files.property.plist" in the container's Library folder: a
// dictionary with "root" (an empty array) and one array of records per user
// name. Before an upload the file is checked against the records (the tamper
// check). A new record is registered with the service on a thread of its own.
//
// Records are found by the part of their path below "Documents", so they
// survive a move of the container directory:
//   - Documents-relative key: the text after the first "Documents", when at
//     least one character follows; otherwise the whole path (a stored path
//     keeps its whole text, a query path without it matches nothing).
//   - Documents tail: the text from the first "/Documents/" on; none without it.
//
// Every operation re-reads the store and writes it back whole and atomically;
// nothing is cached. Each read-change-write holds platform::StoreLock on the
// file (the process-wide propertyInfoFileWriteLock plus flock on "<file>.lock"),
// so concurrent writers in this or other processes never lose a change.
// Without a located container or a usable current user name every operation
// logs why and does nothing (false / nullopt).
//
// Thread safety: all operations may be called from any thread at the same time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "Base/File.h"
#include "PropertyList/PlistValue.h"
#include "Request/RequestResult.h"

namespace quillbox {

class FileProperty {
 public:
  static constexpr const char* kStoreFile = "com.velmor.files.property.plist";
  // The widget's journal of created records (same layout as the store).
  static constexpr const char* kCreatedJournalFile = "com.velmor.files.created.plist";
  // The service's client secret, the key of the keyed digest.
  static constexpr const char* kClientSecret = "5d0c1a9e7b3f4c82a6e1d9047bc3f215";

  FileProperty(const FileProperty&) = delete;
  FileProperty& operator=(const FileProperty&) = delete;

  // The process-wide instance, created on first use; never destroyed.
  static FileProperty& sharedFileProperty();

  // The widget's build switches this on: record creation also upserts into
  // kCreatedJournalFile, and the field update logs its "logo:" lines.
  static void setWidgetMode(bool on);
  static bool widgetMode();

  // toSaveFileProperty(file.fPath(), file.ftype()); false when fPath is absent.
  bool createFileProperty(const File& file);

  // Creates the record of a file just written and starts its registration on a
  // detached thread, without waiting for it. Steps: a first record with empty
  // digests and state 0 (visible at once), then the content SHA-1 and keyed
  // digest, upserted again; in widget mode the record also goes to the journal.
  // A missing file, no current user, a file that can't be hashed (its first
  // record is kept, with empty digests) or a store that can't be written
  // leaves it unregistered, with a log line. True when the completed record
  // is in the store.
  bool toSaveFileProperty(const std::string& path, int32_t type);

  // As toSaveFileProperty(); the future becomes true when the service has
  // confirmed the registration, and false at once when no registration was
  // started (see above). It never becomes ready while registration retries.
  std::shared_future<bool> toSaveFilePropertyAndRegister(const std::string& path, int32_t type);

  // The record-making part of toSaveFileProperty() alone: gives the completed
  // record (with "hash" and "sha1"), or nullopt when none was made or it
  // couldn't be completed or stored. Registers nothing (bulk imports, tools).
  std::optional<PlistDict> toSaveFilePropertyWithoutRegistration(const std::string& path,
                                                                 int32_t type);

  // Starts toSendFileProperty(record) on a detached thread. The future becomes
  // true on confirmation, false if the thread couldn't be started.
  std::shared_future<bool> startRegistration(const PlistDict& record);

  // Upsert into the plist `fileName` of the Library folder (a bare file name):
  // the first record of `user` whose Documents-relative key of "path" equals
  // that of dic's "path" is removed, `dic` is appended, and the file is written
  // atomically. A missing store starts as {"root": []}; a store that exists
  // but can't be read is kept aside as "<file>.unreadable" before a new one is
  // started. Gives true when the file was written.
  // REQUIRES: `user` is a usable path component (not empty, ".", "..", no "/").
  bool writeDicTOFile(const std::string& fileName, const PlistDict& dic, const std::string& user);

  // Sets `key` to `value` in every record of the current user whose "path"
  // contains the Documents tail of `path`. False for an empty path, a path
  // without "/Documents/", an absent (None) value, no user array, or a failed
  // write; true when the store was written (also when nothing matched).
  bool updateFilePropertyWithPath(const std::string& path, const std::string& key,
                                  const PlistValue& value);

  // Sets "state" in every record of the current user whose Documents-relative
  // key equals the key built from the file name `name` by its (lower-cased)
  // ending: "mov"/"jpg" -> /cameras/USER/NAME, "wav"/"m4a" -> /USER/Audio/NAME,
  // "png" -> /ScreenShot/USER/NAME; any other name matches nothing but the
  // store is still rewritten. False for an empty name, an absent state, no user
  // array, or a failed write.
  bool updateFileProperty(const std::string& name, const PlistValue& state);
  bool updateFileProperty(const std::string& name, int32_t state);

  // The first record of the current user whose Documents-relative key equals
  // that of `path`; nullopt when none, or when `path` has no text after "Documents".
  std::optional<PlistDict> getFilePropertyWithPath(const std::string& path);

  // The value under `key` of the first record of the current user whose "path"
  // contains the Documents tail of `path` (the whole record when `key` is
  // empty); nullopt without a tail, a match or the key.
  std::optional<PlistValue> getFilePropertyWithPath(const std::string& path,
                                                    const std::string& key);

  // The tamper check. Gives the verified property {"md5": content SHA-1,
  // "size", "path", "time", "sha1": keyed digest} when some record of the
  // current user has the file's size, its content SHA-1 and a keyed digest
  // that verifies (a byte-identical copy passes through the original's
  // record); nullopt otherwise. The file is hashed in 4096-byte chunks;
  // `statuCancel` (may be null, owned by the caller, only read) set while it
  // runs gives nullopt within one chunk and leaves the store untouched. A
  // record of this very path with an empty "hash" or "sha1" is filled in.
  std::optional<PlistDict> toCheckFilePropertyWithLocal(const std::string& path,
                                                        const std::atomic<bool>* statuCancel);
  std::optional<PlistDict> toCheckFilePropertyWithLocal(const std::string& path);

  // Registers `record` with the service (POST file/safe.json of its "hash",
  // "sha1", "time" and "size") and returns once the service confirmed it with a
  // JSON reply holding a non-empty "id". Without a route it logs "重试创建属性:%@"
  // and tries again every 2 seconds; after a refused or failed request it waits
  // 2 seconds, runs the automatic login and tries again. While the service's
  // address can't be read (the local plist missing, unreadable or without a
  // usable "url") no try is made: the person is told once (a log line and a
  // toast, again only after the address was usable in between) and the
  // address is read again after 2 seconds, then after twice the previous
  // wait, up to 5 minutes. Blocks; record creation runs it on a detached thread.
  void toSendFileProperty(const PlistDict& record);

  // SHA-1 of hash + time + size + client secret ("%@%lld%lld%@").
  static std::string keyedDigest(const std::string& hash, int64_t time, int64_t size);
  // The two path reductions (see the top of this file).
  static std::string documentsRelativeKey(const std::string& path);
  static std::optional<std::string> documentsTail(const std::string& path);

  // The name of the registration threads (Threads::startThread); its waits
  // between tries go through Clock::sleepFor.
  static constexpr const char* kRegistrationThread = "registration";
  // The waits while the service's address can't be read.
  static constexpr std::chrono::seconds kFirstAddressWait{2};
  static constexpr std::chrono::seconds kLongestAddressWait{300};
  // What registration needs of the service; tests replace parts of it. An
  // empty member keeps the default (ServiceReachability::serviceAddressProblem;
  // ServiceReachability::isServiceReachable; Z_Request::postWithString
  // without URL encoding; AutoLogin::toAutoLoginAndWait).
  struct RegistrationEnvironment {
    std::function<std::optional<std::string>()> addressProblem;
    std::function<bool()> isReachable;
    std::function<RequestResult(const std::string& body, const std::string& resource)> post;
    std::function<bool()> autoLogin;
  };
  // REQUIRES: no registration is running (tests set it up front).
  static void setRegistrationEnvironmentForTesting(RegistrationEnvironment env);

 private:
  FileProperty() = default;
};

}  // namespace quillbox
