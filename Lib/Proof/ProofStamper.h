// ProofStamper: the time stamps of proofs, taken in the background until they arrive.
//
// One worker thread of its own (started on first use, living as long as the
// process) asks the authority of QUILLBOX_TSA_URL for each queued proof's time
// stamp (EvidenceProof::stamp). A try that fails is repeated after 2 seconds,
// then after twice the previous wait, up to 5 minutes between tries, until the
// stamp is stored or the proof is gone. Nobody ever waits for it.
//
// Thread safety: every operation may be called from any thread and returns at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace quillbox {

class ProofStamper {
 public:
  static constexpr std::chrono::seconds kFirstRetry{2};
  static constexpr std::chrono::seconds kLongestRetry{300};

  ProofStamper(const ProofStamper&) = delete;
  ProofStamper& operator=(const ProofStamper&) = delete;

  // The process-wide instance; never destroyed.
  static ProofStamper& shared();

  // Queues the time stamp of the proof whose sidecar is `jsonPath` (tried at
  // once). Nothing when QUILLBOX_TSA_URL is unset or the proof is queued already.
  void enqueue(const std::string& jsonPath);
  // Queues, from the worker thread, every proof in the container's
  // Library/Proofs/<user>/ folders (all users) that has no time stamp yet.
  // Nothing when QUILLBOX_TSA_URL is unset.
  void stampPendingProofs();

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::string json;
    Clock::time_point due;
    std::chrono::seconds wait;  // before the next try, after a failure
  };

  ProofStamper() = default;
  void startLocked();
  void enqueueLocked(const std::string& jsonPath);
  void run();
  void scan();

  std::mutex mu_;
  std::condition_variable wake_;
  std::vector<Entry> queue_;
  std::string inFlight_;
  bool scanRequested_ = false;
  bool started_ = false;
};

}  // namespace quillbox
