#include "Platform/Media/ImageCodec.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "Platform/Media/PNGEncoder.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

// Log lines of this module.
constexpr const char* kLogEncodeInvalid = "ImageCodec: cannot encode an invalid image (%dx%d)";
constexpr const char* kLogPNGEncodeFailed = "ImageCodec: PNG encoding failed: %s";
constexpr const char* kLogPNGDecodeFailed = "ImageCodec: PNG decoding failed: %s";
constexpr const char* kLogJPEGEncodeFailed = "ImageCodec: JPEG encoding failed: %s";

// Largest picture decodePNG accepts: beyond any screen, and well within memory.
constexpr png_uint_32 kMaxSide = 32768;
constexpr uint64_t kMaxPixels = 1ull << 27;

// State shared with libpng's callbacks. Everything that must survive a longjmp
// lives here and is reached through a pointer, never in a register-held local.
struct PNGState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[256] = "";
  // Reading.
  const unsigned char* data = nullptr;
  size_t size = 0, offset = 0;
};

PNGState* stateOf(png_structp png) {
  return static_cast<PNGState*>(png_get_error_ptr(png));
}

[[noreturn]] void onError(png_structp png, png_const_charp msg) {
  PNGState* st = stateOf(png);
  snprintf(st->message, sizeof st->message, "%s", msg ? msg : "unknown error");
  png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

void readFromMemory(png_structp png, png_bytep dst, size_t n) {
  auto* st = static_cast<PNGState*>(png_get_io_ptr(png));
  if (n > st->size - st->offset) png_error(png, "truncated data");
  memcpy(dst, st->data + st->offset, n);
  st->offset += n;
}

bool allOpaque(const Image& img) {
  for (size_t i = 3; i < img.rgba.size(); i += 4)
    if (img.rgba[i] != 255) return false;
  return true;
}

// Runs the decoding into *img; false after a libpng error or a refused size.
bool decodeInto(PNGState* st, Image* img, std::vector<png_bytep>* rows) {
  if (setjmp(png_jmpbuf(st->png))) return false;
  png_set_read_fn(st->png, st, readFromMemory);
  png_set_user_limits(st->png, kMaxSide, kMaxSide);
  png_read_info(st->png, st->info);
  const png_uint_32 w = png_get_image_width(st->png, st->info);
  const png_uint_32 h = png_get_image_height(st->png, st->info);
  if (static_cast<uint64_t>(w) * h > kMaxPixels) png_error(st->png, "image too large");
  const int colorType = png_get_color_type(st->png, st->info);
  const int depth = png_get_bit_depth(st->png, st->info);

  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(st->png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(st->png);
  if (png_get_valid(st->png, st->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(st->png);
  if (depth == 16) png_set_scale_16(st->png);  // rounds, as 65535 -> 255 scaling should
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
    png_set_gray_to_rgb(st->png);
  png_set_add_alpha(st->png, 0xff, PNG_FILLER_AFTER);  // no-op when alpha is already there
  png_set_interlace_handling(st->png);
  png_read_update_info(st->png, st->info);
  if (png_get_rowbytes(st->png, st->info) != static_cast<size_t>(w) * 4)
    png_error(st->png, "unexpected row layout");

  img->width = static_cast<int>(w);
  img->height = static_cast<int>(h);
  img->rgba.assign(static_cast<size_t>(w) * h * 4, 0);
  rows->resize(h);
  for (png_uint_32 y = 0; y < h; ++y) (*rows)[y] = &img->rgba[static_cast<size_t>(y) * w * 4];
  png_read_image(st->png, rows->data());
  png_read_end(st->png, nullptr);
  return true;
}

}  // namespace

ImageCodec::PNGOptions ImageCodec::defaultPNGOptions() {
  return PNGOptions{};
}

std::optional<std::string> ImageCodec::encodePNG(const Image& img) {
  return encodePNG(img, defaultPNGOptions());
}

std::optional<std::string> ImageCodec::encodePNG(const Image& img, const PNGOptions& options) {
  if (!img.valid()) {
    Log::printf(kLogEncodeInvalid, img.width, img.height);
    return std::nullopt;
  }
  auto png = PNGEncoder::encode(img, options);
  if (!png) Log::printf(kLogPNGEncodeFailed, "deflate failed");
  return png;
}

std::optional<Image> ImageCodec::decodePNG(std::string_view bytes) {
  if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) != 0) {
    Log::printf(kLogPNGDecodeFailed, "not a PNG signature");
    return std::nullopt;
  }
  PNGState st;
  st.data = reinterpret_cast<const unsigned char*>(bytes.data());
  st.size = bytes.size();
  st.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &st, onError, onWarning);
  if (st.png) st.info = png_create_info_struct(st.png);
  if (!st.png || !st.info) {
    png_destroy_read_struct(&st.png, nullptr, nullptr);
    Log::printf(kLogPNGDecodeFailed, "out of memory");
    return std::nullopt;
  }
  Image img;
  std::vector<png_bytep> rows;
  const bool ok = decodeInto(&st, &img, &rows);
  png_destroy_read_struct(&st.png, &st.info, nullptr);
  if (!ok) {
    Log::printf(kLogPNGDecodeFailed, st.message);
    return std::nullopt;
  }
  return img;
}

std::optional<std::string> ImageCodec::encodeJPEG(const Image& img, int quality) {
  if (!img.valid()) {
    Log::printf(kLogEncodeInvalid, img.width, img.height);
    return std::nullopt;
  }
  quality = std::clamp(quality, 1, 100);
  const uint8_t* pixels = img.rgba.data();
  std::vector<uint8_t> flattened;
  if (!allOpaque(img)) {
    flattened.resize(img.rgba.size());
    for (size_t i = 0; i < img.rgba.size(); i += 4) {
      const unsigned a = img.rgba[i + 3];
      for (int c = 0; c < 3; ++c) flattened[i + c] = (img.rgba[i + c] * a + 127) / 255;
      flattened[i + 3] = 255;
    }
    pixels = flattened.data();
  }
  tjhandle tj = tjInitCompress();
  if (!tj) {
    Log::printf(kLogJPEGEncodeFailed, tjGetErrorStr());
    return std::nullopt;
  }
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  const int subsamp = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
  const int rc = tjCompress2(tj, pixels, img.width, img.width * 4, img.height, TJPF_RGBX, &buf,
                             &size, subsamp, quality, TJFLAG_ACCURATEDCT);
  std::optional<std::string> out;
  if (rc == 0) {
    out.emplace(reinterpret_cast<const char*>(buf), size);
  } else {
    Log::printf(kLogJPEGEncodeFailed, tjGetErrorStr2(tj));
  }
  tjFree(buf);
  tjDestroy(tj);
  return out;
}

}  // namespace quillbox::platform
