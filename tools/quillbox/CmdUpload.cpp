// quillbox upload PATH [--kind N]: upload one evidence file to the service.
//
// Finds the client application's container, builds the file's upload record
// (which runs the tamper check) and hands it to the upload manager's
// single-file queue; the main run loop runs until the upload has finished or
// failed. A progress bar on a terminal, plain "progress" lines otherwise.
// Exit status 0 when the upload finished, 1 otherwise (with the reason).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "AppURL.h"
#include "Commands.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Terminal.h"
#include "Platform/Process/Threads.h"
#include "PlistTextValidator.h"
#include "ProgressBar.h"
#include "QBXUploadManager/QBXUploadManager.h"

namespace quillbox::tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct UploadOptions {
  std::string path;
  int kind = FileKind::Screenshot;
};

int runUpload(const UploadOptions& options) {
  if (!locateQuillboxApp()) {
    std::fprintf(stderr, "quillbox upload: the client application's container was not found\n");
    return 1;
  }
  std::error_code ec;
  std::string path = std::filesystem::absolute(options.path, ec).lexically_normal().string();
  if (ec) path = options.path;

  FilePtr file = QBXUploadManager::getFileWillUploadWithPath(path, options.kind);
  if (!file) {
    std::fprintf(stderr,
                 "quillbox upload: %s was refused: it is missing, was changed after it was "
                 "recorded, or has no property record of the current user\n",
                 path.c_str());
    return 1;
  }

  const bool bar = platform::Terminal::isStandardErrorTerminal();
  int status = 1;
  std::string reason;
  int64_t lastBytes = -1;
  auto& manager = QBXUploadManager::sharedInstance();
  manager.setEventHandler([&](const UploadEvent& e) {
    if (e.file != file) return;
    switch (e.kind) {
      case UploadEvent::Kind::Progress:
        if (e.bytes <= lastBytes) return;  // never backwards
        lastBytes = e.bytes;
        if (bar)
          ProgressBar::draw(e.bytes, e.total);
        else
          std::printf("progress %lld/%lld\n", static_cast<long long>(e.bytes),
                      static_cast<long long>(e.total));
        std::fflush(stdout);
        return;
      case UploadEvent::Kind::Finished:
        status = 0;
        break;
      case UploadEvent::Kind::Failed:
        reason = e.reason.empty() ? std::string("upload failed") : e.reason;
        break;
      case UploadEvent::Kind::Stopped:
        reason = "stopped";
        break;
    }
    platform::RunLoop::main().stop();
  });

  const auto started = SteadyClock::now();
  // The record builder has just run the tamper check: no second check here.
  manager.startUploadWithFile(file, false);
  platform::RunLoop::main().run();
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
  manager.setEventHandler(nullptr);

  // Let the upload thread wind down before the process ends.
  platform::Threads::Default().waitForThreads(QBXUploadTask::kThreadName, std::chrono::seconds(3));

  if (bar && lastBytes >= 0) ProgressBar::end();
  if (status != 0) {
    std::fprintf(stderr, "quillbox upload: %s failed: %s\n", path.c_str(), reason.c_str());
    return 1;
  }
  long long size = std::stoll(file->fLen().value_or("0"));
  std::printf("uploaded %s: %lld bytes, file id %s, %.3f s\n", path.c_str(), size,
              file->fileID().value_or("").c_str(), seconds);
  return 0;
}

Command::Registration upload(40, [](CLI::App& app) {
  auto options = std::make_shared<UploadOptions>();
  auto* cmd = app.add_subcommand("upload", "upload one evidence file to the service (resumable)");
  cmd->add_option("PATH", options->path, "the evidence file (inside the container's Documents)")
      ->required()
      ->check(PlistTextValidator());
  cmd->add_option("--kind", options->kind,
                  "kind code (8 screenshot, 2 audio, 6 recording, 9 picture)")
      ->capture_default_str();
  cmd->callback([options] { Command::setExitStatus(runUpload(*options)); });
});

}  // namespace
}  // namespace quillbox::tool
