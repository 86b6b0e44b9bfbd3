// View: a rectangle of the interface with the views inside it, the small view
// kit a widget plug-in builds its interface with and a host shows.
//
// A view has a frame in its superview's coordinates (points), subviews in
// back-to-front order and gesture recognisers. Every view gets an id, unique
// in the process and never 0, by which a host names it (a click on a page).
// ImageView and Button add pictures, titles and actions.
//
// Thread safety: like the platform's own views, a view tree is built and used
// on the main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillbox::platform {

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
};

struct EdgeInsets {
  double top = 0, left = 0, bottom = 0, right = 0;
};

// A font by family ("system") and size in points.
struct Font {
  std::string family = "system";
  double size = 17;
  static Font systemFontOfSize(double size) { return Font{"system", size}; }
};

// A picture read from a file. A stretchable picture keeps its left `leftCapWidth`
// and top `topCapHeight` points and stretches the column and row after them
// (0: no cap on that axis).
struct ViewImage {
  std::string path;
  int leftCapWidth = 0;
  int topCapHeight = 0;

  static ViewImage imageWithContentsOfFile(std::string path) {
    return ViewImage{std::move(path), 0, 0};
  }
  ViewImage stretchableImage(int leftCap, int topCap) const {
    return ViewImage{path, leftCap, topCap};
  }
};

class TapGestureRecognizer;

class View {
 public:
  enum class Kind { View, ImageView, Button };

  explicit View(Rect frame = {});
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View();

  virtual Kind kind() const { return Kind::View; }
  uint64_t viewId() const { return viewId_; }
  Rect frame() const { return frame_; }
  void setFrame(Rect frame) { frame_ = frame; }

  // Adds `view` on top of the existing subviews.
  // REQUIRES: `view` has no superview yet.
  void addSubview(std::shared_ptr<View> view);
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  View* superview() const { return superview_; }

  void addGestureRecognizer(std::shared_ptr<TapGestureRecognizer> recognizer);
  const std::vector<std::shared_ptr<TapGestureRecognizer>>& gestureRecognizers() const {
    return recognizers_;
  }

  // One tap of a person's finger on this view. A tap recogniser that asks for
  // one tap takes it and calls its action (the touches then never reach the
  // view); otherwise the view handles the touch itself (a button sends its
  // touch-up-inside actions).
  void tap();

  // This view or the view below it with `id`; nullptr when there is none.
  View* viewWithId(uint64_t id);

 protected:
  // The touch that no recogniser took. A plain view ignores it.
  virtual void touchUpInside() {}

 private:
  const uint64_t viewId_;
  Rect frame_;
  View* superview_ = nullptr;
  std::vector<std::shared_ptr<View>> subviews_;
  std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers_;
};

}  // namespace quillbox::platform
