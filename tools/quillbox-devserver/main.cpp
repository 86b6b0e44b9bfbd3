// quillbox-devserver: the reference cloud service for local runs, demos and tests.
//
// Prints one machine-readable line on standard output once it serves:
//   READY port=N cert=PATH base=https://127.0.0.1:N/3/
// ("cert=" is left out with --http), then logs one line per request on
// standard error. Ends cleanly on SIGTERM or SIGINT.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <thread>

#include "AppURL.h"
#include "DevServer.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/VersionFlag.h"

namespace {

std::atomic<bool> gStopRequested{false};

extern "C" void onStopSignal(int) {
  gStopRequested = true;
}

std::string defaultDataDir() {
  using quillbox::platform::Environment;
  std::string state = Environment::get("XDG_STATE_HOME");
  if (state.empty()) state = Environment::get("HOME") + "/.local/state";
  return state + "/quillbox-devserver";
}

bool isLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

static int runServer(int argc, char** argv) {
  using quillbox::devserver::DevServer;
  using quillbox::devserver::DevServerOptions;
  quillbox::platform::Log::setProgramName("quillbox-devserver");

  DevServerOptions options;
  options.dataDir = defaultDataDir();
  CLI::App app{"Reference cloud service for local runs, demos and tests"};
  app.add_option("--data", options.dataDir,
                 "folder for files, registrations, tokens, certificate (default "
                 "$XDG_STATE_HOME/quillbox-devserver, else ~/.local/state/quillbox-devserver)");
  app.add_option("--port", options.port, "port to listen on (0: any free port)")
      ->capture_default_str();
  app.add_option("--host", options.host, "address to listen on")->capture_default_str();
  app.add_flag("--allow-remote", options.allowRemote, "allow a non-loopback --host");
  app.add_flag("--http", options.http, "serve plain HTTP instead of HTTPS");
  app.add_option("--users", options.usersFile,
                 "users file: JSON array of {name,password,phone} or name:password:phone lines");
  app.add_option("--log", options.logFile, "also append the request log to this file");
  app.add_option("--fail", options.failFlags,
                 "fail the next COUNT requests of RESOURCE with STATUS (RESOURCE:COUNT:STATUS)");
  app.add_option("--drop-upload-after", options.dropFlags,
                 "cut the next upload(s) after BYTES body bytes (BYTES or BYTES:COUNT)");
  app.add_option("--delay", options.delayFlags, "delay replies (MS or RESOURCE:MS)");
  app.add_option("--announce-update", options.announceUpdate,
                 "answer update checks with this version (VERSION or VERSION,URL)");
  quillbox::platform::VersionFlag::add(app, quillbox::programVersion);
  CLI11_PARSE(app, argc, argv);

  if (!options.allowRemote && !isLoopbackHost(options.host)) {
    std::cerr << "quillbox-devserver: refusing to listen on " << options.host
              << " (not loopback); pass --allow-remote to do so\n";
    return 2;
  }

  // A client that goes away mid-reply must not end the server (TLS writes
  // don't ask the kernel to hold back SIGPIPE).
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGTERM, onStopSignal);
  std::signal(SIGINT, onStopSignal);

  DevServer server(options);
  std::string error;
  if (!server.start(&error)) {
    std::cerr << "quillbox-devserver: " << error << "\n";
    return 1;
  }
  std::cout << "READY port=" << server.port();
  if (!server.certPath().empty()) std::cout << " cert=" << server.certPath();
  std::cout << " base=" << server.baseUrl() << std::endl;

  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    // stop() does nothing before the listener runs, so it is repeated until
    // the listener has ended.
    while (!finished) {
      if (gStopRequested) server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  bool ok = server.run();
  finished = true;
  watcher.join();
  quillbox::platform::Log::line(gStopRequested ? "stopped" : "listener ended");
  return ok || gStopRequested ? 0 : 1;
}

// Nothing may escape main(): an unexpected exception ends the program with a message.
int main(int argc, char** argv) {
  try {
    return runServer(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillbox-devserver: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillbox-devserver: unexpected error\n");
  }
  return 1;
}
