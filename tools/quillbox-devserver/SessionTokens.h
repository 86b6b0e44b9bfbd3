// SessionTokens: the access tokens issued by the login, and whose they are.
//
// Tokens are random (128 bits, hexadecimal) and kept in "tokens.json" of the
// data folder, so a client's session survives a restart of the server. Safe for
// concurrent use from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace quillbox::devserver {

class SessionTokens {
 public:
  static constexpr const char* kFileName = "tokens.json";

  // REQUIRES: `dataDir` exists.
  explicit SessionTokens(std::string dataDir);
  SessionTokens(const SessionTokens&) = delete;
  SessionTokens& operator=(const SessionTokens&) = delete;

  // Reads the saved tokens; a missing or unreadable file means none.
  void load();
  // Issues a new token for `userName` and saves the list.
  std::string issue(const std::string& userName);
  // The user a token belongs to; nullopt for an unknown or revoked token.
  std::optional<std::string> userOf(const std::string& token) const;
  // Forgets every token (the next authenticated request is refused).
  void revokeAll();

 private:
  void saveLocked() const;

  std::string path_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> owners_;
};

// `n` random bytes as lower-case hexadecimal text.
std::string randomHex(size_t n);

}  // namespace quillbox::devserver
