// PNGEncoder: PNG files written on several cores at once.
//
// The picture is cut into strips of rows. Each strip chooses its own row
// filter and deflate strategy from a sample of its rows, is filtered and
// deflated on whichever worker takes it (the caller's thread and up to three
// threads of the call's own, all joined before encode returns), and ends on a
// full flush, so the strips' outputs joined in order make one zlib stream; its
// Adler-32 is combined from the strips'. The result is a standard PNG
// (IHDR, IDAT..., IEND) that any reader decodes to exactly the given pixels.
//
// Class operations only, safe for concurrent use from any thread.
#pragma once

#include <optional>
#include <string>

#include "Platform/Media/Image.h"
#include "Platform/Media/ImageCodec.h"

namespace quillbox::platform {

class PNGEncoder {
 public:
  // The PNG bytes of `img` (8-bit RGB when every pixel is opaque, else RGBA),
  // or nullopt when `img` is not valid or deflate fails.
  static std::optional<std::string> encode(const Image& img, const ImageCodec::PNGOptions& options);

  PNGEncoder() = delete;
};

}  // namespace quillbox::platform
