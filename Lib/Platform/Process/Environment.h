// Environment: the settings that the phone fixed by its file system.
//
// Each setting is an environment variable with a default that keeps the
// original location. A program may override a setting (vigild's --flags) with
// set() before it starts its work. Safe for concurrent use from any thread.
#pragma once

#include <string>

namespace quillbox::platform {

class Environment {
 public:
  // The override set with set(), else the environment variable, else "".
  static std::string get(const std::string& name);
  static void set(const std::string& name, const std::string& value);

  static std::string appsRoot();    // QUILLBOX_APPS_ROOT, default "/User/Applications"
  static std::string home();        // QUILLBOX_HOME, default $HOME
  static std::string mainBundle();  // QUILLBOX_MAIN_BUNDLE, default share/quillbox/<program>.bundle
  static std::string weeAppBundle();  // QUILLBOX_WEEAPP_BUNDLE, default share/quillbox/...
  static std::string notifyDir();     // QUILLBOX_NOTIFY_DIR
  static std::string
  screen();                 // QUILLBOX_SCREEN: "auto" (default), "x11", "wayland", "portal", ...
  static std::string ui();  // QUILLBOX_UI: "desktop", "journal:PATH", "journal:-"; "" unset
  static std::string prompt();     // QUILLBOX_PROMPT: "confirm", "decline" or "none"
  static std::string keychain();   // QUILLBOX_KEYCHAIN
  static std::string caFile();     // QUILLBOX_CA_FILE, default none
  static std::string updateUrl();  // QUILLBOX_UPDATE_URL
  static std::string sound();      // QUILLBOX_SOUND
  // QUILLBOX_SYSTEM_VERSION, else the running kernel's release cut to its
  // leading dotted number ("6.1.0" of "6.1.0-18-amd64"), the shape of a phone's
  // system version; the whole release when it starts with no digit.
  static std::string systemVersion();
  static std::string tsaUrl();        // QUILLBOX_TSA_URL, default none (no time stamps)
  static std::string tsaCaFile();     // QUILLBOX_TSA_CA_FILE, default none (the system's roots)
  static std::string c2pa();          // QUILLBOX_C2PA: "0" turns content credentials off
  static std::string c2paCertFile();  // QUILLBOX_C2PA_CERT, default none (the install's own)
  static std::string c2paKeyFile();   // QUILLBOX_C2PA_KEY, default none

  // Folder of the running executable (resolved from /proc/self/exe).
  static std::string executableDir();
  static std::string programName();
};

}  // namespace quillbox::platform
