// FaultSwitches: failures that tests ask the development server to stage.
//
// Three kinds, set by flags at start or at run time (POST /__admin/faults):
//   {"resource": "file/safe.json", "count": 2, "status": 500, "body": ""}
//       the next `count` requests of the resource are answered with `status`
//       and `body` (resource "*" matches every API request);
//   {"dropAfterBytes": 100, "count": 1}
//       the next `count` uploads (file/upload.json?id=&index=) keep the first
//       100 body bytes and then lose their connection, with no reply;
//   {"delayMs": 1500, "resource": "file/length.json"}
//       replies of the resource (or of every request without "resource") wait
//       that long; 0 removes the delay.
// A JSON array of such objects sets several at once. Resources are paths
// relative to the API base ("login.json", "file/create.json", ...). Safe for
// concurrent use from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quillbox::devserver {

struct StagedReply {
  int status = 500;
  std::string body;
};

class FaultSwitches {
 public:
  // Adds the switches described by `faults` (an object or an array of objects).
  // false (with `error`) when it is malformed; then nothing is changed.
  bool apply(const nlohmann::json& faults, std::string* error);
  // Flag forms: "RESOURCE:COUNT:STATUS" for a failure, "BYTES" or "BYTES:COUNT"
  // for a dropped upload, "MS" or "RESOURCE:MS" for a delay.
  bool applyFailureFlag(const std::string& text, std::string* error);
  bool applyDropFlag(const std::string& text, std::string* error);
  bool applyDelayFlag(const std::string& text, std::string* error);

  void clear();
  // The switches in force, in the form apply() takes.
  nlohmann::json describe() const;

  // Consumes one staged failure for `resource`, when one is pending.
  std::optional<StagedReply> takeFailure(const std::string& resource);
  // Consumes one pending drop; gives the bytes to keep.
  std::optional<int64_t> takeUploadDrop();
  // Delay for a request of `resource` in milliseconds (0 for none).
  int64_t delayFor(const std::string& resource) const;

 private:
  struct Failure {
    std::string resource;
    int count;
    StagedReply reply;
  };
  struct Drop {
    int64_t afterBytes;
    int count;
  };

  mutable std::mutex mutex_;
  std::deque<Failure> failures_;
  std::deque<Drop> drops_;
  std::map<std::string, int64_t> delays_;  // "" = every request
};

}  // namespace quillbox::devserver
