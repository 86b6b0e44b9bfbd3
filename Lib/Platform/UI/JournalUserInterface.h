// JournalUserInterface: the user-interface kit as a journal of JSON lines.
//
// Each event is written as one JSON object on one line, flushed at once, to a
// file (appended; several processes may share it) or to standard output, so
// a person can follow it (tail -f) and a test can read it. Members: "event",
// the members of the event, "time" (local ISO 8601 time with milliseconds and
// offset) and "pid". Texts are written as UTF-8 (bytes that are not valid
// UTF-8 become U+FFFD). Alerts are answered by a fixed policy on the main run
// loop right after they were shown: Confirm taps the last button, Decline
// index 0, None never answers.
//
// Thread safety: safe for concurrent use from any thread; a line is written
// with one write() to a descriptor opened with O_APPEND, so lines of threads
// and processes never interleave.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/UI/UserInterface.h"

namespace quillbox::platform {

class JournalUserInterface : public UserInterface {
 public:
  enum class PromptPolicy { Confirm, Decline, None };

  // `target`: a file path (created 0644 with missing parent folders, then
  // appended to) or "-" for standard output. When the file cannot be opened
  // a log line says so and events are dropped.
  JournalUserInterface(const std::string& target, PromptPolicy policy);
  ~JournalUserInterface() override;

  // "confirm", "decline", "none"; nullopt for anything else.
  static std::optional<PromptPolicy> parsePolicy(const std::string& text);
  // The backend for a QUILLBOX_UI value and a QUILLBOX_PROMPT value; nullptr
  // when `ui` names no journal ("journal:PATH" or "journal:-"). An unknown
  // policy logs a line and counts as "none".
  static std::unique_ptr<JournalUserInterface> fromSettings(const std::string& ui,
                                                            const std::string& prompt);

  bool isOpen() const;

  void showToast(const std::string& text, ToastPosition pos, int durationMs) override;
  void showAlert(std::shared_ptr<AlertView> alert) override;
  void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                            bool animated) override;
  void openURL(const std::string& url) override;
  void setIdleTimerDisabled(bool disabled) override;

  // Answers a shown alert by hand: writes "alertAnswer" with "by": "user" and
  // calls the delegate, on the main run loop. An index outside the buttons is
  // refused with a log line.
  void answerAlert(const std::shared_ptr<AlertView>& alert, int index);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with answers still queued on the main loop
};

}  // namespace quillbox::platform
