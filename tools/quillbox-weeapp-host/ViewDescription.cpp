#include "ViewDescription.h"

#include "Platform/UI/Button.h"
#include "Platform/UI/ImageView.h"

namespace quillbox::weeapphost {

using Json = nlohmann::ordered_json;

namespace {
Json imageJson(const platform::ViewImage& image, PublishedFiles& files) {
  if (image.path.empty()) return nullptr;
  return Json{{"url", files.urlFor(image.path)},
              {"leftCap", image.leftCapWidth},
              {"topCap", image.topCapHeight}};
}
}  // namespace

Json describeView(const platform::View& view, PublishedFiles& files) {
  platform::Rect f = view.frame();
  Json j{{"id", view.viewId()}, {"frame", Json::array({f.x, f.y, f.width, f.height})}};
  bool tappable = !view.gestureRecognizers().empty();
  switch (view.kind()) {
    case platform::View::Kind::View:
      j["kind"] = "view";
      break;
    case platform::View::Kind::ImageView:
      j["kind"] = "imageView";
      j["image"] = imageJson(static_cast<const platform::ImageView&>(view).image(), files);
      break;
    case platform::View::Kind::Button: {
      const auto& b = static_cast<const platform::Button&>(view);
      platform::EdgeInsets in = b.titleEdgeInsets();
      j["kind"] = "button";
      j["title"] = b.title();
      j["image"] = imageJson(b.backgroundImage(), files);
      j["titleInsets"] = Json::array({in.top, in.left, in.bottom, in.right});
      j["font"] = Json{{"family", b.titleFont().family}, {"size", b.titleFont().size}};
      tappable = tappable || b.hasTargetsForControlEvents(platform::kControlEventTouchUpInside);
      break;
    }
  }
  j["tappable"] = tappable;
  Json subviews = Json::array();
  for (const auto& v : view.subviews()) subviews.push_back(describeView(*v, files));
  j["subviews"] = std::move(subviews);
  return j;
}

}  // namespace quillbox::weeapphost
