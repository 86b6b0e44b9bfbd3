#include "Platform/UI/View.h"

#include <atomic>

#include "Platform/UI/TapGestureRecognizer.h"

namespace quillbox::platform {
namespace {
std::atomic<uint64_t> gNextViewId{1};
}

View::View(Rect frame) : viewId_(gNextViewId.fetch_add(1)), frame_(frame) {}

View::~View() {
  for (auto& v : subviews_) v->superview_ = nullptr;
}

void View::addSubview(std::shared_ptr<View> view) {
  if (!view || view->superview_) return;
  view->superview_ = this;
  subviews_.push_back(std::move(view));
}

void View::addGestureRecognizer(std::shared_ptr<TapGestureRecognizer> recognizer) {
  if (recognizer) recognizers_.push_back(std::move(recognizer));
}

void View::tap() {
  bool taken = false;
  for (auto& r : recognizers_) {
    if (r->numberOfTapsRequired() == 1 && r->isEnabled()) {
      r->recognize();
      taken = true;
    }
  }
  if (!taken) touchUpInside();
}

View* View::viewWithId(uint64_t id) {
  if (viewId_ == id) return this;
  for (auto& v : subviews_) {
    if (View* found = v->viewWithId(id)) return found;
  }
  return nullptr;
}

}  // namespace quillbox::platform
