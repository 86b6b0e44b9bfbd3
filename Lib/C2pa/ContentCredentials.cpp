#include "C2pa/ContentCredentials.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "AppURL.h"
#include "C2pa/C2paManifest.h"
#include "C2pa/C2paSigner.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Proof/TimeStampClient.h"

namespace quillbox {

using platform::Environment;
using platform::Log;

namespace {

const char kLogMade[] = "日志:内容凭证已加入截屏 %s (%zu 字节%s)";
const char kLogFailed[] = "日志:内容凭证未能加入截屏 %s: %s";
const char kLogNoStamp[] = "日志:时间戳服务未在 %d 秒内应答, 内容凭证不含时间戳: %s";
const char kGenerator[] = "quillbox";

std::string rfc3339Now() {
  auto now = std::chrono::system_clock::now();
  auto secs = std::chrono::floor<std::chrono::seconds>(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - secs).count();
  std::time_t t = std::chrono::system_clock::to_time_t(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms));
  return buf;
}

// The largest token seen, so that the room kept for the next one fits it.
std::atomic<size_t> largestToken{0};

}  // namespace

bool ContentCredentials::enabled() {
  const std::string v = Environment::c2pa();
  return v != "0" && v != "off" && v != "false" && v != "no";
}

std::string ContentCredentials::addToCapture(const std::string& png, const std::string& fileName) {
  if (!enabled()) return png;
  auto signer = C2paSigner::shared();
  if (!signer) {
    Log::printf(kLogFailed, fileName.c_str(), "no signing certificate");
    return png;
  }
  C2paManifest::Capture capture;
  capture.title = fileName;
  capture.when = rfc3339Now();
  const std::string version = mainBundleVersion();
  capture.generatorName = kGenerator;
  capture.generatorVersion = version;
  capture.agentName = std::string(kGenerator) + " " + Environment::programName();
  capture.agentVersion = version;

  const std::string url = Environment::tsaUrl();
  std::string stampError;
  C2paManifest::Stamper stamper;
  if (!url.empty()) {
    stamper = [&](std::string_view imprint) {
      TimeStampClient::Result r = TimeStampClient::stamp(url, imprint, kTimeStampSeconds);
      std::string token = r.outcome == TimeStampClient::Outcome::Granted
                              ? TimeStampClient::tokenOf(r.reply)
                              : std::string();
      if (token.empty()) stampError = r.error.empty() ? "no token in the reply" : r.error;
      size_t seen = largestToken.load();
      while (token.size() > seen && !largestToken.compare_exchange_weak(seen, token.size())) {
      }
      return token;
    };
  }
  const size_t reserve = std::max(C2paManifest::kTimeStampReserve, largestToken.load() + 512);
  std::string error;
  auto made = C2paManifest::embed(png, capture, *signer, stamper, reserve, &error);
  if (!made) {
    Log::printf(kLogFailed, fileName.c_str(), error.c_str());
    return png;
  }
  if (stamper && !made->timeStamped) {
    Log::printf(
        kLogNoStamp, kTimeStampSeconds,
        stampError.empty() ? "the token is larger than the room kept for it" : stampError.c_str());
  }
  Log::printf(kLogMade, fileName.c_str(), made->storeSize, made->timeStamped ? ", 含时间戳" : "");
  return std::move(made->png);
}

std::vector<std::string> ContentCredentials::trustAnchorsFor(const std::string& path) {
  auto& fs = platform::FileSystem::Default();
  std::vector<std::string> anchors;
  std::string dir = platform::deletingLastPathComponent(path);
  if (dir.empty()) dir = ".";
  for (const std::string& file :
       {C2paSigner::defaultFolder() + "/" + C2paSigner::kRootCertFile, dir + "/" + kExportedRoot}) {
    if (auto pem = fs.readFile(file)) anchors.push_back(std::move(*pem));
  }
  return anchors;
}

}  // namespace quillbox
