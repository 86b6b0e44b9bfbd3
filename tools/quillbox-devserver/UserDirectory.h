// UserDirectory: the accounts the development server knows.
//
// A users file is either a JSON array of objects
//   [{"name": "demo", "password": "quillbox", "phone": "13800138000"}, ...]
// or text with one account a line, "name:password:phone" (the name ends at the
// first ":", the phone starts after the last one, so a password may hold ":";
// the phone may be empty; blank lines and lines starting with "#" are skipped). Without a file
// the server knows the demo account above. Immutable once loaded: safe to
// share between threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillbox::devserver {

struct User {
  std::string name;
  std::string password;
  std::string phone;
};

class UserDirectory {
 public:
  // The built-in demo account.
  static UserDirectory demo();
  // Reads a users file; nullopt (with `error` set) when it can't be read or
  // holds a malformed entry or no entry at all.
  static std::optional<UserDirectory> load(const std::string& path, std::string* error);

  const User* findByName(const std::string& name) const;
  const User* findByPhone(const std::string& phone) const;
  const std::vector<User>& users() const { return users_; }

 private:
  std::vector<User> users_;
};

}  // namespace quillbox::devserver
