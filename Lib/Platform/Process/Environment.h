// Environment: the settings that the phone fixed by its file system.
//
// Each setting is an environment variable with a default that keeps the
// original location. A program may override a setting (vigild's --flags) with
// set() before it starts its work. Safe for concurrent use from any thread.
#pragma once

#include <string>
#include <vector>

namespace quillbox::platform {

class Environment {
 public:
  // The programs that take a setting as a --flag as well.
  enum Program : unsigned { kDaemon = 1u, kWidgetHost = 2u };
  // One setting: the one table that vigild --help, the widget host's flags
  // and the README's configuration table are made from (a test holds the
  // README to it). Texts may hold `code` marks (Markdown); --help drops them.
  struct Setting {
    const char* variable;   // "QUILLBOX_APPS_ROOT"
    const char* flag;       // "--apps-root"
    const char* meaning;    // what it names
    const char* byDefault;  // what applies when it is unset
    unsigned programs;      // Program bits: which programs take the flag
  };
  // Every setting, in the order the README lists them.
  static const std::vector<Setting>& settings();
  // The --help text of a setting: meaning, default and variable, without marks.
  static std::string helpText(const Setting& setting);

  // The override set with set(), else the environment variable, else "".
  static std::string get(const std::string& name);
  static void set(const std::string& name, const std::string& value);

  // Each setting of settings(), its default applied ("" where none is).
  static std::string appsRoot();      // QUILLBOX_APPS_ROOT
  static std::string home();          // QUILLBOX_HOME
  static std::string mainBundle();    // QUILLBOX_MAIN_BUNDLE
  static std::string weeAppBundle();  // QUILLBOX_WEEAPP_BUNDLE
  static std::string notifyDir();     // QUILLBOX_NOTIFY_DIR
  static std::string screen();        // QUILLBOX_SCREEN
  static std::string ui();            // QUILLBOX_UI ("" unset: the caller chooses)
  static std::string prompt();        // QUILLBOX_PROMPT
  static std::string keychain();      // QUILLBOX_KEYCHAIN
  static std::string caFile();        // QUILLBOX_CA_FILE
  static std::string updateUrl();     // QUILLBOX_UPDATE_URL ("" when unset)
  static std::string sound();         // QUILLBOX_SOUND
  // QUILLBOX_SYSTEM_VERSION, else the running kernel's release cut to its
  // leading dotted number, the shape of a phone's system version; the whole
  // release when it starts with no digit.
  static std::string systemVersion();
  static std::string tsaUrl();        // QUILLBOX_TSA_URL
  static std::string tsaCaFile();     // QUILLBOX_TSA_CA_FILE
  static std::string c2pa();          // QUILLBOX_C2PA
  static std::string c2paCertFile();  // QUILLBOX_C2PA_CERT
  static std::string c2paKeyFile();   // QUILLBOX_C2PA_KEY

  // Folder of the running executable (resolved from /proc/self/exe).
  static std::string executableDir();
  static std::string programName();
};

}  // namespace quillbox::platform
