// PublishedFiles: the files a page may fetch, each under a number of its own.
//
// Only pictures the widget shows (its bundle images, the evidence prompt's
// screenshot) are published; a page names them by "/file/N" and can reach no
// other file, whatever it asks for. Thread safety: any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace quillbox::weeapphost {

class PublishedFiles {
 public:
  // The page's address of `path` ("/file/N"), publishing it on first use.
  std::string urlFor(const std::string& path);
  // The path published under `number`; nullopt when none is.
  std::optional<std::string> pathFor(uint64_t number) const;
  // The content type the file's name suggests ("image/png", "image/jpeg",
  // else "application/octet-stream").
  static std::string contentTypeOf(const std::string& path);

 private:
  mutable std::mutex mu_;
  std::map<std::string, uint64_t> numbers_;
  std::map<uint64_t, std::string> paths_;
};

}  // namespace quillbox::weeapphost
