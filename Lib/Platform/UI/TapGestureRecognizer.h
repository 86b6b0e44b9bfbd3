// TapGestureRecognizer: calls an action when its view is tapped the required
// number of times (see View::tap). Main thread only, like its view.
#pragma once

#include <functional>

namespace quillbox::platform {

class TapGestureRecognizer {
 public:
  explicit TapGestureRecognizer(std::function<void()> action) : action_(std::move(action)) {}

  int numberOfTapsRequired() const { return taps_; }
  void setNumberOfTapsRequired(int taps) { taps_ = taps; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

  // The gesture was recognised: runs the action.
  void recognize() {
    if (action_) action_();
  }

 private:
  std::function<void()> action_;
  int taps_ = 1;
  bool enabled_ = true;
};

}  // namespace quillbox::platform
