#include "RequestJournal.h"

namespace quillbox::devserver {

void RequestJournal::record(nlohmann::json entry) {
  std::lock_guard lock(mutex_);
  entry["seq"] = next_++;
  entries_.push_back(std::move(entry));
  while (entries_.size() > kMaxEntries) entries_.pop_front();
}

nlohmann::json RequestJournal::all() const {
  std::lock_guard lock(mutex_);
  nlohmann::json out = nlohmann::json::array();
  for (const auto& e : entries_) out.push_back(e);
  return out;
}

void RequestJournal::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace quillbox::devserver
