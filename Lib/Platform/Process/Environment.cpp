#include "Platform/Process/Environment.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace quillbox::platform {
namespace {
std::mutex& mu() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string>& overrides() {
  static std::map<std::string, std::string> o;
  return o;
}
std::string orDefault(const char* name, const std::string& fallback) {
  std::string v = Environment::get(name);
  return v.empty() ? fallback : v;
}
}  // namespace

std::string Environment::get(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mu());
    auto it = overrides().find(name);
    if (it != overrides().end()) return it->second;
  }
  const char* v = std::getenv(name.c_str());
  return v ? std::string(v) : std::string();
}

void Environment::set(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu());
  overrides()[name] = value;
}

std::string Environment::executableDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
}

std::string Environment::programName() {
  return program_invocation_short_name;
}

std::string Environment::appsRoot() {
  return orDefault("QUILLBOX_APPS_ROOT", "/User/Applications");
}

std::string Environment::home() {
  std::string h = get("QUILLBOX_HOME");
  if (!h.empty()) return h;
  h = get("HOME");
  return h.empty() ? std::string("/") : h;
}

std::string Environment::mainBundle() {
  return orDefault("QUILLBOX_MAIN_BUNDLE",
                   executableDir() + "/../share/quillbox/" + programName() + ".bundle");
}

std::string Environment::weeAppBundle() {
  return orDefault("QUILLBOX_WEEAPP_BUNDLE",
                   executableDir() + "/../share/quillbox/quillboxWeeApp.bundle");
}

std::string Environment::notifyDir() {
  std::string d = get("QUILLBOX_NOTIFY_DIR");
  if (!d.empty()) return d;
  std::string runtime = get("XDG_RUNTIME_DIR");
  if (!runtime.empty()) return runtime + "/quillbox-notify";
  return "/tmp/quillbox-notify-" + std::to_string(::getuid());
}

std::string Environment::screen() {
  return orDefault("QUILLBOX_SCREEN", "auto");
}

std::string Environment::ui() {
  return get("QUILLBOX_UI");
}
std::string Environment::prompt() {
  return orDefault("QUILLBOX_PROMPT", "none");
}

std::string Environment::keychain() {
  return orDefault("QUILLBOX_KEYCHAIN", home() + "/.local/share/quillbox/keychain.plist");
}

std::string Environment::caFile() {
  return get("QUILLBOX_CA_FILE");
}

std::string Environment::tsaUrl() {
  return get("QUILLBOX_TSA_URL");
}
std::string Environment::tsaCaFile() {
  return get("QUILLBOX_TSA_CA_FILE");
}
std::string Environment::c2pa() {
  return get("QUILLBOX_C2PA");
}
std::string Environment::c2paCertFile() {
  return get("QUILLBOX_C2PA_CERT");
}
std::string Environment::c2paKeyFile() {
  return get("QUILLBOX_C2PA_KEY");
}

std::string Environment::updateUrl() {
  return orDefault("QUILLBOX_UPDATE_URL", "http://127.0.0.1:8443/pages/check/updateini.aspx");
}

std::string Environment::systemVersion() {
  std::string v = get("QUILLBOX_SYSTEM_VERSION");
  if (!v.empty()) return v;
  struct utsname u {};
  if (::uname(&u) != 0) return {};
  const std::string release = u.release;
  auto digit = [&](size_t i) {
    return i < release.size() && release[i] >= '0' && release[i] <= '9';
  };
  size_t end = 0;
  while (digit(end) || (end > 0 && release[end] == '.' && digit(end + 1))) ++end;
  return end == 0 ? release : release.substr(0, end);
}

std::string Environment::sound() {
  std::string s = get("QUILLBOX_SOUND");
  if (!s.empty()) return s;
  std::string system = "/System/Library/Audio/UISounds/photoShutter.caf";
  struct stat st {};
  if (::stat(system.c_str(), &st) == 0) return system;
  return executableDir() + "/../share/quillbox/sounds/photoShutter.wav";
}

}  // namespace quillbox::platform
