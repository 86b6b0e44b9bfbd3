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
//   {"chaos": {"percent": 30, "seed": 7, "delayMs": 32000, "delays": 2,
//              "resource": "file/safe.json"}}
//       from now on each API request (of the resource, or of every one
//       without it) meets a fault with that probability, drawn from a
//       generator seeded with `seed`: a 500 or 502 reply, a 200 reply whose
//       JSON or XML body is malformed (never for an upload body: its reply
//       is not read), a connection cut mid-body (uploads), or, at most
//       `delays` times, a reply delayed by `delayMs` (beyond the client's
//       time-outs). percent 0 ends it. describe() counts what was injected.
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
#include <random>
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
  // Consumes one pending drop for an upload whose body is `bodyLength` bytes
  // (nullopt: not declared); gives the bytes to keep. A staged drop waits for
  // an upload it can cut mid-body, so a short resumed tail doesn't use it up.
  std::optional<int64_t> takeUploadDrop(std::optional<int64_t> bodyLength);
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
  struct Chaos {
    int percent = 0;
    std::string resource;  // "" = every API request
    int64_t delayMs = 0;
    int delaysLeft = 0;
    std::mt19937_64 rng;
    std::map<std::string, int64_t> injected;  // kind -> count
  };
  bool applyChaos(const nlohmann::json& item, std::string* error);
  // REQUIRES: mutex_ held. True with the chaos probability for `resource`.
  bool chaosStrikes(const std::string& resource) const;

  mutable std::mutex mutex_;
  std::deque<Failure> failures_;
  std::deque<Drop> drops_;
  std::map<std::string, int64_t> delays_;  // "" = every request
  mutable Chaos chaos_;                    // drawn from by the const delayFor() too
};

}  // namespace quillbox::devserver
