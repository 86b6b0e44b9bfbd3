#include "PageToken.h"

#include <openssl/rand.h>

#include <optional>

#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Text/Hex.h"

namespace quillbox::weeapphost {

using platform::FileSystem;
using platform::Log;

namespace {

const char kLooseLog[] =
    "quillbox-weeapp-host: %s may be read or written by other users (mode %03o); not used, a "
    "new token replaces it";
const char kNotAFileLog[] = "quillbox-weeapp-host: %s is not a regular file; not used";
const char kNoTokenLog[] = "quillbox-weeapp-host: %s holds no token; a new token replaces it";
const char kNotKeptLog[] =
    "quillbox-weeapp-host: the token can't be kept in %s (%s); a restarted host makes a new one";
constexpr size_t kTokenLength = 32;
constexpr uint32_t kGroupAndOthers = 077;

bool isToken(const std::string& text) {
  if (text.size() != kTokenLength) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The kept token; nullopt when there is none to use. `replace` is set when
// the file may be written over (it is missing, loose or holds no token).
std::optional<std::string> kept(const std::string& path, bool* replace) {
  FileSystem& fs = FileSystem::Default();
  *replace = true;
  auto attributes = fs.attributes(path);
  if (!attributes) return std::nullopt;
  if (!attributes->isRegularFile) {
    *replace = false;
    Log::printf(kNotAFileLog, path.c_str());
    return std::nullopt;
  }
  if ((attributes->permissions & kGroupAndOthers) != 0) {
    Log::printf(kLooseLog, path.c_str(), attributes->permissions & 0777);
    return std::nullopt;
  }
  std::optional<std::string> text = fs.readFile(path);
  if (text) {
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  }
  if (!text || !isToken(*text)) {
    Log::printf(kNoTokenLog, path.c_str());
    return std::nullopt;
  }
  *replace = false;
  return text;
}

}  // namespace

std::string PageToken::make() {
  unsigned char bytes[kTokenLength / 2];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  return Hex::encode(bytes, sizeof bytes);
}

std::string PageToken::fileFor(int port) {
  return platform::Environment::home() + "/.local/share/quillbox/weeapp-host-" +
         std::to_string(port) + ".token";
}

PageToken::Choice PageToken::choose(int port, bool forget) {
  if (port == 0) return {make(), false};
  bool replace = true;
  if (!forget) {
    if (auto token = kept(fileFor(port), &replace)) return {*token, false};
  }
  std::string token = make();
  return {token, replace && !token.empty()};
}

void PageToken::keep(int port, const std::string& token) {
  FileSystem& fs = FileSystem::Default();
  const std::string path = fileFor(port);
  const std::string folder = platform::deletingLastPathComponent(path);
  platform::Outcome written = fs.createDirectories(folder)
                                  ? fs.writeOwnerOnlyAtomically(path, token + "\n")
                                  : platform::Outcome::failure("cannot create " + folder);
  if (!written) Log::printf(kNotKeptLog, path.c_str(), written.reason.c_str());
}

}  // namespace quillbox::weeapphost
