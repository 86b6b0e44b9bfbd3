#include "UserDirectory.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/Files/FileSystem.h"

namespace quillbox::devserver {

UserDirectory UserDirectory::demo() {
  UserDirectory d;
  d.users_.push_back({"demo", "quillbox", "13800138000"});
  return d;
}

std::optional<UserDirectory> UserDirectory::load(const std::string& path, std::string* error) {
  auto text = platform::FileSystem::Default().readFile(path);
  if (!text) {
    *error = "cannot read users file " + path;
    return std::nullopt;
  }
  UserDirectory d;
  size_t first = text->find_first_not_of(" \t\r\n");
  if (first != std::string::npos && (*text)[first] == '[') {
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_array()) {
      *error = "users file is not a JSON array: " + path;
      return std::nullopt;
    }
    for (const auto& item : json) {
      if (!item.is_object() || !item.contains("name") || !item["name"].is_string() ||
          !item.contains("password") || !item["password"].is_string()) {
        *error = "users file entry without string name and password: " + path;
        return std::nullopt;
      }
      User u{item["name"].get<std::string>(), item["password"].get<std::string>(), ""};
      if (item.contains("phone") && item["phone"].is_string()) u.phone = item["phone"];
      d.users_.push_back(std::move(u));
    }
  } else {
    std::istringstream in(*text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      size_t a = line.find(':');
      // The name ends at the first ":", the phone starts after the last one:
      // a password may hold ":" itself.
      size_t b = line.rfind(':');
      if (a == std::string::npos || b == a) {
        *error = path + ":" + std::to_string(number) + ": expected name:password:phone";
        return std::nullopt;
      }
      d.users_.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
  }
  for (const auto& u : d.users_) {
    if (u.name.empty()) {
      *error = "users file entry with an empty name: " + path;
      return std::nullopt;
    }
  }
  if (d.users_.empty()) {
    *error = "users file holds no account: " + path;
    return std::nullopt;
  }
  return d;
}

const User* UserDirectory::findByName(const std::string& name) const {
  for (const auto& u : users_) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

const User* UserDirectory::findByPhone(const std::string& phone) const {
  if (phone.empty()) return nullptr;
  for (const auto& u : users_) {
    if (u.phone == phone) return &u;
  }
  return nullptr;
}

}  // namespace quillbox::devserver
