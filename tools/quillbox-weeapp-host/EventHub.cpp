#include "EventHub.h"

#include "Platform/Process/Log.h"

namespace quillbox::weeapphost {

namespace {
const char kDroppedLog[] = "quillbox-weeapp-host: page %llu reads no events; its stream is closed";
}

uint64_t EventHub::subscribe() {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t id = nextId_++;
  if (!closed_) clients_[id];
  return id;
}

void EventHub::unsubscribe(uint64_t client) {
  std::lock_guard<std::mutex> lock(mu_);
  clients_.erase(client);
  changed_.notify_all();
}

void EventHub::sendTo(uint64_t client, const std::string& name, const std::string& data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = clients_.find(client);
  if (it == clients_.end()) return;
  if (it->second.queue.size() >= kMaxQueued) {
    platform::Log::printf(kDroppedLog, static_cast<unsigned long long>(client));
    clients_.erase(it);
  } else {
    it->second.queue.push_back(Event{name, data});
  }
  changed_.notify_all();
}

void EventHub::broadcast(const std::string& name, const std::string& data) {
  for (uint64_t c : clients()) sendTo(c, name, data);
}

std::optional<EventHub::Event> EventHub::next(uint64_t client, std::chrono::milliseconds timeout,
                                              bool* gone) {
  std::unique_lock<std::mutex> lock(mu_);
  *gone = false;
  auto ready = [&] {
    auto it = clients_.find(client);
    return closed_ || it == clients_.end() || !it->second.queue.empty();
  };
  changed_.wait_for(lock, timeout, ready);
  auto it = clients_.find(client);
  if (closed_ || it == clients_.end()) {
    *gone = true;
    return std::nullopt;
  }
  if (it->second.queue.empty()) return std::nullopt;
  Event e = std::move(it->second.queue.front());
  it->second.queue.pop_front();
  return e;
}

std::vector<uint64_t> EventHub::clients() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint64_t> ids;
  for (const auto& [id, c] : clients_) ids.push_back(id);
  return ids;
}

void EventHub::acknowledge(uint64_t client, uint64_t seq) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = clients_.find(client);
  if (it == clients_.end()) return;
  if (seq > it->second.acknowledged) it->second.acknowledged = seq;
  changed_.notify_all();
}

bool EventHub::waitForAcknowledgements(const std::vector<uint64_t>& clients, uint64_t seq,
                                       std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] {
    if (closed_) return true;
    for (uint64_t c : clients) {
      auto it = clients_.find(c);
      if (it != clients_.end() && it->second.acknowledged < seq) return false;
    }
    return true;
  });
}

void EventHub::close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  clients_.clear();
  changed_.notify_all();
}

}  // namespace quillbox::weeapphost
