// AutoLogin: renews the session without the user.
//
// Takes the login name ("usernamelogin" of the user-info plist) and the
// password (keychain item "quillbox" / "com.velmor.quillbox"), logs in on a
// worker thread and, on success, replaces the web-info plist with every
// element of the login reply that had text. A login name that is a mobile
// number is first turned into the account name by one look-up request.
// Outcomes are posted on the default in-process notification centre, on the
// worker thread: "AutoLoginNotice" with "AutoLoginFailed" or, after
// "updateUser", "AutoLoginSeccess".
//
// At most one attempt runs at a time (bGetting, an atomic exchange). Every
// attempt ends with exactly one of the two outcomes, also when a reply is not
// XML or never decides. Replies are read with libxml2's SAX2 parser without
// DTD loading and without entity expansion.
//
// Process-wide singleton, never destroyed. Safe for concurrent use from any
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "PropertyList/PlistValue.h"
#include "Request/RequestResult.h"

namespace quillbox {

class AutoLogin {
 public:
  static constexpr const char* kNoticeName = "AutoLoginNotice";
  static constexpr const char* kFailed = "AutoLoginFailed";
  static constexpr const char* kSuccess = "AutoLoginSeccess";
  static constexpr const char* kUpdateUser = "updateUser";
  static constexpr const char* kKeychainGeneric = "quillbox";
  static constexpr const char* kKeychainGroup = "com.velmor.quillbox";

  static AutoLogin& sharedAutoLogin();
  AutoLogin(const AutoLogin&) = delete;
  AutoLogin& operator=(const AutoLogin&) = delete;

  // Starts an attempt and returns at once; does nothing while one runs.
  // Any thread.
  void toAutoLogin();
  // Starts an attempt (or joins the one running) and blocks until it has
  // ended. True when it succeeded; false on failure or when `timeout` passed
  // first. Any thread except the attempt's own worker.
  bool toAutoLoginAndWait(std::chrono::seconds timeout = std::chrono::seconds(60));

  // Why the latest attempt that ended failed, in words a person can act on.
  struct Failure {
    enum class Kind {
      None,           // it succeeded (or none ended yet)
      NoCredentials,  // no login name or no stored password: no request was made
      Unreachable,    // no answer: no address, no route, refused connection, time-out
      Tls,            // the TLS handshake or the certificate's verification failed
      Refused,        // the service refused the credentials (errorResult, 401, 403)
      Other,          // an answer that decided nothing, the session not writable, ...
    };
    Kind kind = Kind::None;
    std::string detail;  // the service's message, the transport error, the path
  };
  Failure lastFailure();

  // True while an attempt runs.
  bool isGetting() const { return bGetting.load(); }
  // Callers blocked in toAutoLoginAndWait() (for tests that must know a
  // waiter has joined the running attempt).
  int waitersForTesting();

  std::string strUname() const;
  void setStrUname(const std::string& name);
  std::string strUpwd() const;
  void setStrUpwd(const std::string& password);

  // The steps of an attempt (worker thread; public as the system's interface).
  void isTelOrAccount();
  void getName();
  void AccountLogin();
  void loadLogin();
  // True (and the attempt failed) when `elementName` is "errorResult".
  bool errorLogin(const std::string& elementName);
  static std::string getAppLibFilePath(const std::string& name);

  // Tests and fuzzing: reads `text` as a reply of `mode` ("login" or
  // "getName") on a private instance, as an attempt's worker would. True or
  // false when the reply decided the attempt, nullopt when it did not. Like a
  // real attempt, a decided reply posts its outcome on the default centre and
  // a "login" success writes the web-info plist into the container. For an
  // undecided "getName" reply, `lookedUpName` (may be null) receives the
  // account name the attempt would log in with.
  static std::optional<bool> parseReplyForTesting(const std::string& mode, const std::string& text,
                                                  std::string* lookedUpName = nullptr);

  // Parser callbacks (called by the SAX handler).
  void didStartElement(const std::string& name);
  void foundCharacters(const std::string& chunk);
  void didEndElement(const std::string& name);

 private:
  AutoLogin() = default;
  // Claims the guard and starts an attempt, or joins the running one. Gives
  // the number of the attempt the caller waits for.
  uint64_t startAttempt();
  // Body of the worker thread of an attempt.
  void runAttempt();
  // Parses a reply with the SAX2 reader (no DTD, no entity expansion).
  void parseReply(const std::string& text);
  // After a look-up reply has been read: its "string" text (wherever the
  // element stood) becomes strUname; the reply's data is dropped.
  void takeLookedUpName();
  // Decides the current attempt once; later calls within the same attempt do
  // nothing. On the attempt's worker the outcome is held until the worker is
  // done with the reply (see runAttempt), elsewhere it is published at once.
  void finish(bool success);
  // Ends the attempt: clears the guard, wakes the waiters and posts the outcome.
  void publish(bool success);
  // Records why the current attempt fails (the first cause found wins).
  void noteFailure(Failure::Kind kind, const std::string& detail);
  // noteFailure for a request that got no decision from `result`.
  void noteRequestFailure(const RequestResult& result);

  std::atomic<bool> bGetting{false};
  std::atomic<bool> decided_{true};  // the current attempt has ended
  bool heldOutcome_ = false;         // decided on the worker, not yet published

  mutable std::mutex fieldsMu_;
  std::string strUname_;
  std::string strUpwd_;
  Failure failure_;  // of the running attempt

  Failure lastFailure_;  // of the latest ended attempt; guarded by waitMu_

  // Parse state of the attempt: touched only by its worker, which holds attemptMu_.
  std::mutex attemptMu_;
  std::string strWebElementName;
  std::string strCurrentElement;
  PlistDict dWebUserData;
  bool nameLookedUp_ = false;  // the one number look-up of this attempt ran

  // Waiters of toAutoLoginAndWait: attempt numbers and their outcomes.
  std::mutex waitMu_;
  std::condition_variable waitCv_;
  uint64_t startedAttempts_ = 0;
  uint64_t endedAttempts_ = 0;
  int waiters_ = 0;
  std::map<uint64_t, bool> outcomes_;
};

}  // namespace quillbox
