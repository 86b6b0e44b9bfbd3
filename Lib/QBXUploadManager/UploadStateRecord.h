// UploadStateRecord: the upload-state record, one file's upload summary on disk.
//
// Every upload task keeps its file's summary in the upload-state plist
// "com.velmor.upinfo.plist" of the container's Library, under the current
// user name, one record per file (matched by the Documents-relative path),
// in the order of their last write. The summary survives the process: a file
// offered again takes its service id and last progress from here, and the
// manager refuses a file whose record says it is being started. The client
// application reads the same file.
//
// Stateless; safe for concurrent use from any thread. Read-compute-write of
// the plist holds its store lock (in-process mutex + flock on a side file).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Base/File.h"
#include "PropertyList/PlistValue.h"

namespace quillbox {

class UploadStateRecord {
 public:
  static constexpr const char* kTempMediaFormat = "%s/%s/TempMedia";

  // Upserts the summary of `file` {"name","size","date","type","state",
  // "fsha1","fHash","fileID","value","path","bCheck"} under the current user
  // (a previous record of the same Documents-relative path is replaced; the new
  // one goes to the end; the file is replaced atomically). A kind-0 record
  // below the user's TempMedia folder (or without a path) becomes kind 11, in
  // `file` too. Without an upload size yet, the stored "value" is kept and
  // becomes `file`'s progress text. Nothing is written (log line) without a
  // container or a usable user name.
  // REQUIRES: the caller keeps others from changing `file` meanwhile.
  static void write(File& file, bool bCheck);

  // The records of the current user, in the file's order; none without a
  // container, a usable user name or a readable file.
  static std::vector<PlistDict> currentUserRecords();

  // home + "/Documents/" + user + "/TempMedia"; created (mkdir -p) when missing
  // and `creat`; nullopt without a user or when it had to be made and couldn't.
  static std::optional<std::string> userTempMediaPath(bool creat);
};

}  // namespace quillbox
