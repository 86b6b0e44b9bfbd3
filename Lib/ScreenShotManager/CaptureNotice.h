// CaptureNotice: what the person is told when a capture, or the upload of one,
// cannot go ahead.
//
// Each case gives one log line with the detail (paths, the service's address,
// its reason) and one toast naming the cause and what to do. Nothing here
// changes a file: the caller has already kept what it could (a refused upload
// leaves the screenshot and its record in place). Toasts go through
// UserInterface::Default(); safe from any thread.
#pragma once

#include <string>

namespace quillbox {

class CaptureNotice {
 public:
  // No folder of the applications root holds the client application.
  static void noClientApplication();
  // The capture settings exist but can't be read; the capture went ahead on
  // the defaults.
  static void unreadableSettings(const std::string& path);
  // The screenshot could not be written into `folder`; nothing was stored.
  static void screenshotNotWritable(const std::string& folder, const std::string& fullPath);
  // The screenshot at fullPath was stored but has no property record (no
  // usable user, or the store could not be written): without one it can't
  // be uploaded, so no prompt offers it; this says why.
  static void notRecorded(const std::string& fullPath);
  // The service did not take the screenshot's upload: `status` 0 when it could
  // not be reached, else the HTTP status of its refusal, with its `reason`.
  static void uploadNotStarted(const std::string& fullPath, int status, const std::string& reason);

  // From the first call on, every preparation of an upload that fails ends in
  // uploadNotStarted (the upload manager only tells its observers). Main thread.
  static void watchUploads();

  // The capture settings when they exist but can't be read ("" otherwise).
  static std::string unreadableSettingsPath();
};

}  // namespace quillbox
