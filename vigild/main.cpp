// vigild: the capture daemon. Waits for the trigger notification, counts down,
// captures the screen and stores it in the client application's data area.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "AppURL.h"
#include "C2pa/C2paSigner.h"
#include "C2pa/ContentCredentials.h"
#include "Platform/Files/InstanceLock.h"
#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Loop/StopSignals.h"
#include "Platform/Media/AutoScreen.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/MemoryArenas.h"
#include "Platform/Process/ServiceManager.h"
#include "Platform/Process/SettingFlags.h"
#include "Platform/Process/VersionFlag.h"
#include "Platform/UI/UserInterface.h"
#include "Proof/ProofStamper.h"
#include "Proof/SignerKey.h"
#include "QBXUploadManager/UploadRetry.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace {
// Blocks this large are mapped on their own and returned when freed.
constexpr size_t kReturnFreedAboveBytes = 128 * 1024;
const char kStartLog[] = "运行截屏服务";
const char kNoTriggerLog[] = "vigild: cannot observe the trigger notification; exiting";
// One daemon per user: a second would capture every trigger once more.
const char kInstanceLockFile[] = "/.local/share/quillbox/vigild.lock";
const char kAlreadyRunningLog[] =
    "vigild: another vigild already runs for this user (pid %ld, lock %s); exiting";
const char kAlreadyRunningToast[] = "截屏服务已在运行（进程 %ld），无需再次启动";
const char kNoInstanceLockLog[] =
    "vigild: cannot lock %s (%s); running without the check for a second vigild";
constexpr int kExitAlreadyRunning = 3;  // the unit's RestartPreventExitStatus
constexpr int kToastMs = 3000;
const char kNoDisplayYetLog[] =
    "vigild: no display in the environment yet (neither WAYLAND_DISPLAY nor DISPLAY): exiting, "
    "so that the service manager starts vigild again once the session has imported it "
    "(systemctl --user import-environment WAYLAND_DISPLAY DISPLAY)";
// EX_TEMPFAIL: try again later.
constexpr int kNoDisplayYetExit = 75;
const char kChoicesLog[] = "vigild: container %s, screen %s, user interface %s";
const char kNoContainer[] = "none yet (no folder of %s holds quillbox.app)";
const char kStoppingLog[] = "vigild: %s received; closing its notifications and ending";

// The signal that asked the daemon to stop (0: none yet). Main thread only.
int g_stopSignal = 0;

// What this daemon works with, for its start-up line.
void logChoices(bool located) {
  using namespace quillbox::platform;
  std::string container = located
                              ? quillbox::AppURL::sharedAppURL().appURL()
                              : quillbox::strprintf(kNoContainer, Environment::appsRoot().c_str());
  std::string screen = Environment::screen();
  if (screen == "auto") screen += ": " + AutoScreen::sessionRoad();
  Log::printf(kChoicesLog, container.c_str(), screen.c_str(), UserInterface::defaultName().c_str());
}
}  // namespace

static int runDaemon(int argc, char** argv) {
  CLI::App app{
      "vigild: the capture daemon. Waits for the notification "
      "\"com.velmor.quillbox.server.screenshot\" (post it with `quillbox trigger`), counts down, "
      "captures the screen and stores it as PNG in the client application's container.\n"
      "Every setting below is also read from the environment variable named in brackets."};
  quillbox::platform::SettingFlags flags(app, quillbox::platform::Environment::kDaemon);
  quillbox::platform::VersionFlag::add(app, quillbox::programVersion);
  CLI11_PARSE(app, argc, argv);
  flags.apply();

  using namespace quillbox::platform;
  RunLoop::markMainThread();
  const std::string lockPath = Environment::home() + kInstanceLockFile;
  InstanceLock::Result instance = InstanceLock::acquire(lockPath);
  if (!instance.lock && instance.error.empty()) {
    Log::printf(kAlreadyRunningLog, instance.holder, lockPath.c_str());
    UserInterface::Default().showToast(quillbox::strprintf(kAlreadyRunningToast, instance.holder),
                                       ToastPosition::Bottom, kToastMs);
    return kExitAlreadyRunning;
  }
  if (!instance.lock) Log::printf(kNoInstanceLockLog, lockPath.c_str(), instance.error.c_str());
  // Before any thread starts: SIGTERM and SIGINT end the main loop, and the
  // daemon tidies up behind it (a second signal ends it at once).
  StopSignals::install([](int signal) {
    g_stopSignal = signal;
    RunLoop::main().stop();
  });
  // A thread per registration and upload, a screen-sized image per capture:
  // bounded heaps and fixed thresholds keep a long run at what it holds.
  MemoryArenas::limit(2);
  MemoryArenas::returnFreedAbove(kReturnFreedAboveBytes);
  Log::line(kStartLog);
  // A user service started before the session imported its display would
  // refuse every capture for its whole life: it ends, and its manager starts
  // it again with the environment of that moment.
  if (ServiceManager::isManaged() && Environment::screen() == "auto" &&
      !AutoScreen::sessionHasDisplay()) {
    Log::line(kNoDisplayYetLog);
    return kNoDisplayYetExit;
  }
  // The client application is located now (its container named in the
  // start-up line, and the uploads left unfinished resumed below).
  logChoices(quillbox::locateQuillboxApp());
  // The proofs' signing key is made (first run) or loaded now rather than at the
  // first capture; proofs made while the authority was away get their time
  // stamps now, in the background.
  quillbox::SignerKey::shared();
  if (quillbox::ContentCredentials::enabled()) quillbox::C2paSigner::shared();
  quillbox::ProofStamper::shared().stampPendingProofs();
  // A confirmed screenshot reaches the service once it can: failed uploads
  // come back, and those a previous run left unfinished start again.
  quillbox::UploadRetry::shared().enable();
  quillbox::UploadRetry::shared().resumePending();
  // After a capture the daemon waits, maybe for hours: what the capture freed
  // goes back to the system rather than staying in the heaps.
  auto onTrigger = [](const std::string& name) {
    quillbox::screenShotPort(name);
    MemoryArenas::releaseFree();
  };
  const uint64_t observer =
      DarwinNotifyCenter::Default().addObserver(quillbox::kScreenshotNotification, onTrigger);
  if (!observer) {
    // A daemon that can never be triggered only looks alive; its service
    // manager restarts it instead.
    Log::line(kNoTriggerLog);
    return 1;
  }
  ServiceManager::notifyReady();  // the trigger is observed from here on
  // A nested run (the shutter sound's) may take a stop meant for this one.
  do {
    RunLoop::main().run();
  } while (!g_stopSignal);

  Log::printf(kStoppingLog, StopSignals::name(g_stopSignal));
  // Nobody posts to a socket that nobody reads, and no prompt stays on the
  // desktop that nobody can answer any more.
  DarwinNotifyCenter::Default().removeObserver(observer);
  UserInterface::Default().withdrawAll();
  // Upload and registration threads may still run: the process ends without
  // running static destructors under them (what they began resumes at the
  // next start).
  std::fflush(nullptr);
  std::_Exit(0);
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
