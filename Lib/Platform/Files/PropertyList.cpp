#include "Platform/Files/PropertyList.h"

#include <cerrno>
#include <limits>
#include <mutex>

#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Log.h"
#include "PropertyList/PlistBinaryReader.h"
#include "PropertyList/PlistBinaryWriter.h"
#include "PropertyList/PlistXmlReader.h"
#include "PropertyList/PlistXmlWriter.h"

namespace quillbox::platform {
namespace {
constexpr const char* kLogUnreadable = "plist: unreadable property list %s";
constexpr const char* kLogUnwritable = "plist: refused to write %s: %s";
}  // namespace

std::optional<PlistValue> PropertyList::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (PlistBinaryReader::looksBinary(bytes)) return PlistBinaryReader::parse(bytes);
  return PlistXmlReader::parse(bytes);
}

std::optional<PlistValue> PropertyList::parseXmlDirect(std::string_view text) {
  return PlistXmlReader::parse(text);
}

std::string PropertyList::toXml(const PlistValue& value) {
  std::string why;
  auto xml = PlistXmlWriter::write(value, &why);
  if (!xml) Log::printf(kLogUnwritable, "XML", why.c_str());
  return xml.value_or("");
}

std::string PropertyList::toBinary(const PlistValue& value) {
  std::string why;
  auto bin = PlistBinaryWriter::write(value, &why);
  if (!bin) Log::printf(kLogUnwritable, "a binary plist", why.c_str());
  return bin.value_or("");
}

std::optional<PlistValue> PropertyList::read(const std::string& path) {
  auto bytes = FileSystem::Default().readFile(path);
  if (!bytes) return std::nullopt;
  auto v = parse(*bytes);
  if (!v) Log::printf(kLogUnreadable, path.c_str());
  return v;
}

PlistDict PropertyList::readDictionary(const std::string& path) {
  auto v = read(path);
  if (v && v->asDict()) return std::move(*v->asDict());
  return PlistDict();
}

Outcome PropertyList::write(const std::string& path, const PlistValue& value) {
  // A store-sized text is several megabytes: one buffer is kept between
  // writes, so its pages are not faulted in afresh every time (a writer that
  // finds it taken uses a buffer of its own).
  // (Never destroyed: a detached thread may still write while the process exits.)
  static auto* poolMutex = new std::mutex;
  static auto* pool = new std::string;
  std::string buffer;
  {
    std::lock_guard<std::mutex> lock(*poolMutex);
    buffer.swap(*pool);
  }
  std::string why;
  Outcome written;
  if (!PlistXmlWriter::write(value, buffer, &why)) {
    // The file keeps what it held: a strict reader would refuse the new text.
    Log::printf(kLogUnwritable, path.c_str(), (why + "; the file is left as it was").c_str());
    written = Outcome::failure(why, EINVAL);
  } else {
    written = FileSystem::Default().writeAtomically(path, buffer);
  }
  std::lock_guard<std::mutex> lock(*poolMutex);
  if (buffer.capacity() > pool->capacity()) buffer.swap(*pool);
  return written;
}

}  // namespace quillbox::platform
