// vigild: the capture daemon. Waits for the trigger notification, counts down,
// captures the screen and stores it in the client application's data area.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/MemoryArenas.h"
#include "Platform/Process/ServiceManager.h"
#include "Proof/ProofStamper.h"
#include "Proof/SignerKey.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace {
struct Setting {
  const char* flag;
  const char* variable;
  const char* help;
};
// Every setting is an environment variable; a flag overrides it for this run.
const std::vector<Setting> kSettings = {
    {"--apps-root", "QUILLBOX_APPS_ROOT",
     "folder scanned for the client application's container (default /User/Applications)"},
    {"--home", "QUILLBOX_HOME", "the process's home folder (default $HOME)"},
    {"--main-bundle", "QUILLBOX_MAIN_BUNDLE",
     "folder with this program's Info.plist (default share/quillbox/vigild.bundle beside bin/)"},
    {"--notify-dir", "QUILLBOX_NOTIFY_DIR",
     "rendezvous folder of system-wide notifications (default $XDG_RUNTIME_DIR/quillbox-notify)"},
    {"--screen", "QUILLBOX_SCREEN", "x11, file:PATH or synthetic (default x11 with DISPLAY)"},
    {"--ui", "QUILLBOX_UI",
     "desktop (notifications on the session bus), journal:PATH, journal:- (standard output), or "
     "several joined by commas (default desktop when a notification server answers, else "
     "journal:-)"},
    {"--prompt", "QUILLBOX_PROMPT",
     "how prompts are answered: confirm, decline, none (default none)"},
    {"--keychain", "QUILLBOX_KEYCHAIN",
     "keychain file (default $HOME/.local/share/quillbox/keychain.plist)"},
    {"--ca-file", "QUILLBOX_CA_FILE", "extra certificate authority to trust for the service"},
    {"--sound", "QUILLBOX_SOUND", "shutter sound file"},
    {"--tsa-url", "QUILLBOX_TSA_URL",
     "RFC 3161 time-stamp authority for evidence proofs (default none)"},
    {"--tsa-ca-file", "QUILLBOX_TSA_CA_FILE",
     "roots the time stamps must chain to (default the system's trust store)"},
};
const char kStartLog[] = "运行截屏服务";
const char kNoTriggerLog[] = "vigild: cannot observe the trigger notification; exiting";
}  // namespace

static int runDaemon(int argc, char** argv) {
  CLI::App app{
      "vigild: the capture daemon. Waits for the notification "
      "\"com.velmor.quillbox.server.screenshot\" (post it with `quillbox trigger`), counts down, "
      "captures the screen and stores it as PNG in the client application's container.\n"
      "Every setting below is also read from the environment variable named in brackets."};
  std::vector<std::string> values(kSettings.size());
  for (size_t i = 0; i < kSettings.size(); ++i) {
    app.add_option(kSettings[i].flag, values[i],
                   std::string(kSettings[i].help) + " [" + kSettings[i].variable + "]");
  }
  CLI11_PARSE(app, argc, argv);
  for (size_t i = 0; i < kSettings.size(); ++i) {
    if (!values[i].empty()) quillbox::platform::Environment::set(kSettings[i].variable, values[i]);
  }

  using namespace quillbox::platform;
  RunLoop::markMainThread();
  // A thread per registration and upload: bounded heaps keep a long run flat.
  MemoryArenas::limit(2);
  Log::line(kStartLog);
  // The proofs' signing key is made (first run) or loaded now rather than at the
  // first capture; proofs made while the authority was away get their time
  // stamps now, in the background.
  quillbox::SignerKey::shared();
  quillbox::ProofStamper::shared().stampPendingProofs();
  if (!DarwinNotifyCenter::Default().addObserver(quillbox::kScreenshotNotification,
                                                 quillbox::screenShotPort)) {
    // A daemon that can never be triggered only looks alive; its service
    // manager restarts it instead.
    Log::line(kNoTriggerLog);
    return 1;
  }
  ServiceManager::notifyReady();  // the trigger is observed from here on
  RunLoop::main().run();
  return 0;
}

// Nothing may escape main(): an unexpected exception ends the program with a message.
int main(int argc, char** argv) {
  try {
    return runDaemon(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vigild: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vigild: unexpected error\n");
  }
  return 1;
}
