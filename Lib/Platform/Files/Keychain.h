// Keychain: the generic-password items of the device keychain.
//
// The keychain is the property-list file of QUILLBOX_KEYCHAIN (XML or
// binary): a top-level array of dictionaries, each with "generic",
// "accessGroup" and "comment". The file must be readable by its owner only;
// a file that its group or other users may read is refused (logged). Safe for
// concurrent use from any thread; the file is read afresh on every call.
#pragma once

#include <optional>
#include <string>

namespace quillbox::platform {

class Keychain {
 public:
  // The "comment" of the first item with this generic attribute and access
  // group; nullopt when there is none, the file is missing, unreadable, not
  // such a plist, or readable by others.
  static std::optional<std::string> passwordFor(const std::string& generic,
                                                const std::string& accessGroup);
};

}  // namespace quillbox::platform
