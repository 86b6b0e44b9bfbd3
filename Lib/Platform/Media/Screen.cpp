#include "Platform/Media/Screen.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include "Platform/Files/FileSystem.h"
#include "Platform/Media/AutoScreen.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/PortalScreen.h"
#include "Platform/Media/ScreenComposer.h"
#include "Platform/Media/WaylandScreen.h"
#include "Platform/Media/X11Screen.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/TimeFormat.h"

namespace quillbox::platform {
namespace {

// Log lines of this module.
constexpr const char* kLogBadSetting =
    "Screen: unknown screen \"%s\" (use auto, x11, wayland, portal, file:PATH or synthetic)";
// Reasons of refused captures.
constexpr const char* kBadSetting =
    "QUILLBOX_SCREEN \"%s\" is not a screen (use auto, x11, wayland, portal, file:PATH or "
    "synthetic; unset it for auto)";
constexpr const char* kFileUnreadable = "cannot read the screen file %s";
constexpr const char* kFileNotPNG = "the screen file %s is not a readable PNG";

constexpr int kSyntheticWidth = 640;
constexpr int kSyntheticHeight = 1136;
constexpr int kMaxSyntheticSide = 16384;

class FileScreen final : public Screen {
 public:
  explicit FileScreen(std::string path) : path_(std::move(path)) {}
  ScreenCapture capture() override {
    auto bytes = FileSystem::Default().readFile(path_);
    if (!bytes)
      return ScreenCapture::refused(ScreenFailure::Unreadable,
                                    strprintf(kFileUnreadable, path_.c_str()));
    auto img = ImageCodec::decodePNG(*bytes);
    if (!img)
      return ScreenCapture::refused(ScreenFailure::Unreadable,
                                    strprintf(kFileNotPNG, path_.c_str()));
    ScreenComposer::flattenOverBlack(*img);
    return ScreenCapture::of(std::move(*img), {"file", {}});
  }

 private:
  const std::string path_;
};

class SyntheticScreen final : public Screen {
 public:
  SyntheticScreen(int w, int h) : width_(w), height_(h) {}
  ScreenCapture capture() override {
    const std::tm tm = TimeFormat::calendar(Clock::Default().now(), TimeFormat::Zone::Local);
    return ScreenCapture::of(
        renderSyntheticScreen(width_, height_, tm.tm_hour, tm.tm_min, tm.tm_sec),
        {"synthetic", {}});
  }

 private:
  const int width_, height_;
};

// What an unusable setting leaves: every capture refused with the setting named.
class RefusingScreen final : public Screen {
 public:
  explicit RefusingScreen(std::string reason) : reason_(std::move(reason)) {}
  ScreenCapture capture() override {
    return ScreenCapture::refused(ScreenFailure::NoDisplay, reason_);
  }

 private:
  const std::string reason_;
};

// "WxH" with both sides in 1..kMaxSyntheticSide.
bool parseSize(const std::string& text, int* w, int* h) {
  const auto x = text.find('x');
  if (x == std::string::npos || x == 0 || x + 1 == text.size()) return false;
  auto number = [](const std::string& s, int* out) {
    if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
    *out = std::stoi(s);
    return *out >= 1 && *out <= kMaxSyntheticSide;
  };
  return number(text.substr(0, x), w) && number(text.substr(x + 1), h);
}

std::atomic<Screen*>& testScreen() {
  static std::atomic<Screen*> s{nullptr};
  return s;
}

// --- Drawing of the synthetic picture ---------------------------------------

struct Canvas {
  Image& img;
  void put(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
    uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
    p[0] = r, p[1] = g, p[2] = b, p[3] = 255;
  }
  void rect(int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    for (int y = std::max(0, y0); y < std::min(img.height, y0 + h); ++y)
      for (int x = std::max(0, x0); x < std::min(img.width, x0 + w); ++x) put(x, y, r, g, b);
  }
  void disc(int cx, int cy, int radius, uint8_t r, uint8_t g, uint8_t b) {
    for (int y = cy - radius; y <= cy + radius; ++y)
      for (int x = cx - radius; x <= cx + radius; ++x)
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) put(x, y, r, g, b);
  }
};

// 3x5 block glyphs for "0".."9" and ":", one row a string.
const char* const kGlyphs[11][5] = {
    {"###", "#.#", "#.#", "#.#", "###"}, {".#.", "##.", ".#.", ".#.", "###"},
    {"###", "..#", "###", "#..", "###"}, {"###", "..#", "###", "..#", "###"},
    {"#.#", "#.#", "###", "..#", "..#"}, {"###", "#..", "###", "..#", "###"},
    {"###", "#..", "###", "#.#", "###"}, {"###", "..#", ".#.", ".#.", ".#."},
    {"###", "#.#", "###", "#.#", "###"}, {"###", "#.#", "###", "..#", "###"},
    {"...", ".#.", "...", ".#.", "..."},
};

void drawText(Canvas& c, const std::string& text, int x, int y, int block, uint8_t r, uint8_t g,
              uint8_t b) {
  for (char ch : text) {
    const int g_index = ch == ':' ? 10 : ch - '0';
    if (g_index < 0 || g_index > 10) continue;
    for (int row = 0; row < 5; ++row)
      for (int col = 0; col < 3; ++col)
        if (kGlyphs[g_index][row][col] == '#')
          c.rect(x + col * block, y + row * block, block, block, r, g, b);
    x += 4 * block;
  }
}

}  // namespace

