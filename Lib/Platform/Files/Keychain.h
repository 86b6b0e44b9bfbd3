// Keychain: the generic-password items of the device keychain.
//
// The keychain is the property-list file of QUILLBOX_KEYCHAIN (XML or
// binary): a top-level array of dictionaries, each with "generic",
// "accessGroup" and "comment". The file must be readable by its owner only;
// a file that its group or other users may read is refused (logged).
// Keychain::Default() is that file's keychain; tests install a double (often a
// KeychainWrapper) with setDefaultForTesting(). Safe for concurrent use from
// any thread; the file is read afresh on every call.
#pragma once

#include <optional>
#include <string>

namespace quillbox::platform {

class Keychain {
 public:
  Keychain() = default;
  Keychain(const Keychain&) = delete;
  Keychain& operator=(const Keychain&) = delete;
  virtual ~Keychain() = default;

  // The process-wide keychain (the QUILLBOX_KEYCHAIN file unless a test replaced it).
  static Keychain& Default();
  // REQUIRES: keychain outlives its use; nullptr restores the file's keychain.
  // Gives the double installed before (nullptr: none).
  static Keychain* setDefaultForTesting(Keychain* keychain);

  // The "comment" of the first item with this generic attribute and access
  // group; nullopt when there is none, the file is missing, unreadable, not
  // such a plist, or readable by others.
  virtual std::optional<std::string> passwordFor(const std::string& generic,
                                                 const std::string& accessGroup) = 0;
};

// Forwards every call to another keychain; tests override what they need.
class KeychainWrapper : public Keychain {
 public:
  explicit KeychainWrapper(Keychain& target) : target_(target) {}
  std::optional<std::string> passwordFor(const std::string& generic,
                                         const std::string& accessGroup) override {
    return target_.passwordFor(generic, accessGroup);
  }

 protected:
  Keychain& target_;
};

}  // namespace quillbox::platform
