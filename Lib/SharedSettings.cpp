#include "SharedSettings.h"

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Log.h"

namespace quillbox {

using platform::Log;
using platform::PropertyList;

PlistDict SharedSettings::captureSettings() {
  if (AppURL::sharedAppURL().appURL().empty()) return PlistDict();
  return PropertyList::readDictionary(getAppLibFilePath(kCaptureSettingsFile));
}

int SharedSettings::countdownSeconds(const PlistDict& settings) {
  const PlistValue* v = settings.find("screenshotsecond");
  if (!v) return 5;
  int64_t n = v->integerValue();
  if (n < 1) return 5;
  // A countdown of days is a typo in the settings, not a wish; keep the wait bounded.
  if (n > 3600) return 3600;
  return static_cast<int>(n);
}

bool SharedSettings::isSilent(const PlistDict& settings) {
  return settings.getBool("screenshotsound");
}

PlistDict SharedSettings::userInfo() {
  if (AppURL::sharedAppURL().appURL().empty()) return PlistDict();
  return PropertyList::readDictionary(getAppLibFilePath(kUserInfoFile));
}

std::optional<std::string> SharedSettings::currentUserName() {
  PlistDict info = userInfo();
  const PlistValue* v = info.find("userName");
  if (!v || !v->asString()) return std::nullopt;
  const std::string& name = *v->asString();
  if (!platform::isSafePathComponent(name)) {
    Log::printf("日志:用户名不可用作目录名, 按未登录处理: \"%s\"", name.c_str());
    return std::nullopt;
  }
  return name;
}

std::optional<SharedSettings::UserProblem> SharedSettings::userProblem() {
  if (AppURL::sharedAppURL().appURL().empty())
    return UserProblem{"没有找到Sorelle客户端", "没有找到客户端容器"};
  const std::string path = getAppLibFilePath(kUserInfoFile);
  if (!platform::FileSystem::Default().exists(path))
    return UserProblem{"没有登录的用户", "没有用户信息 " + path};
  auto value = PropertyList::read(path);
  if (!value || !value->asDict())
    return UserProblem{"用户信息无法读取", "用户信息无法读取 " + path};
  const PlistValue* name = value->asDict()->find("userName");
  if (!name || !name->asString() || name->asString()->empty())
    return UserProblem{"没有登录的用户", "用户信息中没有 userName: " + path};
  if (!platform::isSafePathComponent(*name->asString()))
    return UserProblem{"用户名不可用", "用户名不可用作目录名: \"" + *name->asString() + "\""};
  return std::nullopt;
}

std::string SharedSettings::loginName() {
  return userInfo().getString("usernamelogin");
}

int64_t SharedSettings::userLevel() {
  return userInfo().getInteger("userlevel");
}

}  // namespace quillbox