Image renderSyntheticScreen(int width, int height, int hour, int minute, int second) {
  Image img;
  if (width < 1 || height < 1) return img;
  img.width = width;
  img.height = height;
  img.rgba.resize(static_cast<size_t>(width) * height * 4);
  Canvas c{img};

  // Background: a diagonal gradient from deep blue to violet, its hue drifting with the minute.
  const int drift = (minute * 4) % 64;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int t = (x * 96 / width) + (y * 160 / height);
      c.put(x, y, static_cast<uint8_t>(20 + t / 2 + drift), static_cast<uint8_t>(40 + t / 4),
            static_cast<uint8_t>(120 + t / 3));
    }
  }
  // A status bar, a grid of "icons" and a few discs, placed relative to the size.
  const int unit = std::max(1, std::min(width, height) / 16);
  c.rect(0, 0, width, unit, 10, 10, 10);
  for (int i = 0; i < 12; ++i) {
    const int col = i % 4, row = i / 4;
    const uint8_t r = static_cast<uint8_t>(60 + 15 * i), g = static_cast<uint8_t>(200 - 12 * i);
    const uint8_t b = static_cast<uint8_t>((i * 70 + second * 3) % 256);
    c.rect(unit + col * 4 * unit, 3 * unit + row * 4 * unit, 3 * unit, 3 * unit, r, g, b);
  }
  c.disc(width * 3 / 4, height * 3 / 4, 2 * unit, 250, 200, 40);
  c.disc(width / 4 + second * unit / 12, height * 5 / 8, unit, 240, 90, 90);

  // The time of day in large blocks, on a dark panel.
  char text[16];
  snprintf(text, sizeof text, "%02d:%02d:%02d", hour % 100, minute % 100, second % 100);
  const int block = std::max(1, width / 40);
  const int textW = 8 * 4 * block, textH = 5 * block;
  const int tx = std::max(0, (width - textW) / 2), ty = height / 2 - textH / 2;
  c.rect(tx - block, ty - block, textW + block, textH + 2 * block, 20, 20, 30);
  drawText(c, text, tx, ty, block, 240, 240, 240);
  // The seconds also as a bar, so neighbouring captures differ in many pixels.
  c.rect(0, height - unit, width * (second + 1) / 60, unit, 80, 220, 120);
  return img;
}

ScreenCapture ScreenCapture::of(Image img, ScreenSource src) {
  ScreenCapture c;
  c.image = std::move(img);
  c.source = std::move(src);
  return c;
}

ScreenCapture ScreenCapture::refused(ScreenFailure why, std::string reason) {
  ScreenCapture c;
  c.failure = why;
  c.reason = std::move(reason);
  return c;
}

std::unique_ptr<Screen> Screen::create(const std::string& setting) {
  if (setting == "auto") return std::make_unique<AutoScreen>();
  if (setting == "x11") return std::make_unique<X11Screen>();
  if (setting == "wayland") return std::make_unique<WaylandScreen>();
  if (setting == "portal") return std::make_unique<PortalScreen>();
  if (setting == "synthetic")
    return std::make_unique<SyntheticScreen>(kSyntheticWidth, kSyntheticHeight);
  int w = 0, h = 0;
  if (setting.rfind("synthetic:", 0) == 0 && parseSize(setting.substr(10), &w, &h))
    return std::make_unique<SyntheticScreen>(w, h);
  if (setting.rfind("file:", 0) == 0 && setting.size() > 5)
    return std::make_unique<FileScreen>(setting.substr(5));
  Log::printf(kLogBadSetting, setting.c_str());
  return nullptr;
}

Screen& Screen::Default() {
  if (Screen* s = testScreen().load()) return *s;
  static std::unique_ptr<Screen> screen = [] {
    const std::string setting = Environment::screen();
    std::unique_ptr<Screen> s = create(setting);
    if (!s) s = std::make_unique<RefusingScreen>(strprintf(kBadSetting, setting.c_str()));
    return s;
  }();
  return *screen;
}

Screen* Screen::setDefaultForTesting(Screen* s) {
  return testScreen().exchange(s);
}

}  // namespace quillbox::platform
