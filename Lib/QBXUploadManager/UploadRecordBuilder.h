// UploadRecordBuilder: turns a stored evidence file into its upload record.
//
// The record (File) is filled from the property store: the recorded size, time
// and keyed digest, the content SHA-1, the service's file id when the file was
// created there before (property record, else upload-state record), and the
// kind-specific time fields. A file that fails the tamper check never gets a
// record, so a file changed after capture never reaches an upload task.
//
// Stateless; safe for concurrent use from any thread (the store operations it
// uses take the store lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "Base/File.h"
#include "PropertyList/PlistValue.h"

namespace quillbox {

class UploadRecordBuilder {
 public:
  // A new record of the file at `path` with kind `folderEnum`, or nullptr when
  // the tamper check refuses it (missing, changed, no record of the current
  // user, or cancelled through `statuCancel`, which may be null). The content
  // SHA-1 is written into the property store ("hash"). Kind 2 reads the audio
  // playing time ("0" for anything that isn't audio), kind 6 the file's dates,
  // kind 9 the recorded time.
  static FilePtr build(const std::string& path, int32_t folderEnum,
                       const std::atomic<bool>* statuCancel);

  // The shorter rule of a queued path: a record from the file's property
  // record as it stands ("sha1", "hash", "time", "size"), without tamper check
  // or digest, plus fillFromStores(); nullptr without a property record.
  static FilePtr fromPropertyRecord(const std::string& path, int32_t kind);

  // The fields a record takes from the stores and the file beside the property
  // record: fileID (property store, else upload-state record) and the fields of
  // `kind` (see build(); `photoTime` is the recorded time for kind 9).
  static void fillFromStores(File& file, const std::string& path, int32_t kind,
                             const std::optional<PlistValue>& photoTime);
};

}  // namespace quillbox
