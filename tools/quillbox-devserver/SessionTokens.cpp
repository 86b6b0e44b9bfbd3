#include "SessionTokens.h"

#include <openssl/rand.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Log.h"
#include "Text/Hex.h"

namespace quillbox::devserver {

std::string randomHex(size_t n) {
  std::vector<unsigned char> bytes(n);
  if (RAND_bytes(bytes.data(), static_cast<int>(n)) != 1) {
    platform::Log::line("RAND_bytes failed");
  }
  return Hex::encode(bytes.data(), bytes.size());
}

SessionTokens::SessionTokens(std::string dataDir) : path_(std::move(dataDir) + "/" + kFileName) {}

void SessionTokens::load() {
  auto text = platform::FileSystem::Default().readFile(path_);
  if (!text) return;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (!json.is_object()) {
    platform::Log::line("ignoring unreadable " + path_);
    return;
  }
  std::lock_guard lock(mutex_);
  for (auto& [token, user] : json.items()) {
    if (user.is_string()) owners_[token] = user.get<std::string>();
  }
}

std::string SessionTokens::issue(const std::string& userName) {
  std::string token = randomHex(16);
  std::lock_guard lock(mutex_);
  owners_[token] = userName;
  saveLocked();
  return token;
}

std::optional<std::string> SessionTokens::userOf(const std::string& token) const {
  std::lock_guard lock(mutex_);
  auto it = owners_.find(token);
  if (it == owners_.end()) return std::nullopt;
  return it->second;
}

void SessionTokens::revokeAll() {
  std::lock_guard lock(mutex_);
  owners_.clear();
  saveLocked();
}

void SessionTokens::saveLocked() const {
  nlohmann::json json = owners_;
  if (!platform::FileSystem::Default().writeOwnerOnlyAtomically(
          path_, json.dump(1, ' ', false, nlohmann::json::error_handler_t::replace))) {
    platform::Log::line("cannot write " + path_);
  }
}

}  // namespace quillbox::devserver
