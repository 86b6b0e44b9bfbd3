#include "AppURL.h"

#include <cstdlib>

#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"

namespace quillbox {

using platform::Environment;
using platform::FileSystem;
using platform::PropertyList;

namespace {
const char kClientBundle[] = "quillbox.app";
const char kUploadGateVersion[] = "1.3.07009";
}  // namespace

AppURL& AppURL::sharedAppURL() {
  static AppURL* instance = new AppURL();  // never destroyed: threads may outlive main
  return *instance;
}

std::string AppURL::appURL() const {
  std::lock_guard<std::mutex> lock(mu_);
  return appURL_;
}

void AppURL::setAppURL(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  appURL_ = path;
}

bool setQuillboxAppPath(const std::string& dir) {
  auto names = FileSystem::Default().list(dir);
  if (!names) return false;
  for (const auto& name : *names) {
    if (name == kClientBundle) {
      AppURL::sharedAppURL().setAppURL(dir);
      return true;
    }
  }
  return false;
}

bool locateQuillboxApp() {
  std::string known = AppURL::sharedAppURL().appURL();
  if (!known.empty() && setQuillboxAppPath(known)) return true;
  const std::string root = Environment::appsRoot();
  auto entries = FileSystem::Default().list(root);
  if (!entries) return false;
  for (const auto& entry : *entries) {
    if (setQuillboxAppPath(std::string(root).append("/").append(entry))) return true;
  }
  return false;
}

std::string getAppLibFilePath(const std::string& name) {
  return AppURL::sharedAppURL().appURL() + "/Library/" + name;
}

std::string getAppDocFilePath(const std::string& name) {
  if (name.empty()) return AppURL::sharedAppURL().appURL() + "/Documents";
  return AppURL::sharedAppURL().appURL() + "/Documents/" + name;
}

int32_t formatVersion(const std::string& version, int32_t full) {
  std::string digits;
  for (char c : version)
    if (c != '.') digits += c;
  while (static_cast<int64_t>(digits.size()) < full) digits += '0';
  const char* p = digits.c_str();
  char* end = nullptr;
  long long v = std::strtoll(p, &end, 10);
  if (end == p) v = 0;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

std::string clientBundleVersion() {
  std::string root = AppURL::sharedAppURL().appURL();
  if (root.empty()) return {};
  auto info = PropertyList::readDictionary(root + "/" + kClientBundle + "/Info.plist");
  return info.getString("CFBundleVersion");
}

bool isUploadAllowed() {
  float a = static_cast<float>(formatVersion(clientBundleVersion(), 7));
  float b = static_cast<float>(formatVersion(kUploadGateVersion, 7));
  return a > b;
}

std::string mainBundleVersion() {
  auto info = PropertyList::readDictionary(Environment::mainBundle() + "/Info.plist");
  return info.getString("CFBundleVersion");
}

std::string programVersion() {
  auto info = PropertyList::readDictionary(Environment::mainBundle() + "/Info.plist");
  std::string version = info.getString("CFBundleVersion");
  return version.empty() ? info.getString("CFBundleShortVersionString") : version;
}

}  // namespace quillbox
