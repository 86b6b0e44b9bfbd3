// ImageView: a view that shows a picture stretched to its frame (a
// stretchable picture keeps its caps). Main thread only, like every view.
#pragma once

#include "Platform/UI/View.h"

namespace quillbox::platform {

class ImageView : public View {
 public:
  ImageView(Rect frame, ViewImage image) : View(frame), image_(std::move(image)) {}
  Kind kind() const override { return Kind::ImageView; }
  const ViewImage& image() const { return image_; }
  void setImage(ViewImage image) { image_ = std::move(image); }

 private:
  ViewImage image_;
};

}  // namespace quillbox::platform
