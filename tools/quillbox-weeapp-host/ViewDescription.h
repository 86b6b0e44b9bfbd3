// ViewDescription: a view tree as the JSON the page draws from.
//
// {"id", "kind" ("view", "imageView", "button"), "frame": [x, y, w, h],
//  "subviews": [...]} and, by kind, "image": {"url", "leftCap", "topCap"},
// "title", "titleInsets": [top, left, bottom, right], "font": {"family",
// "size"}, "tappable" (the view reacts to a tap). Pictures are published
// through PublishedFiles. REQUIRES: called on the main thread (views live there).
#pragma once

#include <nlohmann/json.hpp>

#include "Platform/UI/View.h"
#include "PublishedFiles.h"

namespace quillbox::weeapphost {

nlohmann::ordered_json describeView(const platform::View& view, PublishedFiles& files);

}  // namespace quillbox::weeapphost
