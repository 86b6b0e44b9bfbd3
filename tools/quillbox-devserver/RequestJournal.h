// RequestJournal: the requests the development server has answered, kept in
// memory for tests (GET /__admin/requests). Bounded: the oldest entries go
// once it holds kMaxEntries. Safe for concurrent use from any thread.
#pragma once

#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>

namespace quillbox::devserver {

class RequestJournal {
 public:
  static constexpr size_t kMaxEntries = 10000;

  void record(nlohmann::json entry);
  // Every entry, oldest first, as a JSON array.
  nlohmann::json all() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<nlohmann::json> entries_;
  int64_t next_ = 1;
};

}  // namespace quillbox::devserver
