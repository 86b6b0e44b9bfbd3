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

const std::vector<Environment::Setting>& Environment::settings() {
  constexpr unsigned kBoth = kDaemon | kWidgetHost;
  static const std::vector<Setting> table = {
      {"QUILLBOX_APPS_ROOT", "--apps-root", "folder scanned for the client application's container",
       "`/User/Applications`", kBoth},
      {"QUILLBOX_HOME", "--home", "the process's home folder (upload thumbnails, temporary media)",
       "`$HOME`", kBoth},
      {"QUILLBOX_MAIN_BUNDLE", "--main-bundle", "folder with the program's own `Info.plist`",
       "`share/quillbox/<program>.bundle` beside `bin/`", kDaemon},
      {"QUILLBOX_NOTIFY_DIR", "--notify-dir", "rendezvous folder of system-wide notifications",
       "`$XDG_RUNTIME_DIR/quillbox-notify`, else `/tmp/quillbox-notify-$UID`", kDaemon},
      {"QUILLBOX_SCREEN", "--screen",
       "`auto`, `x11`, `wayland` (the compositor's screen copy), `portal` (the desktop portal), "
       "or, for demonstrations and tests only, `file:PATH` (a PNG stands for the screen) and "
       "`synthetic` (see Screen)",
       "`auto`", kBoth},
      {"QUILLBOX_UI", "--ui",
       "`desktop` (notifications on the session D-Bus), `journal:PATH` or `journal:-` (stdout: "
       "one JSON line per toast, alert, answer, status message), or several joined by commas "
       "(`desktop,journal:PATH`)",
       "`desktop` when a session bus and a notification server answer, else `journal:-`", kBoth},
      {"QUILLBOX_PROMPT", "--prompt", "how prompts are answered: `confirm`, `decline`, `none`",
       "`none`", kBoth},
      {"QUILLBOX_KEYCHAIN", "--keychain",
       "keychain file (owner-only plist with the stored password)",
       "`$QUILLBOX_HOME/.local/share/quillbox/keychain.plist`", kBoth},
      {"QUILLBOX_CA_FILE", "--ca-file", "extra certificate authority to trust for the service",
       "none", kBoth},
      {"QUILLBOX_SOUND", "--sound", "shutter sound file",
       "`/System/Library/Audio/UISounds/photoShutter.caf`, else the bundled one", kBoth},
      {"QUILLBOX_SYSLOG", "", "also send log lines to syslog", "off", 0},
      {"QUILLBOX_WEEAPP_BUNDLE", "--bundle",
       "the widget bundle folder (its `Info.plist` gives the version the update check sends)",
       "`share/quillbox/quillboxWeeApp.bundle` beside `bin/`", kWidgetHost},
      {"QUILLBOX_UPDATE_URL", "--update-url",
       "the update server's check URL, `http://` or `https://` (the reply is enciphered either "
       "way; a service with a certificate of its own needs `QUILLBOX_CA_FILE`)",
       "the client's service: scheme, host and port of the API base (`url` of "
       "`com.velmor.loacal.plist`) with `/pages/check/updateini.aspx`; without one, "
       "`https://127.0.0.1:8443/pages/check/updateini.aspx`",
       kWidgetHost},
      {"QUILLBOX_SYSTEM_VERSION", "--system-version",
       "the system version the update check reports (a major version of exactly 5 makes the "
       "widget take taps through tap recognisers)",
       "the kernel release's leading dotted number (`6.1.0` of `6.1.0-18-amd64`)", kWidgetHost},
      {"QUILLBOX_TSA_URL", "--tsa-url",
       "RFC 3161 time-stamp authority for evidence proofs (`https://`, or `http://` on loopback)",
       "none (no time stamps)", kBoth},
      {"QUILLBOX_TSA_CA_FILE", "--tsa-ca-file", "roots the time stamps must chain to",
       "the system's trust store", kBoth},
      {"QUILLBOX_C2PA", "--c2pa",
       "content credentials (a signed C2PA manifest) in every capture: `1` or `0`", "`1`", kBoth},
      {"QUILLBOX_C2PA_CERT", "--c2pa-cert",
       "certificate chain (PEM, signer first) that signs the content credentials, e.g. one from "
       "a real certificate authority",
       "the install's own, issued by its local root", kBoth},
      {"QUILLBOX_C2PA_KEY", "--c2pa-key", "the private key (PEM) of `QUILLBOX_C2PA_CERT`", "none",
       kBoth},
  };
  return table;
}

std::string Environment::helpText(const Setting& setting) {
  std::string text = std::string(setting.meaning) + " (default " + setting.byDefault + ") [" +
                     setting.variable + "]";
  std::string plain;
  for (char c : text)
    if (c != '`') plain += c;
  return plain;
}

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
  return get("QUILLBOX_UPDATE_URL");
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
