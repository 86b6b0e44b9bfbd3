#include "Platform/UI/Button.h"

namespace quillbox::platform {

std::shared_ptr<Button> Button::buttonWithType(Type type) {
  return std::shared_ptr<Button>(new Button(type));
}

void Button::addTarget(std::function<void()> action, uint32_t controlEvents) {
  if (action && controlEvents) targets_.emplace_back(controlEvents, std::move(action));
}

bool Button::hasTargetsForControlEvents(uint32_t controlEvents) const {
  for (const auto& t : targets_) {
    if (t.first & controlEvents) return true;
  }
  return false;
}

void Button::sendActionsForControlEvents(uint32_t controlEvents) {
  // An action may add targets; the ones registered when the event came run.
  auto targets = targets_;
  for (auto& t : targets) {
    if (t.first & controlEvents) t.second();
  }
}

}  // namespace quillbox::platform
