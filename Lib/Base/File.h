// File: the upload file record, one local evidence file on its way to the service.
//
// A plain record: every field has a getter and a setter of the same name
// (`fPath()` / `setFPath()`), with no behaviour beyond them. A new record has
// every text and number field absent (nullopt) and every integer 0. Records are
// shared as std::shared_ptr<File> between the caller, the upload task and the
// manager's lists. Not synchronised: holders take turns (see the upload task).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillbox {

// Kind codes ("ftype", "type" in the stored records; `folderEnum` where passed in).
struct FileKind {
  enum : int32_t {
    NotSet = 0,          // the upload-state writer turns it into TempMedia below TempMedia/
    Audio = 2,           // fTimeLen is the playing time
    TimedRecording = 6,  // fStartTime/fEndTime/fTimeLen from the file's dates
    Screenshot = 8,      // the only kind this system creates
    Picture = 9,         // fPhotoTime is the recorded creation time
    TempMedia = 11,
  };
};

// File state codes ("fileState", "state" in the stored records).
struct FileState {
  enum : int32_t {
    New = 0,        // nothing done yet
    Uploading = 1,  // the upload connection exists and data is being sent
    Finished = 2,   // the upload connection completed
    Stopped = 3,    // stopped or failed
    Started = 5,    // the task has begun preparing the upload
    Waiting = 6,    // queued, or prepared and waiting for its turn
  };
};

// A kind code as sent on the wire: two decimal digits ("%02d"; 8 gives "08").
std::string formatKindCode(int code);

class File {
 public:
  using Text = std::optional<std::string>;

#define QB_FILE_FIELD(Type, getter, setter) \
 public:                                    \
  const Type& getter() const {              \
    return getter##_;                       \
  }                                         \
  void setter(Type v) {                     \
    getter##_ = std::move(v);               \
  }                                         \
                                            \
 private:                                   \
  Type getter##_{};

  QB_FILE_FIELD(Text, name, setName)                        // text after the last "/" of fPath
  QB_FILE_FIELD(Text, folderId, setFolderId)                // server folder id ("&folderId=")
  QB_FILE_FIELD(int32_t, ftype, setFtype)                   // FileKind code
  QB_FILE_FIELD(Text, fLen, setFLen)                        // size in bytes, "%lld"
  QB_FILE_FIELD(Text, fPath, setFPath)                      // absolute path of the local file
  QB_FILE_FIELD(Text, fServerPath, setFServerPath)          // receiving server folder id (legacy)
  QB_FILE_FIELD(Text, fServerPathName, setFServerPathName)  // e.g. "手机截屏"
  QB_FILE_FIELD(Text, fState, setFState)                    // status text of the legacy uploader
  QB_FILE_FIELD(Text, fComment, setFComment)                // "&comment="
  QB_FILE_FIELD(Text, fGps, setFGps)                        // "&gps="
  QB_FILE_FIELD(Text, fSHA1, setFSHA1)                      // keyed digest of the property record
  QB_FILE_FIELD(Text, fHash, setFHash)                      // content SHA-1
  QB_FILE_FIELD(Text, fileID, setFileID)                    // the service's file id
  QB_FILE_FIELD(Text, fProgress, setFProgress)              // "%f", 0.000000 .. 1.000000
  QB_FILE_FIELD(std::optional<int64_t>, fTime, setFTime)    // recorded creation time, ms since 1970
  QB_FILE_FIELD(Text, fTimeLen, setFTimeLen)                // duration in ms ("&time_length=")
  QB_FILE_FIELD(Text, fStartTime, setFStartTime)            // ms since 1970 ("&start_time=")
  QB_FILE_FIELD(Text, fEndTime, setFEndTime)                // ms since 1970 ("&end_time=")
  QB_FILE_FIELD(std::optional<int64_t>, uploadedSize, setUploadedSize)  // bytes the service holds
  QB_FILE_FIELD(int32_t, fileState, setFileState)                       // FileState code
  QB_FILE_FIELD(Text, fPhotoTime, setFPhotoTime)  // capture time, ms since 1970 ("&photo_time=")
  QB_FILE_FIELD(Text, fLabels, setFLabels)        // "&labels="

#undef QB_FILE_FIELD
};

using FilePtr = std::shared_ptr<File>;

}  // namespace quillbox
