// EventHub: the live feed of the host's pages (server-sent events).
//
// Every page that opens the event stream is a client with its own queue of
// events (name + JSON text); broadcast() appends to every queue and wakes the
// client's stream. A client that does not read (more than kMaxQueued events
// waiting) is dropped, so a stuck page can't hold memory. Acknowledgements
// let the host wait until every page has done something (taken its toasts
// down) before it goes on.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillbox::weeapphost {

class EventHub {
 public:
  static constexpr size_t kMaxQueued = 512;

  struct Event {
    std::string name;
    std::string data;  // JSON text, one line
  };

  // A new client; its queue starts empty.
  uint64_t subscribe();
  void unsubscribe(uint64_t client);
  // Appends the event to one client's queue (unknown clients are ignored).
  void sendTo(uint64_t client, const std::string& name, const std::string& data);
  void broadcast(const std::string& name, const std::string& data);
  // The client's next event, waiting up to `timeout`. nullopt on time-out;
  // `gone` becomes true when the client was dropped or the hub closed (the
  // stream should end).
  std::optional<Event> next(uint64_t client, std::chrono::milliseconds timeout, bool* gone);
  std::vector<uint64_t> clients() const;

  // Records that `client` has handled request `seq`.
  void acknowledge(uint64_t client, uint64_t seq);
  // Waits until each of `clients` has acknowledged `seq` (or is gone). False
  // when `timeout` passed first.
  bool waitForAcknowledgements(const std::vector<uint64_t>& clients, uint64_t seq,
                               std::chrono::milliseconds timeout);

  // Ends every stream; later subscriptions end at once.
  void close();

 private:
  struct Client {
    std::deque<Event> queue;
    uint64_t acknowledged = 0;
  };
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::map<uint64_t, Client> clients_;
  uint64_t nextId_ = 1;
  bool closed_ = false;
};

}  // namespace quillbox::weeapphost
