// quillbox-weeapp-host: loads a widget plug-in and shows it to the person at
// this machine as a live page on loopback.
//
// The bundle's principal class is loaded with dlopen and runs on this
// program's main run loop. The page shows the widget's view, its toasts,
// alerts and status-bar messages as they happen; a click on the page is a tap
// on the widget, and loading the page or making it visible again is a showing.
// At start one line on standard output gives the page's address with its
// token; on a fixed --port the token is kept for the next start on that port
// (PageToken), so that an open page reconnects. Ends on SIGTERM or SIGINT.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <vector>

#include "AppURL.h"
#include "EventHub.h"
#include "PageServer.h"
#include "PageToken.h"
#include "PageUserInterface.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/SettingFlags.h"
#include "Platform/Process/VersionFlag.h"
#include "Platform/UI/CompositeUserInterface.h"
#include "PublishedFiles.h"
#include "ViewDescription.h"
#include "WeeAppLoader.h"

namespace {

std::atomic<bool> gStopRequested{false};
extern "C" void onStopSignal(int) {
  gStopRequested = true;
}

constexpr int kStopCheckMs = 100;

}  // namespace

int runHost(int argc, char** argv) {
  using namespace quillbox::platform;
  using namespace quillbox::weeapphost;
  Log::setProgramName("quillbox-weeapp-host");

  CLI::App app{
      "quillbox-weeapp-host: shows the widget plug-in as a live page on 127.0.0.1. Open the "
      "address it prints (it holds the page's token).\n"
      "Every setting below is also read from the environment variable named in brackets."};
  int port = 0;
  bool newToken = false;
  std::string urlOpener = "xdg-open";
  app.add_option("--port", port,
                 "port on 127.0.0.1 (0: any free port). A fixed port keeps the page's token in "
                 "$QUILLBOX_HOME/.local/share/quillbox/weeapp-host-PORT.token (owner-only) for "
                 "the next start on it, so that an open page reconnects")
      ->capture_default_str();
  app.add_flag("--new-token", newToken,
               "make a new token even on a fixed port (pages open with the old one must open the "
               "new address)");
  app.add_option("--url-opener", urlOpener,
                 "program that opens the URLs the widget opens, where it is installed "
                 "(\"\" for none; the page always shows them)")
      ->capture_default_str();
  SettingFlags flags(app, Environment::kWidgetHost);
  VersionFlag::add(app, quillbox::programVersion);
  CLI11_PARSE(app, argc, argv);
  flags.apply();

  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGTERM, onStopSignal);
  std::signal(SIGINT, onStopSignal);
  RunLoop::markMainThread();

  // The page, plus whatever QUILLBOX_UI names (a journal records every event).
  EventHub hub;
  PublishedFiles files;
  auto page = std::make_shared<PageUserInterface>(hub, files, urlOpener);
  std::shared_ptr<UserInterface> ui = page;
  if (!Environment::get("QUILLBOX_UI").empty()) {
    auto more = UserInterface::fromSettings(Environment::ui(), Environment::prompt());
    if (!more) {
      std::cerr << "quillbox-weeapp-host: QUILLBOX_UI \"" << Environment::ui()
                << "\" names no backend\n";
      return 2;
    }
    ui = std::make_shared<CompositeUserInterface>(
        std::vector<std::shared_ptr<UserInterface>>{page, more});
  }
  UserInterface::setDefault(ui);

  std::string error;
  std::optional<LoadedWeeApp> weeApp = WeeAppLoader::load(Environment::weeAppBundle(), &error);
  if (!weeApp) {
    std::cerr << "quillbox-weeapp-host: cannot load the widget: " << error << "\n";
    return 1;
  }
  BBWeeAppController& controller = *weeApp->controller;
  std::shared_ptr<View> root = controller.view();
  // The tree never changes once built; describe it once, here on the main thread.
  nlohmann::ordered_json description = describeView(*root, files);
  description["height"] = controller.viewHeight();
  std::string viewJson = description.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

  PageServerHooks hooks;
  hooks.viewJson = [viewJson] { return viewJson; };
  hooks.tap = [root](uint64_t id) {
    View* v = root->viewWithId(id);
    if (v) v->tap();
    return v != nullptr;
  };
  hooks.appear = [&controller] {
    controller.viewWillAppear();
    controller.viewDidAppear();
  };
  PageServer server(Environment::executableDir() + "/../share/quillbox/weeapp-page", hub, *page,
                    files, hooks);
  PageToken::Choice token = PageToken::choose(port, newToken);
  if (!server.start(port, token.token, &error)) {
    std::cerr << "quillbox-weeapp-host: " << error << "\n";
    return 1;
  }
  if (token.keep) PageToken::keep(server.port(), token.token);
  std::cout << "quillbox-weeapp-host: " << weeApp->principalClass << " on " << server.address()
            << std::endl;

  RunLoop::main().addTimer(std::chrono::milliseconds(kStopCheckMs), true, [] {
    if (gStopRequested) RunLoop::main().stop();
  });
  RunLoop::main().run();
  server.stop();
  // Threads the widget started (logins, uploads) may still run: leave without
  // tearing down what they use.
  std::fflush(nullptr);
  std::_Exit(0);
}

// Nothing may escape main(): an unexpected exception ends the program with a message.
int main(int argc, char** argv) {
  try {
    return runHost(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "quillbox-weeapp-host: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "quillbox-weeapp-host: unexpected error\n";
  }
  return 1;
}
