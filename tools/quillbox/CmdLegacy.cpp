// The older upload protocol, made usable from the command line:
//
// quillbox legacy-message PATH [--kind N]: builds the file's upload record
//   (tamper check included), sends the upload-message form
//   ("service=uploadPlainFileMessage ... &format=xml") and prints the reply's
//   dictionary as JSON ("id", "realLength", ...). Exit 0 with a result, 1 when
//   the file is refused or no reply came, 2 when the reply can't be read.
// quillbox legacy-upload PATH --file-id ID [--offset S]: streams the file from
//   byte S to the service with the older single-stream uploader (1 MiB per
//   request). A progress bar on a terminal, otherwise one line per step:
//   "progress BYTES/TOTAL FPROGRESS". Exit 0 when the upload finished, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "AppURL.h"
#include "Commands.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Terminal.h"
#include "ProgressBar.h"
#include "QBXUploadManager/QBXUploadManager.h"
#include "Request/Z_Request.h"
#include "Upload/UploadManager.h"
#include "XmlParse/XmlParse.h"

namespace quillbox::tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  std::string out = std::filesystem::absolute(path, ec).lexically_normal().string();
  return ec ? path : out;
}

bool locate(const char* command) {
  if (locateQuillboxApp()) return true;
  std::fprintf(stderr, "quillbox %s: the client application's container was not found\n", command);
  return false;
}

// ------------------------------------------------------------ legacy-message

int runMessage(const std::string& given, int kind) {
  if (!locate("legacy-message")) return 1;
  const std::string path = absolutePath(given);
  FilePtr file = QBXUploadManager::getFileWillUploadWithPath(path, kind);
  if (!file) {
    std::fprintf(stderr,
                 "quillbox legacy-message: %s was refused: it is missing, was changed after it "
                 "was recorded, or has no property record of the current user\n",
                 path.c_str());
    return 1;
  }
  auto reply = Z_Request::creatWithFile(*file);
  if (!reply || reply->empty()) {
    std::fprintf(stderr, "quillbox legacy-message: no reply from the service\n");
    return 1;
  }
  std::optional<PlistDict> dict;
  try {
    dict = XmlParse::parserToCreateFile(*reply);
  } catch (const XmlParseError& e) {
    std::fprintf(stderr, "quillbox legacy-message: %s\n", e.what());
    return 2;
  }
  if (!dict) {
    std::fprintf(stderr, "quillbox legacy-message: the reply is not XML: %s\n", reply->c_str());
    return 2;
  }
  std::printf("%s\n", toJson(PlistValue(std::move(*dict))).dump().c_str());
  return 0;
}

// ------------------------------------------------------------- legacy-upload

struct UploadOptions {
  std::string path;
  std::string fileID;
  int64_t offset = 0;
};

// Follows one manager: its progress, its end and the reason of a failure.
class Follower : public UploadManagerDelegate {
 public:
  explicit Follower(bool bar) : bar_(bar) {}
  void didSendBodyDataBytes(int64_t bytes, int64_t total) override {
    bytes_ = bytes;
    total_ = total;
    if (bar_) ProgressBar::draw(bytes, total);
  }
  void didFinishSending() override {
    finished_ = true;
    platform::RunLoop::main().stop();
  }
  void uploadFailed(const std::string& error) override {
    reason_ = error;
    platform::RunLoop::main().stop();
  }
  // The record after a step ("upload" notification).
  void stepped(const File& file) {
    if (bar_ || bytes_ == printed_) return;
    printed_ = bytes_;
    std::printf("progress %lld/%lld %s\n", static_cast<long long>(bytes_),
                static_cast<long long>(total_), file.fProgress().value_or("").c_str());
    std::fflush(stdout);
  }
  bool finished() const { return finished_; }
  const std::string& reason() const { return reason_; }
  bool drew() const { return bar_ && bytes_ >= 0; }

 private:
  bool bar_;
  int64_t bytes_ = -1, total_ = 0, printed_ = -1;
  bool finished_ = false;
  std::string reason_ = "the upload could not be started";
};

int runUpload(const UploadOptions& options) {
  if (!locate("legacy-upload")) return 1;
  const std::string path = absolutePath(options.path);
  auto attrs = platform::FileSystem::Default().attributes(path);
  if (!attrs || attrs->isDirectory) {
    std::fprintf(stderr, "quillbox legacy-upload: %s can't be read\n", path.c_str());
    return 1;
  }
  auto file = std::make_shared<File>();
  file->setFPath(path);
  file->setName(platform::lastPathComponent(path));
  file->setFileID(options.fileID);
  file->setFLen(strprintf("%lld", static_cast<long long>(attrs->size)));

  Follower follower(platform::Terminal::isStandardErrorTerminal());
  auto& center = platform::NotificationCenter::Default();
  uint64_t observer = center.addObserver(UploadManager::kNoteUpload, [&](const auto& note) {
    if (auto* f = std::any_cast<FilePtr>(&note.object); f && *f == file) follower.stepped(*file);
  });
  auto manager = UploadManager::create();
  manager->setFile(file);
  manager->setRang({static_cast<uint64_t>(options.offset), 0});
  manager->setDelegate(&follower);
  const auto started = SteadyClock::now();
  if (manager->start()) platform::RunLoop::main().run();
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
  manager->setDelegate(nullptr);
  center.removeObserver(observer);
  if (follower.drew()) ProgressBar::end();
  if (!follower.finished()) {
    std::fprintf(stderr, "quillbox legacy-upload: %s failed: %s\n", path.c_str(),
                 follower.reason().c_str());
    return 1;
  }
  std::printf("uploaded %s: %lld bytes from offset %lld, file id %s, %s, %.3f s\n", path.c_str(),
              static_cast<long long>(attrs->size), static_cast<long long>(options.offset),
              options.fileID.c_str(), file->fProgress().value_or("").c_str(), seconds);
  return 0;
}

Command::Registration message(45, [](CLI::App& app) {
  auto path = std::make_shared<std::string>();
  auto kind = std::make_shared<int>(FileKind::Screenshot);
  auto* cmd = app.add_subcommand("legacy-message",
                                 "announce one evidence file with the older upload-message form");
  cmd->add_option("PATH", *path, "the evidence file (inside the container's Documents)")
      ->required();
  cmd->add_option("--kind", *kind, "kind code (8 screenshot, ...), sent as two digits")
      ->capture_default_str();
  cmd->callback([path, kind] { Command::setExitStatus(runMessage(*path, *kind)); });
});

Command::Registration upload(46, [](CLI::App& app) {
  auto options = std::make_shared<UploadOptions>();
  auto* cmd = app.add_subcommand("legacy-upload",
                                 "stream one file with the older uploader (1 MiB per request)");
  cmd->add_option("PATH", options->path, "the file")->required();
  cmd->add_option("--file-id", options->fileID, "the service's id of the file")->required();
  cmd->add_option("--offset", options->offset, "bytes the service already holds")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  cmd->callback([options] { Command::setExitStatus(runUpload(*options)); });
});

}  // namespace
}  // namespace quillbox::tool
