// AppURL: where the client application's container directory is.
//
// The container is the folder directly under the applications root that holds
// an entry named exactly "quillbox.app". It is found by scanning, remembered
// for the life of the process and verified again before each capture. Every
// path inside the container is built from it. Safe for concurrent use: the
// locator may set the path on one thread while others read it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace quillbox {

class AppURL {
 public:
  static AppURL& sharedAppURL();
  // The container directory; "" until the locator has succeeded once.
  std::string appURL() const;
  void setAppURL(const std::string& path);

 private:
  AppURL() = default;
  mutable std::mutex mu_;
  std::string appURL_;
};

// True when `dir` holds an entry named exactly "quillbox.app" (first match in
// listing order); then `dir` becomes the container directory.
bool setQuillboxAppPath(const std::string& dir);

// The known container if it still holds the client application, else the first
// folder of the applications root that does. False when none does.
bool locateQuillboxApp();

// root + "/Library/" + name.
std::string getAppLibFilePath(const std::string& name);
// root + "/Documents/" + name, or root + "/Documents" for an empty name.
std::string getAppDocFilePath(const std::string& name);

// A dotted version as a number of `full` digits: dots removed, padded with "0"
// on the right to `full` characters (a longer text is used whole), its leading
// integer read as 64 bits and cut to its low 32 bits.
int32_t formatVersion(const std::string& version, int32_t full);

// "CFBundleVersion" of the client application's bundle ("" when missing).
std::string clientBundleVersion();
// The upload gate: the client's version is strictly above "1.3.07009" (7 digits).
bool isUploadAllowed();

// "CFBundleVersion" of the running program's own bundle ("" when missing).
std::string mainBundleVersion();
// The version --version prints: the own bundle's "CFBundleVersion", else its
// "CFBundleShortVersionString" ("" when it has neither).
std::string programVersion();

}  // namespace quillbox
