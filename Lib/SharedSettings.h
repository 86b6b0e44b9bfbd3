// SharedSettings: the client application's capture-settings and user-info plists.
//
// Both files are written by the client application and read afresh on every
// call from the container's Library folder. Safe for use from any thread.
#pragma once

#include <optional>
#include <string>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class SharedSettings {
 public:
  static constexpr const char* kCaptureSettingsFile = "com.velmor.info.plist";
  static constexpr const char* kUserInfoFile = "com.velmor.userinfo.plist";
  // Folder used for screenshots taken while no usable user name is recorded.
  static constexpr const char* kNoUserFolder = "_nouser";

  // The capture-settings plist (empty when the container is unknown or the file unreadable).
  static PlistDict captureSettings();
  // The countdown: "screenshotsecond" read as an integer; missing or below 1 gives 5.
  static int countdownSeconds(const PlistDict& settings);
  // "screenshotsound" read as a boolean: true means capture silently.
  static bool isSilent(const PlistDict& settings);

  // The user-info plist.
  static PlistDict userInfo();
  // "userName" when it is usable as a folder name; nullopt when missing or
  // unsafe (empty, ".", "..", holding "/" or NUL), with a log line for unsafe names.
  static std::optional<std::string> currentUserName();
  // Why currentUserName() gives none, for the person (in their words; the
  // file's path is in the log line): "" when it gives one.
  struct UserProblem {
    std::string toast;  // "没有用户信息", "用户信息无法读取", ...
    std::string log;    // the same with the file's path or the name
  };
  static std::optional<UserProblem> userProblem();
  // "usernamelogin" (may be empty).
  static std::string loginName();
  // "userlevel" read as an integer (missing reads 0).
  static int64_t userLevel();
};

}  // namespace quillbox
