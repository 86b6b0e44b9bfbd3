// vigild: the capture daemon. Waits for the trigger notification, counts down,
// captures the screen and stores it in the client application's data area.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/MemoryArenas.h"
#include "Platform/Process/ServiceManager.h"
#include "Platform/Process/SettingFlags.h"
#include "Proof/ProofStamper.h"
#include "Proof/SignerKey.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace {
const char kStartLog[] = "运行截屏服务";
const char kNoTriggerLog[] = "vigild: cannot observe the trigger notification; exiting";
}  // namespace

static int runDaemon(int argc, char** argv) {
  CLI::App app{
      "vigild: the capture daemon. Waits for the notification "
      "\"com.velmor.quillbox.server.screenshot\" (post it with `quillbox trigger`), counts down, "
      "captures the screen and stores it as PNG in the client application's container.\n"
      "Every setting below is also read from the environment variable named in brackets."};
  quillbox::platform::SettingFlags flags(app, quillbox::platform::Environment::kDaemon);
  CLI11_PARSE(app, argc, argv);
  flags.apply();

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
