// Button: a control with a title and a background picture that sends actions
// for control events (touch up inside when a person taps it). Only the normal
// state is kept: the widget sets nothing else. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/UI/View.h"

namespace quillbox::platform {

// Control event masks, with the platform's values.
enum ControlEvent : uint32_t {
  kControlEventTouchDown = 1u << 0,
  kControlEventTouchUpInside = 1u << 6,
};

class Button : public View {
 public:
  enum class Type { Custom, RoundedRect };

  static std::shared_ptr<Button> buttonWithType(Type type);
  Kind kind() const override { return Kind::Button; }
  Type buttonType() const { return type_; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  const ViewImage& backgroundImage() const { return background_; }
  void setBackgroundImage(ViewImage image) { background_ = std::move(image); }
  // Moves the title's rectangle in from the button's edges; the title is
  // centred in what is left.
  EdgeInsets titleEdgeInsets() const { return titleInsets_; }
  void setTitleEdgeInsets(EdgeInsets insets) { titleInsets_ = insets; }
  const Font& titleFont() const { return titleFont_; }
  void setTitleFont(Font font) { titleFont_ = std::move(font); }

  // `action` runs for every event in `controlEvents` (a mask of ControlEvent).
  void addTarget(std::function<void()> action, uint32_t controlEvents);
  bool hasTargetsForControlEvents(uint32_t controlEvents) const;
  // Runs the actions registered for any event in `controlEvents`, in the order added.
  void sendActionsForControlEvents(uint32_t controlEvents);

 protected:
  void touchUpInside() override { sendActionsForControlEvents(kControlEventTouchUpInside); }

 private:
  explicit Button(Type type) : type_(type) {}
  Type type_;
  std::string title_;
  ViewImage background_;
  EdgeInsets titleInsets_;
  Font titleFont_;
  std::vector<std::pair<uint32_t, std::function<void()>>> targets_;
};

}  // namespace quillbox::platform
