#include "Platform/Files/Keychain.h"

#include <sys/stat.h>

#include <atomic>

#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {

namespace {

// The text of an attribute stored as a string or as data.
std::string attributeText(const PlistDict& item, const char* key) {
  const PlistValue* v = item.find(key);
  if (!v) return "";
  if (const std::string* s = v->asString()) return *s;
  if (const PlistData* d = v->asData()) return d->bytes;
  return "";
}

// The keychain of the QUILLBOX_KEYCHAIN file.
class FileKeychain final : public Keychain {
 public:
  std::optional<std::string> passwordFor(const std::string& generic,
                                         const std::string& accessGroup) override;
};

std::atomic<Keychain*> g_override{nullptr};

}  // namespace

Keychain& Keychain::Default() {
  if (Keychain* o = g_override.load()) return *o;
  static auto* file = new FileKeychain;
  return *file;
}

Keychain* Keychain::setDefaultForTesting(Keychain* keychain) {
  return g_override.exchange(keychain);
}

std::optional<std::string> FileKeychain::passwordFor(const std::string& generic,
                                                     const std::string& accessGroup) {
  const std::string path = Environment::keychain();
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    NSLog("keychain: %s is not a regular file; refused", path.c_str());
    return std::nullopt;
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    NSLog("keychain: %s may be read by other users (mode %03o); refused, chmod 600 it",
          path.c_str(), static_cast<unsigned>(st.st_mode & 0777));
    return std::nullopt;
  }
  auto root = PropertyList::read(path);
  if (!root) return std::nullopt;
  const PlistArray* items = root->asArray();
  if (!items) {
    NSLog("keychain: %s does not hold an array of items", path.c_str());
    return std::nullopt;
  }
  for (const PlistValue& value : *items) {
    const PlistDict* item = value.asDict();
    if (!item) continue;
    if (attributeText(*item, "generic") == generic &&
        attributeText(*item, "accessGroup") == accessGroup) {
      const PlistValue* comment = item->find("comment");
      if (!comment) return std::nullopt;
      if (const std::string* s = comment->asString()) return *s;
      if (const PlistData* d = comment->asData()) return d->bytes;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace quillbox::platform
